// Events: futex words in the shared objects file, so that a registry write
// in any process can signal an event that a watch names.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "handles.h"
#include "internal.h"
#include "sync.h"

namespace kxwin {
namespace {

// Finds a free event slot, reclaiming the slots of ended processes when the
// table is full. Call with table_lock held; -1 when none is left.
int FindFreeEventSlot(ObjectsFile* objects) {
  KX_ASSERT_LOCK(TableLockHeld());
  static uint32_t hint = 0;  // only a starting point, races are harmless
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t n = 0; n < kEventSlots; ++n) {
      uint32_t i = (hint + n) % kEventSlots;
      if (!objects->events[i].in_use) {
        hint = i + 1;
        return static_cast<int>(i);
      }
    }
    for (auto& slot : objects->events) {
      if (slot.in_use && OwnerGone(slot.owner)) {
        slot.in_use = 0;
        ++slot.generation;
      }
    }
  }
  return -1;
}

std::shared_ptr<EventObject> AllocateEvent(bool manual_reset, bool signalled) {
  ObjectsFile* objects = Objects();
  if (!objects) return nullptr;
  TableLock lock(objects);
  int index = FindFreeEventSlot(objects);
  if (index < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  EventSlot& slot = objects->events[index];
  slot.state.store(signalled ? 1 : 0);
  slot.manual_reset = manual_reset;
  slot.owner = OwnerHere();
  slot.in_use = 1;
  auto event = std::make_shared<EventObject>();
  event->objects = objects;
  event->index = static_cast<uint32_t>(index);
  event->generation = slot.generation;
  event->owner = slot.owner;
  return event;
}

}  // namespace

EventObject::~EventObject() {
  if (!OwnedHere(owner)) return;
  TableLock lock(objects);
  EventSlot& event = slot();
  if (event.in_use && event.generation == generation) {
    event.in_use = 0;
    ++event.generation;
  }
}

void FutexWakeAll(std::atomic<uint32_t>* word, bool shared) {
  int op = shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE;
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, INT_MAX, nullptr,
          nullptr, 0);
}

void SignalEventSlot(ObjectsFile* objects, uint32_t index,
                     uint32_t generation) {
  KX_ASSERT_LOCK(TableLockHeld());
  if (index >= kEventSlots) return;
  EventSlot& slot = objects->events[index];
  if (!slot.in_use || slot.generation != generation) return;
  slot.state.store(1);
  FutexWakeAll(&slot.state, true);
}

}  // namespace kxwin

using namespace kxwin;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset,
                    BOOL initial_state, LPCSTR name) {
  if (name) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
    auto event = AllocateEvent(manual_reset, initial_state);
    if (!event) return nullptr;
    HANDLE handle = InsertHandle(HandleKind::kEvent, std::move(event));
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
  });
}

BOOL SetEvent(HANDLE handle) {
  auto event = Lookup<EventObject>(handle, HandleKind::kEvent);
  if (!event) return FALSE;
  event->slot().state.store(1);
  FutexWakeAll(&event->slot().state, true);
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = Lookup<EventObject>(handle, HandleKind::kEvent);
  if (!event) return FALSE;
  event->slot().state.store(0);
  return TRUE;
}
