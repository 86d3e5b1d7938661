// Events, mutexes and threads as the handle table holds them, and the futex
// calls that waits are built on.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "objects.h"

namespace kxwin {

// An event of this or another process: its slot in the objects file.
// Made once; the slot is freed when the last handle goes, but only by the
// process that made it (a forked child shares the parent's events).
struct EventObject {
  ObjectsFile* objects;
  uint32_t index;
  uint32_t generation;
  SlotOwner owner;
  ~EventObject();
  EventSlot& slot() const { return objects->events[index]; }
};

// A mutex slot; an unnamed one is freed with its last handle.
struct MutexObject {
  ObjectsFile* objects;
  uint32_t index;
  uint32_t generation;
  bool named;
  ~MutexObject();
  MutexSlot& slot() const { return objects->mutexes[index]; }
};

// A thread of this process. `done` is a process-private futex word.
struct ThreadObject {
  std::atomic<uint32_t> done{0};
  std::atomic<DWORD> exit_code{STILL_ACTIVE};
  std::atomic<pid_t> tid{0};
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
  pid_t owner_pid = 0;  // the process the thread runs in
  // Suspension: guarded by suspend_lock.
  std::mutex suspend_lock;
  std::condition_variable resumed;
  int suspend_count = 0;
  // Start routine, for threads made by _beginthreadex.
  _beginthreadex_proc_type start = nullptr;
  void* argument = nullptr;
};

// Acquires a mutex slot within `milliseconds`: WAIT_OBJECT_0,
// WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
DWORD AcquireMutex(MutexObject& mutex, DWORD milliseconds);

// The record of the calling thread, made on first use.
std::shared_ptr<ThreadObject> CurrentThreadObject();

// Applies a Windows thread priority to a running thread, best effort.
void ApplyPriority(pid_t tid, int priority);

// futex calls on a 32-bit word; `shared` selects the process-shared form.
void FutexWakeAll(std::atomic<uint32_t>* word, bool shared);

}  // namespace kxwin
