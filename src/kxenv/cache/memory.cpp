// Value memory: every record handed out, and every string of it, is the
// payload of a var block. The blocks of one record form a chain (the record
// first, its strings behind it), so that any of its pointers releases all of
// them. Besides the label in each header, the library keeps the set of
// payloads it has made and not yet freed: a caller's pointer that is not in
// the set is refused without ever being read, so a stray or freed pointer
// handed to KXfreemem cannot crash the caller. (The library's own pointers
// need only the label check.)
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "internal.h"

namespace {

constexpr char kVarLabel[] = "KXENV2-VAR";
constexpr size_t kVarHeaderSize = sizeof(VarBlock);

// Guards the set of live payloads. Taken alone or inside the Memory lock,
// never the other way round.
std::mutex live_lock;

// The payloads made and not yet freed: open addressing over a table that
// doubles when half full, so that making and freeing a block allocate
// nothing more. An empty slot is null; a freed entry's run closes up
// behind it.
class LiveSet {
 public:
  bool Has(const void* payload) const { return slots_[Find(payload)]; }
  // May throw (memory ran out) and then changes nothing.
  void Insert(const void* payload) {
    if (2 * (used_ + 1) > slots_.size()) Grow();
    slots_[Find(payload)] = payload;
    ++used_;
  }
  void Erase(const void* payload) {
    size_t gap = Find(payload);
    if (!slots_[gap]) return;
    slots_[gap] = nullptr;
    --used_;
    for (size_t i = Next(gap); slots_[i]; i = Next(i)) {
      size_t home = Home(slots_[i]);
      // Moves back unless its home lies cyclically in (gap, i].
      if (gap < i ? (home <= gap || home > i) : (home <= gap && home > i)) {
        slots_[gap] = slots_[i];
        slots_[i] = nullptr;
        gap = i;
      }
    }
  }

 private:
  size_t Home(const void* payload) const {
    auto bits = reinterpret_cast<uintptr_t>(payload) >> 4;
    return (bits * 0x9E3779B97F4A7C15ull >> 20) & (slots_.size() - 1);
  }
  size_t Next(size_t i) const { return (i + 1) & (slots_.size() - 1); }
  // The slot of `payload`, or the empty slot where it would go.
  size_t Find(const void* payload) const {
    size_t i = Home(payload);
    while (slots_[i] && slots_[i] != payload) i = Next(i);
    return i;
  }
  void Grow() {
    std::vector<const void*> old(2 * slots_.size());
    old.swap(slots_);
    for (const void* payload : old) {
      if (payload) slots_[Find(payload)] = payload;
    }
  }

  std::vector<const void*> slots_ = std::vector<const void*>(1024);
  size_t used_ = 0;
};

LiveSet& LivePayloads() {
  static auto* live = new LiveSet;
  return *live;
}

void* PayloadOf(VarBlock* block) {
  return block + 1;
}

bool HasLabel(const BlockHeader& header, const char* label) {
  return std::strncmp(header.label, label, sizeof header.label) == 0;
}

// The var block of a payload of the library's own (its callers pass only
// those), or null when its header carries no var-block label. A caller's
// pointer is checked against the set first (KXfreemem).
VarBlock* LabelledBlock(void* payload) {
  if (!payload) return nullptr;
  VarBlock* block = BlockOf(payload);
  return HasLabel(block->header, kVarLabel) ? block : nullptr;
}

// Frees a block taken out of the live set.
void Discard(VarBlock* block) {
  std::memset(block->header.label, 0, sizeof block->header.label);
  std::free(block);
}

// Field numbers (0-based) of the string fields a record of `level` drops.
struct DroppedFields {
  int level;
  int fields[9];
  int count;
};
// defaultValue 4, localValue 5, globalValue 6, app 7, description 8,
// choices 9, choiceType 10, dataType 11, lastUser 15.
constexpr DroppedFields kDropped[] = {
    {1, {4, 5, 6, 7, 8, 9, 10, 11, 15}, 9},
    {2, {7, 8, 9, 10, 11, 15}, 6},
    {3, {9, 10, 11, 15}, 4},
    {4, {15}, 1},
    {5, {}, 0},
};

uintptr_t* Fields(VariableRecord* record) {
  return reinterpret_cast<uintptr_t*>(record);
}

}  // namespace

std::mutex& LivePayloadsLock() {
  return live_lock;
}

bool IsVarPayload(const void* payload) {
  AssertMemoryLockHeld();
  std::lock_guard guard(live_lock);
  return LivePayloads().Has(payload);
}

void FreeVarChain(VarBlock* block) {
  AssertMemoryLockHeld();
  {
    std::lock_guard guard(live_lock);
    for (VarBlock* each = block; each; each = each->next) {
      LivePayloads().Erase(PayloadOf(each));
    }
  }
  while (block) {
    VarBlock* next = block->next;
    Discard(block);
    block = next;
  }
}

void* GetVarMemory(size_t size) {
  if (size > UINT32_MAX - kVarHeaderSize) return nullptr;
  auto* block = static_cast<VarBlock*>(std::calloc(1, size + kVarHeaderSize));
  if (!block) return nullptr;
  std::memcpy(block->header.label, kVarLabel, sizeof kVarLabel);
  block->header.size = static_cast<uint32_t>(size + kVarHeaderSize);
  try {
    std::lock_guard guard(live_lock);
    LivePayloads().Insert(PayloadOf(block));
  } catch (const std::bad_alloc&) {
    std::free(block);
    return nullptr;
  }
  if (g_library.verbose) {
    SetTraceStringA(kTraceComponent, "GetVarMemory: memory acquired at %x\n",
                    TraceAddress(block));
  }
  return PayloadOf(block);
}

bool ChainVarMemory(void* first, void* second) {
  MemoryLock lock;
  VarBlock* a = LabelledBlock(first);
  VarBlock* b = LabelledBlock(second);
  if (!a || !b || a == b) return false;
  b->prev = a;
  b->next = a->next;
  if (a->next) a->next->prev = b;
  a->next = b;
  return true;
}

bool UnChainVarMemory(void* payload) {
  MemoryLock lock;
  VarBlock* block = LabelledBlock(payload);
  if (!block) return false;
  {
    std::lock_guard guard(live_lock);
    LivePayloads().Erase(payload);
  }
  if (block->prev) block->prev->next = block->next;
  if (block->next) block->next->prev = block->prev;
  Discard(block);
  return true;
}

char* CopyToRecord(void* record, const char* text) {
  if (!text) return nullptr;
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(GetVarMemory(length + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text, length + 1);
  if (record) ChainVarMemory(record, copy);
  return copy;
}

int FieldsOfLevel(int level) {
  switch (level) {
    case 1:
      return 4;
    case 2:
      return 7;
    case 3:
      return 9;
    case 4:
      return 15;
    case 5:
      return 17;
    case 99:
      return 18;
    default:
      return 0;
  }
}

bool ConvertVarRecord(VariableRecord** source, VariableRecord** target,
                      int level) {
  int fields = FieldsOfLevel(level);
  if (fields == 0 || !source || !*source || !target) return false;
  if (level == 99) {
    *target = *source;
    return true;
  }
  MemoryLock lock;  // once for every chaining below
  auto* converted = static_cast<VariableRecord*>(
      GetVarMemory(static_cast<size_t>(fields) * sizeof(uintptr_t)));
  if (!converted) return false;
  std::memcpy(converted, *source,
              static_cast<size_t>(fields) * sizeof(uintptr_t));
  converted->version = static_cast<uintptr_t>(level);
  const DroppedFields& dropped = kDropped[level - 1];
  for (int i = 0; i < dropped.count; ++i) {
    uintptr_t field = Fields(*source)[dropped.fields[i]];
    if (field) UnChainVarMemory(reinterpret_cast<void*>(field));
  }
  ChainVarMemory(*source, converted);
  UnChainVarMemory(*source);
  *source = nullptr;
  *target = converted;
  return true;
}
