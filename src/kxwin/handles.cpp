#include "handles.h"

#include <mutex>
#include <vector>

#include "internal.h"

namespace kxwin {
namespace {

// With the shift by two, every handle value stays below 0x80000000, where
// the predefined keys are: a predefined key with a low bit set (as
// HKEY_CURRENT_USER has) is never taken for a handle of the table.
constexpr uintptr_t kGenerationBits = 9;
constexpr uintptr_t kIndexBits = 20;
constexpr uintptr_t kMaxSlots = (uintptr_t{1} << kIndexBits) - 1;

struct Slot {
  HandleKind kind = HandleKind::kFree;
  uint16_t generation = 0;
  std::shared_ptr<void> object;
};

// Guarded by `lock`: every field of the table.
struct HandleTable {
  OwnedMutex lock{LockRank::kHandleTable};
  std::vector<Slot> slots;
  std::vector<uint32_t> free_slots;
  // Changed under `lock`, read without it; a line of its own, which only a
  // removal writes.
  alignas(64) std::atomic<uint64_t> removals{0};
};

HandleTable& Table() {
  // Never freed: handles outlive static destructors.
  static HandleTable* table = new HandleTable;
  return *table;
}

HANDLE Encode(uint32_t index, uint16_t generation) {
  uintptr_t value =
      ((uintptr_t{generation} & ((1u << kGenerationBits) - 1)) << kIndexBits) |
      (index + 1);
  return reinterpret_cast<HANDLE>(value << 2);
}

// The slot of a handle value, or null; call with the table locked.
Slot* Decode(HandleTable& table, HANDLE handle) {
  KX_ASSERT_LOCK(table.lock.HeldByMe());
  // The two low bits are free for the caller's own use, as Windows leaves
  // them: a handle with either set names the same object.
  uintptr_t value = reinterpret_cast<uintptr_t>(handle) >> 2;
  if (value == 0) return nullptr;
  if (value >> (kIndexBits + kGenerationBits)) return nullptr;
  uintptr_t index = (value & kMaxSlots) - 1;
  uintptr_t generation = value >> kIndexBits;
  if ((value & kMaxSlots) == 0 || index >= table.slots.size()) return nullptr;
  Slot& slot = table.slots[index];
  if (slot.kind == HandleKind::kFree ||
      (slot.generation & ((1u << kGenerationBits) - 1)) != generation) {
    return nullptr;
  }
  return &slot;
}

}  // namespace

OwnedMutex& HandleTableLock() {
  return Table().lock;
}

uint64_t HandleRemovals() {
  return Table().removals.load(std::memory_order_acquire);
}

HANDLE InsertHandle(HandleKind kind, std::shared_ptr<void> object) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  uint32_t index;
  if (!table.free_slots.empty()) {
    index = table.free_slots.back();
    table.free_slots.pop_back();
  } else if (table.slots.size() < kMaxSlots) {
    index = static_cast<uint32_t>(table.slots.size());
    table.slots.emplace_back();
  } else {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Slot& slot = table.slots[index];
  slot.kind = kind;
  slot.object = std::move(object);
  return Encode(index, slot.generation);
}

std::shared_ptr<void> LookupHandle(HANDLE handle, HandleKind kind) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  Slot* slot = Decode(table, handle);
  if (!slot || slot->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return slot->object;
}

std::shared_ptr<void> LookupAnyHandle(HANDLE handle, HandleKind* kind) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  Slot* slot = Decode(table, handle);
  *kind = slot ? slot->kind : HandleKind::kFree;
  return slot ? slot->object : nullptr;
}

HandleKind KindOf(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  Slot* slot = Decode(table, handle);
  return slot ? slot->kind : HandleKind::kFree;
}

std::shared_ptr<void> RemoveHandle(HANDLE handle, HandleKind kind) {
  HandleTable& table = Table();
  std::shared_ptr<void> object;
  {
    std::lock_guard guard(table.lock);
    Slot* slot = Decode(table, handle);
    if (!slot || slot->kind != kind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    object = std::move(slot->object);
    slot->kind = HandleKind::kFree;
    ++slot->generation;
    table.free_slots.push_back(static_cast<uint32_t>(slot - &table.slots[0]));
    table.removals.fetch_add(1, std::memory_order_release);
  }
  return object;  // the object's destructor runs outside the table lock
}

void DropHandles(
    HandleKind kind,
    const std::function<bool(const std::shared_ptr<void>&)>& drop) {
  HandleTable& table = Table();
  std::vector<std::shared_ptr<void>> dropped;
  std::lock_guard guard(table.lock);
  for (uint32_t i = 0; i < table.slots.size(); ++i) {
    Slot& slot = table.slots[i];
    if (slot.kind != kind || !drop(slot.object)) continue;
    dropped.push_back(std::move(slot.object));
    slot.kind = HandleKind::kFree;
    ++slot.generation;
    table.free_slots.push_back(i);
    table.removals.fetch_add(1, std::memory_order_release);
  }
}

}  // namespace kxwin
