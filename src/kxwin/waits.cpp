// Waits on events, mutexes and threads.
//
// An event is a futex word in the shared objects file and a thread's end is
// a futex word of its record, so a wait for any of several handles is one
// futex_waitv call over their words: the words are tested from the lowest
// index up, the first signalled one wins, and a wait sleeps only while every
// word still holds 0. An automatic-reset event is taken by turning its word
// from 1 to 0; of several waiters woken together, exactly one succeeds and
// the others sleep again. Where the kernel lacks futex_waitv (before 5.16)
// the wait polls every millisecond instead.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "handles.h"
#include "internal.h"
#include "sync.h"

namespace kxwin {
namespace {

#ifndef SYS_futex_waitv
constexpr long SYS_futex_waitv = 449;
#endif

struct FutexWaiter {
  uint64_t value;
  uint64_t address;
  uint32_t flags;
  uint32_t reserved;
};
constexpr uint32_t kFutexSize32 = 0x02;
constexpr uint32_t kFutexPrivate = 128;

struct Waitable {
  std::shared_ptr<void> keep_alive;
  std::atomic<uint32_t>* word;
  bool shared;
  bool auto_reset;
};

bool TryTake(const Waitable& waitable) {
  if (!waitable.auto_reset) return waitable.word->load() != 0;
  uint32_t expected = 1;
  return waitable.word->compare_exchange_strong(expected, 0);
}

// A waitable for an event or thread handle; false with the last error set
// for any other handle.
bool MakeWaitable(HANDLE handle, Waitable* out) {
  if (handle == kCurrentThread) {
    SetLastError(ERROR_INVALID_HANDLE);  // a thread cannot wait for itself
    return false;
  }
  switch (KindOf(handle)) {
    case HandleKind::kEvent: {
      auto event = Lookup<EventObject>(handle, HandleKind::kEvent);
      if (!event) return false;
      *out = {event, &event->slot().state, true, !event->slot().manual_reset};
      return true;
    }
    case HandleKind::kThread: {
      auto thread = Lookup<ThreadObject>(handle, HandleKind::kThread);
      if (!thread) return false;
      *out = {thread, &thread->done, false, false};
      return true;
    }
    case HandleKind::kMutex:
      SetLastError(ERROR_NOT_SUPPORTED);
      return false;
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
  }
}

bool Passed(const timespec& deadline) {
  timespec now = ClockAfter(CLOCK_MONOTONIC, 0);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

std::atomic<bool> have_waitv{true};

// Sleeps until a word leaves 0, the deadline passes, or a signal arrives.
// False when the wait itself failed.
bool SleepOnWords(const std::vector<Waitable>& waitables,
                  const timespec* deadline) {
  if (have_waitv.load(std::memory_order_relaxed)) {
    FutexWaiter waiters[MAXIMUM_WAIT_OBJECTS];
    for (size_t i = 0; i < waitables.size(); ++i) {
      uint32_t flags = kFutexSize32 | (waitables[i].shared ? 0 : kFutexPrivate);
      waiters[i] = {0, reinterpret_cast<uintptr_t>(waitables[i].word), flags,
                    0};
    }
    long rc = syscall(SYS_futex_waitv, waiters, waitables.size(), 0, deadline,
                      CLOCK_MONOTONIC);
    if (rc >= 0 || errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT) {
      return true;
    }
    if (errno != ENOSYS) return Fail(ErrorFromErrno(errno)), false;
    have_waitv.store(false, std::memory_order_relaxed);
  }
  usleep(1000);
  return true;
}

DWORD WaitForAny(const std::vector<Waitable>& waitables, DWORD milliseconds) {
  timespec deadline = ClockAfter(CLOCK_MONOTONIC, milliseconds);
  for (;;) {
    for (size_t i = 0; i < waitables.size(); ++i) {
      if (TryTake(waitables[i])) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    }
    if (milliseconds == 0 || (milliseconds != INFINITE && Passed(deadline))) {
      return WAIT_TIMEOUT;
    }
    if (!SleepOnWords(waitables,
                      milliseconds == INFINITE ? nullptr : &deadline)) {
      return WAIT_FAILED;
    }
  }
}

}  // namespace

timespec ClockAfter(clockid_t clock, DWORD milliseconds) {
  timespec t;
  clock_gettime(clock, &t);
  t.tv_sec += milliseconds / 1000;
  t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
  if (t.tv_nsec >= 1000000000) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000;
  }
  return t;
}

}  // namespace kxwin

using namespace kxwin;

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return Guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    if (KindOf(handle) == HandleKind::kMutex) {
      auto mutex = Lookup<MutexObject>(handle, HandleKind::kMutex);
      return mutex ? AcquireMutex(*mutex, milliseconds) : WAIT_FAILED;
    }
    std::vector<Waitable> waitables(1);
    if (!MakeWaitable(handle, &waitables[0])) return WAIT_FAILED;
    return WaitForAny(waitables, milliseconds);
  });
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (wait_all) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  return Guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    std::vector<Waitable> waitables(count);
    for (DWORD i = 0; i < count; ++i) {
      if (!MakeWaitable(handles[i], &waitables[i])) return WAIT_FAILED;
    }
    return WaitForAny(waitables, milliseconds);
  });
}
