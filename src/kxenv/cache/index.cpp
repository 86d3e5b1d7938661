// The sorted index of records by variable name: one chain of links per
// name, the slots kept in case-insensitive order, grown 25 slots at a time.
// The value index is the cache of this process's gets; the table loader
// keeps its control and copied-value indexes in the same structure.
#include <cstddef>
#include <cstdlib>
#include <cstring>

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

bool IsIndex(const VarIndex* index) {
  return index && std::strncmp(index->header.label, kIndexLabel,
                               sizeof index->header.label) == 0;
}

VarLink* NewLink(VariableRecord* record, int absent) {
  auto* link = static_cast<VarLink*>(std::calloc(1, sizeof(VarLink)));
  if (!link) return nullptr;
  std::memcpy(link->header.label, kLinkLabel, sizeof kLinkLabel);
  link->header.size = sizeof(VarLink);
  link->record = record;
  link->flags = (absent & 1) ? kLinkAbsent : 0;
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
  if (*slot == link) *slot = link->next;
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

bool AddVarIndex(VarIndex* index, VariableRecord* record, int absent) {
  if (!index || !record) return false;
  VarLink* link = NewLink(record, absent);
  if (!link) return false;
  MemoryLock lock;
  bool added = Guarded("AddVarIndex", false, [&] {
    if (VarLink** slot = GetVarIndex(index, record->name)) {
      AppendToChain(*slot, link);
    } else {
      InsertSorted(index, link);
    }
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

int FreeIndex(VarIndex** reference) {
  if (!reference || !*reference) return 0;
  VarIndex* index;
  {
    MemoryLock lock;
    index = *reference;
    *reference = nullptr;
  }
  return Guarded("FreeIndex", 0, [&] {
    while (index->count > 0) {
      int before = index->count;
      VariableRecord* record = index->slots[0]->record;
      if (KXfreememEx(index, record) != 0) UnIndexVar(index, record);
      // A link that no release could take out would loop for ever.
      if (index->count == before && index->count > 0 &&
          index->slots[0]->record == record) {
        Unlink(index, &index->slots[0], index->slots[0]);
      }
    }
    std::free(index);
    return 1;
  });
}
