// The sorted index of records by variable name: one chain of links per
// name, the slots kept in case-insensitive order, grown 25 slots at a time.
// The value index is the cache of this process's gets; the table loader
// keeps its control and copied-value indexes in the same structure.
//
// Beside the slots, a hash table finds each chain again by its name
// (NameTable): a cache hit costs one probe whatever the number of names,
// where the binary search of the slots grows with it. The table follows
// every change of a chain's first link; both change together, under the
// index's lock.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal.h"

VarIndex* g_value_index = nullptr;
VarIndex* g_copied_value_index = nullptr;

namespace {

constexpr char kIndexLabel[] = "KXENV2-IDX";
constexpr char kLinkLabel[] = "KXENV2-LNK";
constexpr int kIndexGrowth = 25;

size_t IndexSize(int capacity) {
  return offsetof(VarIndex, slots) +
         sizeof(VarLink*) * (static_cast<size_t>(capacity) + 1);
}

const char* NameOfSlot(VarLink* const* slot) {
  return (*slot)->record->name;
}

int CompareNames(const char* a, const char* b) {
  return _mbsicmp(reinterpret_cast<const unsigned char*>(a ? a : ""),
                  reinterpret_cast<const unsigned char*>(b ? b : ""));
}

// ---- The hash table of chains

// A chain's entry: the hash of its name and its first link (null: free).
struct NameSlot {
  uint32_t hash;
  VarLink* chain;
};

// Equal names (without regard to case) hash alike: ASCII letters are
// upper-cased, and the hash stops at the first byte from 128 on, since a
// multibyte character's bytes may differ between two equal names.
uint32_t NameHash(const char* name) {
  // A rotate and an exclusive or per byte, mixed at the end (MurmurHash3's
  // finaliser): no byte waits for a multiplication.
  uint32_t hash = 0;
  for (auto* p = reinterpret_cast<const unsigned char*>(name); *p && *p < 0x80;
       ++p) {
    unsigned char c = (*p >= 'a' && *p <= 'z') ? *p - 'a' + 'A' : *p;
    hash = ((hash << 5) | (hash >> 27)) ^ c;
  }
  hash = (hash ^ (hash >> 16)) * 0x85EBCA6Bu;
  hash = (hash ^ (hash >> 13)) * 0xC2B2AE35u;
  return hash ^ (hash >> 16);
}

}  // namespace

// Open addressing with linear probing, at most half full.
struct NameTable {
  // A chain's name ("" for a record whose name memory ran out for).
  static const char* NameOf(const VarLink* chain) {
    return chain->record->name ? chain->record->name : "";
  }

  std::vector<NameSlot> slots = std::vector<NameSlot>(16);
  size_t used = 0;

  size_t Next(size_t i) const { return (i + 1) & (slots.size() - 1); }

  // The entry of `name`'s chain, or the free entry where it would go.
  NameSlot& Find(const char* name, uint32_t hash) {
    size_t i = hash & (slots.size() - 1);
    while (slots[i].chain &&
           (slots[i].hash != hash || !SameName(NameOf(slots[i].chain), name))) {
      i = Next(i);
    }
    return slots[i];
  }
  // The entry that holds `chain` (which is in the table).
  NameSlot* Holding(const VarLink* chain) {
    size_t i = NameHash(NameOf(chain)) & (slots.size() - 1);
    while (slots[i].chain && slots[i].chain != chain) i = Next(i);
    return slots[i].chain ? &slots[i] : nullptr;
  }
  // Makes room for one more entry; may throw, and then changes nothing.
  void Reserve() {
    if (2 * (used + 1) <= slots.size()) return;
    std::vector<NameSlot> old(slots.size() * 2);
    old.swap(slots);
    for (const NameSlot& entry : old) {
      if (entry.chain) Find(NameOf(entry.chain), entry.hash) = entry;
    }
  }
  void Add(VarLink* chain) {
    const char* name = NameOf(chain);
    uint32_t hash = NameHash(name);
    Find(name, hash) = {hash, chain};
    ++used;
  }
  // Takes an entry out, moving later entries of its run back into the gap.
  void Remove(NameSlot* entry) {
    size_t gap = static_cast<size_t>(entry - slots.data());
    slots[gap].chain = nullptr;
    --used;
    for (size_t i = Next(gap); slots[i].chain; i = Next(i)) {
      size_t home = slots[i].hash & (slots.size() - 1);
      // Moves back when its home does not lie in (gap, i] cyclically.
      if ((i > gap) ? (home <= gap || home > i) : (home <= gap && home > i)) {
        slots[gap] = slots[i];
        slots[i].chain = nullptr;
        gap = i;
      }
    }
  }
};

namespace {

// The chain's first link changed from `old` to `now` (null: it is empty).
void ChainMoved(VarIndex* index, const VarLink* old, VarLink* now) {
  NameSlot* entry = index->names ? index->names->Holding(old) : nullptr;
  if (!entry) return;
  if (now) {
    entry->chain = now;
  } else {
    index->names->Remove(entry);
  }
}

bool IsIndex(const VarIndex* index) {
  return index && std::strncmp(index->header.label, kIndexLabel,
                               sizeof index->header.label) == 0;
}

VarLink* NewLink(VariableRecord* record, bool absent) {
  auto* link = static_cast<VarLink*>(std::calloc(1, sizeof(VarLink)));
  if (!link) return nullptr;
  std::memcpy(link->header.label, kLinkLabel, sizeof kLinkLabel);
  link->header.size = sizeof(VarLink);
  link->record = record;
  link->flags = absent ? kLinkAbsent : 0;
  return link;
}

void AppendToChain(VarLink* head, VarLink* link) {
  while (head->next) head = head->next;
  head->next = link;
  link->prev = head;
}

// Takes a link out of its chain; its slot takes the successor of a first
// link, and an emptied slot is closed up.
void Unlink(VarIndex* index, VarLink** slot, VarLink* link) {
  if (link->prev) link->prev->next = link->next;
  if (link->next) link->next->prev = link->prev;
  if (*slot == link) {
    ChainMoved(index, link, link->next);
    *slot = link->next;
  }
  std::free(link);
  if (*slot) return;
  VarLink** end = &index->slots[index->capacity];
  std::memmove(slot, slot + 1, static_cast<size_t>(end - slot) * sizeof *slot);
  --index->count;
}

// Puts a new name's link into its place among the slots in use. The
// slots stay in the order a full sort would give them, at the cost of one
// search and one move instead of a sort per new name (which made filling
// an index of n names cost n² log n comparisons).
void InsertSorted(VarIndex* index, VarLink* link) {
  int low = 0, high = index->count;
  while (low < high) {
    int middle = low + (high - low) / 2;
    if (CompareNames(NameOfSlot(&index->slots[middle]), link->record->name) <
        0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  VarLink** place = &index->slots[low];
  std::memmove(place + 1, place,
               static_cast<size_t>(index->count - low) * sizeof *place);
  *place = link;
  ++index->count;
}

VarIndex* GrowIndex(int capacity, VarIndex* index) {
  size_t size = IndexSize(capacity);
  int old_capacity = 0;
  if (IsIndex(index)) {
    old_capacity = index->capacity;
    auto* grown = static_cast<VarIndex*>(std::realloc(index, size));
    if (!grown) return nullptr;
    index = grown;
    for (int i = old_capacity + 1; i <= capacity; ++i)
      index->slots[i] = nullptr;
  } else {
    index = static_cast<VarIndex*>(std::calloc(1, size));
    if (!index) return nullptr;
  }
  std::memcpy(index->header.label, kIndexLabel, sizeof kIndexLabel);
  index->header.size = static_cast<uint32_t>(size);
  index->capacity = capacity;
  return index;
}

// The binary search of GetVarIndex.
VarLink** Search(VarIndex* index, const char* name) {
  int low = 0, high = index->count - 1;
  while (low <= high) {
    int middle = low + (high - low) / 2;
    int order = CompareNames(name, NameOfSlot(&index->slots[middle]));
    if (order == 0) return &index->slots[middle];
    if (order < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return nullptr;
}

}  // namespace

VarLink** GetVarIndex(VarIndex* index, const char* name) {
  if (!index || !name) return nullptr;
  return Guarded<VarLink**>("GetVarIndex", nullptr,
                            [&] { return Search(index, name); });
}

VarIndex* EnsureRoom(VarIndex** index) {
  if (index == &g_value_index) AssertMemoryLockHeld();
  if (*index && (*index)->capacity > (*index)->count) return *index;
  int capacity = (*index ? (*index)->capacity : 0) + kIndexGrowth;
  // A failed growth leaves the full index as it was: its entries stay
  // reachable and are released with it.
  VarIndex* grown = GrowIndex(capacity, *index);
  if (grown) *index = grown;
  return grown;
}

VarLink* FindChain(const VarIndex* index, const char* name) {
  if (!index || !index->names || !name) return nullptr;
  return index->names->Find(name, NameHash(name)).chain;
}

bool AddVarIndex(VarIndex* index, VariableRecord* record, bool absent) {
  if (!index || !record) return false;
  VarLink* link = NewLink(record, absent);
  if (!link) return false;
  MemoryLock lock;
  bool added = Guarded("AddVarIndex", false, [&] {
    if (VarLink** slot = GetVarIndex(index, record->name)) {
      AppendToChain(*slot, link);
      return true;
    }
    if (!index->names) index->names = new NameTable;
    index->names->Reserve();  // what may fail comes before any change
    InsertSorted(index, link);
    index->names->Add(link);
    return true;
  });
  if (!added) std::free(link);
  return added;
}

void UnIndexVar(VarIndex* index, VariableRecord* record) {
  if (!index || !record) return;
  MemoryLock lock;
  Guarded("UnIndexVar", [&] {
    VarLink** slot = GetVarIndex(index, record->name);
    if (!slot) return;
    for (VarLink* link = *slot; link; link = link->next) {
      if (link->record == record) {
        Unlink(index, slot, link);
        return;
      }
    }
  });
}

namespace {

// The record that a var block belongs to: the first block of its chain.
// `pointer` is a live payload; call with the Memory lock held.
VariableRecord* RecordOf(void* pointer) {
  AssertMemoryLockHeld();
  VarBlock* block = BlockOf(pointer);
  while (block->prev) block = block->prev;
  return reinterpret_cast<VariableRecord*>(block + 1);
}

}  // namespace

bool ReleaseRecord(VarIndex* index, void* pointer) {
  if (g_library.verbose) {
    SetTraceStringA(kTraceComponent, "KXfreememEx: enter - input=0x%X.\n",
                    TraceAddress(pointer));
  }
  if (!index || !pointer) return false;
  // One holding of the lock, so that two threads that free the same record
  // at once free it once.
  VariableRecord* record = nullptr;
  bool freed = Guarded("KXfreememEx", [&] {
    MemoryLock lock;
    if (!IsVarPayload(pointer)) return;
    record = RecordOf(pointer);
    UnIndexVar(index, record);
    FreeVarChain(BlockOf(record));
  });
  if (!freed || !record) return false;
  if (g_library.verbose) {
    SetTraceStringA(kTraceComponent, "KXfreememEx: exited successfully.\n");
  }
  return true;
}

void FreeRecord(VariableRecord* record) {
  UnIndexVar(g_value_index, record);
  MemoryLock lock;
  FreeVarChain(BlockOf(record));
}

bool FreeIndex(VarIndex** reference) {
  if (!reference || !*reference) return false;
  VarIndex* index;
  {
    MemoryLock lock;
    index = *reference;
    *reference = nullptr;
  }
  return Guarded("FreeIndex", false, [&] {
    while (index->count > 0) {
      VarLink* first = index->slots[0];
      ReleaseRecord(index, first->record);
      // The release finds a link by its record's name: the link of a record
      // without one (memory for the name ran out), or of one no longer live,
      // is still first, and is taken out here.
      if (index->count > 0 && index->slots[0] == first) {
        Unlink(index, &index->slots[0], first);
      }
    }
    delete index->names;
    std::free(index);
    return true;
  });
}

namespace {

// Counts the stale markings; changed under the Memory lock.
std::atomic<uint64_t> dirty_generation{0};

}  // namespace

uint64_t DirtyGeneration() {
  return dirty_generation.load();
}

void CacheDirty() {
  MemoryLock lock;
  dirty_generation.fetch_add(1);
  Guarded("CacheDirty", [] {
    VarIndex* index = g_value_index;
    for (int i = 0; index && i < index->count; ++i) {
      for (VarLink* link = index->slots[i]; link; link = link->next) {
        link->flags |= kLinkStale;
      }
    }
  });
}
