// Value memory: every record handed out, and every string of it, is the
// payload of a var block. The blocks of one record form a chain (the record
// first, its strings behind it), so that any of its pointers releases all of
// them. Besides the label in each header, the library keeps the set of
// payloads it has made and not yet freed: a pointer that is not in the set
// is refused without ever being read, so a stray or freed pointer handed to
// KXfreemem cannot crash the caller.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "internal.h"

namespace {

constexpr char kVarLabel[] = "KXENV2-VAR";
constexpr size_t kVarHeaderSize = sizeof(VarBlock);

// Guards the set of live payloads. Taken alone or inside the Memory lock,
// never the other way round.
std::mutex live_lock;

std::unordered_set<const void*>& LivePayloads() {
  static auto* live = new std::unordered_set<const void*>;
  return *live;
}

void* PayloadOf(VarBlock* block) {
  return block + 1;
}

bool HasLabel(const BlockHeader& header, const char* label) {
  return std::strncmp(header.label, label, sizeof header.label) == 0;
}

// The var block of a payload made here and not yet freed; null otherwise.
VarBlock* CheckedBlock(void* payload) {
  if (!payload || !IsVarPayload(payload)) return nullptr;
  VarBlock* block = BlockOf(payload);
  return HasLabel(block->header, kVarLabel) ? block : nullptr;
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
  return LivePayloads().count(payload) != 0;
}

void FreeVarBlock(VarBlock* block) {
  AssertMemoryLockHeld();
  {
    std::lock_guard guard(live_lock);
    LivePayloads().erase(PayloadOf(block));
  }
  std::memset(block->header.label, 0, sizeof block->header.label);
  std::free(block);
}

void* GetVarMemory(size_t size) {
  if (size > UINT32_MAX - kVarHeaderSize) return nullptr;
  auto* block = static_cast<VarBlock*>(std::calloc(1, size + kVarHeaderSize));
  if (!block) return nullptr;
  std::memcpy(block->header.label, kVarLabel, sizeof kVarLabel);
  block->header.size = static_cast<uint32_t>(size + kVarHeaderSize);
  try {
    std::lock_guard guard(live_lock);
    LivePayloads().insert(PayloadOf(block));
  } catch (const std::bad_alloc&) {
    std::free(block);
    return nullptr;
  }
  if (!g_library.quiet) {
    SetTraceStringA(kTraceComponent, "GetVarMemory: memory acquired at %x\n",
                    TraceAddress(block));
  }
  return PayloadOf(block);
}

int ChainVarMemory(void* first, void* second) {
  MemoryLock lock;
  VarBlock* a = CheckedBlock(first);
  VarBlock* b = CheckedBlock(second);
  if (!a || !b || a == b) return -1;
  b->prev = a;
  b->next = a->next;
  if (a->next) a->next->prev = b;
  a->next = b;
  return 0;
}

int UnChainVarMemory(void* payload) {
  MemoryLock lock;
  VarBlock* block = CheckedBlock(payload);
  if (!block) return -1;
  if (block->prev) block->prev->next = block->next;
  if (block->next) block->next->prev = block->prev;
  FreeVarBlock(block);
  return 0;
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

int ConvertVarRecord(VariableRecord** source, VariableRecord** target,
                     int level) {
  int fields = FieldsOfLevel(level);
  if (fields == 0 || !source || !*source || !target) return 0;
  if (level == 99) {
    *target = *source;
    return 1;
  }
  auto* converted = static_cast<VariableRecord*>(
      GetVarMemory(static_cast<size_t>(fields) * sizeof(uintptr_t)));
  if (!converted) return 0;
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
  return 1;
}
