// Mutexes: robust, process-shared pthread mutexes in the objects file, with
// an owner and a recursion count of their own so that the owning thread may
// take a mutex again, a release by another thread fails, and the death of
// the owner hands the mutex to the next waiter as WAIT_ABANDONED.
//
// The owner is a thread ticket, unique across processes and never reused,
// rather than a thread id: a new thread that happens to get a dead owner's
// thread id must not believe it holds the mutex.
#include <time.h>

#include <cstring>

#include "handles.h"
#include "internal.h"
#include "sync.h"

namespace kxwin {
namespace {

// Finds the named mutex or a free slot for it; call with table_lock held.
// -1 when the table is full.
int FindMutexSlot(ObjectsFile* objects, const char* name, bool* existed) {
  KX_ASSERT_LOCK(TableLockHeld());
  *existed = false;
  int free_slot = -1;
  for (uint32_t i = 0; i < kMutexSlots; ++i) {
    MutexSlot& slot = objects->mutexes[i];
    if (slot.in_use && !slot.named && OwnerGone(slot.creator)) {
      slot.in_use = 0;  // an unnamed mutex whose creator has ended
      ++slot.generation;
    }
    if (!slot.in_use) {
      if (free_slot < 0) free_slot = static_cast<int>(i);
    } else if (name && slot.named && std::strcmp(slot.name, name) == 0) {
      *existed = true;
      return static_cast<int>(i);
    }
  }
  return free_slot;
}

std::shared_ptr<MutexObject> OpenMutex(const char* name, bool* existed) {
  ObjectsFile* objects = Objects();
  if (!objects) return nullptr;
  TableLock lock(objects);
  int index = FindMutexSlot(objects, name, existed);
  if (index < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  MutexSlot& slot = objects->mutexes[index];
  if (!*existed) {
    // A robust mutex left locked by a process that died before the slot
    // was freed would hand the next owner a stale state; start clean.
    InitSharedMutex(&slot.lock);
    slot.owner.store(0);
    slot.recursion = 0;
    slot.named = name != nullptr;
    std::strncpy(slot.name, name ? name : "", kMutexNameSize - 1);
    slot.creator = OwnerHere();
    slot.in_use = 1;
  }
  auto mutex = std::make_shared<MutexObject>();
  mutex->objects = objects;
  mutex->index = static_cast<uint32_t>(index);
  mutex->generation = slot.generation;
  mutex->named = slot.named;
  return mutex;
}

// A finite wait uses pthread_mutex_timedlock, whose deadline is on the
// realtime clock, rather than pthread_mutex_clocklock on the monotonic one:
// ThreadSanitizer does not see locks taken by the latter. (It does not see
// an abandoned mutex taken by timedlock either; the tests take those with an
// infinite wait.)
int LockWithin(pthread_mutex_t* lock, DWORD milliseconds) {
  if (milliseconds == 0) return pthread_mutex_trylock(lock);
  if (milliseconds == INFINITE) return pthread_mutex_lock(lock);
  timespec deadline = ClockAfter(CLOCK_REALTIME, milliseconds);
  return pthread_mutex_timedlock(lock, &deadline);
}

}  // namespace

MutexObject::~MutexObject() {
  if (named) return;  // named mutexes live as long as the objects file
  TableLock lock(objects);
  MutexSlot& mutex = slot();
  if (mutex.in_use && mutex.generation == generation &&
      OwnedHere(mutex.creator)) {
    mutex.in_use = 0;
    ++mutex.generation;
  }
}

DWORD AcquireMutex(MutexObject& mutex, DWORD milliseconds) {
  MutexSlot& slot = mutex.slot();
  uint64_t me = ThreadTicket();
  if (me == 0) return WAIT_FAILED;
  if (slot.owner.load() == me) {
    if (slot.recursion == UINT32_MAX) {
      SetLastError(ERROR_TOO_MANY_POSTS);
      return WAIT_FAILED;
    }
    ++slot.recursion;
    return WAIT_OBJECT_0;
  }
  int rc = LockWithin(&slot.lock, milliseconds);
  DWORD result = WAIT_OBJECT_0;
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&slot.lock);
    result = WAIT_ABANDONED;
  } else if (rc == ETIMEDOUT || rc == EBUSY) {
    return WAIT_TIMEOUT;
  } else if (rc != 0) {
    SetLastError(ErrorFromErrno(rc));
    return WAIT_FAILED;
  }
  slot.owner.store(me);
  slot.recursion = 1;
  return result;
}

}  // namespace kxwin

using namespace kxwin;

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner,
                    LPCSTR name) {
  if (!DescriptorIsValid(attributes)) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return nullptr;
  }
  if (name && std::strlen(name) >= kMutexNameSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
    bool existed = false;
    auto mutex = OpenMutex(name, &existed);
    if (!mutex) return nullptr;
    // The initial ownership applies only to a mutex this call made.
    if (initial_owner && !existed &&
        AcquireMutex(*mutex, INFINITE) == WAIT_FAILED) {
      return nullptr;
    }
    HANDLE handle = InsertHandle(HandleKind::kMutex, std::move(mutex));
    if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  });
}

BOOL ReleaseMutex(HANDLE handle) {
  auto mutex = Lookup<MutexObject>(handle, HandleKind::kMutex);
  if (!mutex) return FALSE;
  MutexSlot& slot = mutex->slot();
  uint64_t me = ThreadTicket();
  if (me == 0 || slot.owner.load() != me) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--slot.recursion == 0) {
    slot.owner.store(0);
    pthread_mutex_unlock(&slot.lock);
  }
  return TRUE;
}
