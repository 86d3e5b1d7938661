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
//
// A poll (no timeout) of one or two handles that the calling thread polled
// before reads their words straight from its own copy of them (Recent),
// without the handle table: a poll of a cache's change event then writes
// no memory that another thread reads. The copy is good for as long as no
// handle of the process has been removed since it was made.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <span>
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

bool TakeWord(std::atomic<uint32_t>* word, bool auto_reset) {
  if (!auto_reset) return word->load() != 0;
  uint32_t expected = 1;
  return word->compare_exchange_strong(expected, 0);
}

bool TryTake(const Waitable& waitable) {
  return TakeWord(waitable.word, waitable.auto_reset);
}

// A waitable for an event or thread handle (one look into the handle
// table); false with the last error set for any other handle.
bool MakeWaitable(HANDLE handle, Waitable* out) {
  if (handle == kCurrentThread) {
    SetLastError(ERROR_INVALID_HANDLE);  // a thread cannot wait for itself
    return false;
  }
  HandleKind kind;
  std::shared_ptr<void> object = LookupAnyHandle(handle, &kind);
  switch (kind) {
    case HandleKind::kEvent: {
      auto event = std::static_pointer_cast<EventObject>(std::move(object));
      EventSlot& slot = event->slot();
      *out = {std::move(event), &slot.state, true, !slot.manual_reset};
      return true;
    }
    case HandleKind::kThread: {
      auto thread = std::static_pointer_cast<ThreadObject>(std::move(object));
      std::atomic<uint32_t>* done = &thread->done;
      *out = {std::move(thread), done, false, false};
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
bool SleepOnWords(std::span<const Waitable> waitables,
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
    if (errno != ENOSYS) return FailWith(ErrorFromErrno(errno), false);
    have_waitv.store(false, std::memory_order_relaxed);
  }
  usleep(1000);
  return true;
}

// The handles this thread polled last, their words, and how many handles
// the process had removed when it looked them up. Plain data, reached on
// every poll without a call; `kept` holds their objects alive.
struct Recent {
  HANDLE handles[2];
  DWORD count;
  uint64_t removals;
  std::atomic<uint32_t>* words[2];
  bool auto_reset[2];
};
[[gnu::tls_model("initial-exec")]] thread_local Recent recent;
thread_local std::shared_ptr<void> kept[2];

// The poll of the same handles as the last one, answered from `recent`;
// false when it cannot be.
bool PollAgain(DWORD count, const HANDLE* handles, DWORD* result) {
  if (count == 0 || count != recent.count ||
      recent.removals != HandleRemovals()) {
    return false;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (handles[i] != recent.handles[i]) return false;
  }
  *result = WAIT_TIMEOUT;
  for (DWORD i = 0; i < count; ++i) {
    if (TakeWord(recent.words[i], recent.auto_reset[i])) {
      *result = WAIT_OBJECT_0 + i;
      break;
    }
  }
  return true;
}

// Keeps the waitables of a poll for the next one.
void Remember(DWORD count, const HANDLE* handles, const Waitable* waitables,
              uint64_t removals) {
  recent.count = 0;  // nothing matches while it changes
  for (DWORD i = 0; i < count; ++i) {
    recent.handles[i] = handles[i];
    recent.words[i] = waitables[i].word;
    recent.auto_reset[i] = waitables[i].auto_reset;
    kept[i] = waitables[i].keep_alive;
  }
  recent.removals = removals;
  recent.count = count;
}

DWORD WaitForAny(std::span<const Waitable> waitables, DWORD milliseconds) {
  // A poll (0) reads the words and nothing else: no clock, no system call.
  timespec deadline = {};
  if (milliseconds != 0 && milliseconds != INFINITE) {
    deadline = ClockAfter(CLOCK_MONOTONIC, milliseconds);
  }
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

}  // namespace kxwin

using namespace kxwin;

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return Guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    if (handle != kCurrentThread) {
      HandleKind kind;
      std::shared_ptr<void> object = LookupAnyHandle(handle, &kind);
      if (kind == HandleKind::kMutex) {
        return AcquireMutex(*static_cast<MutexObject*>(object.get()),
                            milliseconds);
      }
    }
    Waitable waitable{};
    if (!MakeWaitable(handle, &waitable)) return WAIT_FAILED;
    return WaitForAny({&waitable, 1}, milliseconds);
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
    DWORD result;
    bool poll = milliseconds == 0 && count <= std::size(recent.handles);
    if (poll && PollAgain(count, handles, &result)) return result;
    // Most waits name one or two handles: those need no allocation.
    uint64_t removals = HandleRemovals();
    Waitable few[2] = {};
    std::vector<Waitable> many(count > std::size(few) ? count : 0);
    Waitable* waitables = many.empty() ? few : many.data();
    for (DWORD i = 0; i < count; ++i) {
      if (!MakeWaitable(handles[i], &waitables[i])) return WAIT_FAILED;
    }
    if (poll) Remember(count, handles, waitables, removals);
    return WaitForAny({waitables, count}, milliseconds);
  });
}
