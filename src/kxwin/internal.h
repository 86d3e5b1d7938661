// Declarations shared by the files of kxwin. Nothing here is exported.
#pragma once

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "holders.h"
#include "kxwin/kxwin.h"
#include "lock_checks.h"

namespace kxwin {

// ---- errors.cpp: the one place where errno and SQLite codes become Win32
// codes.
DWORD ErrorFromErrno(int err);
DWORD ErrorFromSqlite(int rc);
// Sets the thread's last error and returns it, for `return Fail(...)`.
inline DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}
// Sets the thread's last error and gives `result`, for a function that
// fails with another value: `return FailWith(ERROR_FILE_CORRUPT, nullptr);`.
template <typename Result>
Result FailWith(DWORD code, Result result) {
  SetLastError(code);
  return result;
}
// Looks up the text of a Win32 error code; null when it has none.
const char* SystemErrorText(DWORD code);
// The Win32 code for the exception being handled; call inside a catch.
DWORD ErrorFromException() noexcept;

// Runs the body of an exported function: an exception becomes the last
// error and the failure value, as no exception may leave kxwin.
template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    SetLastError(ErrorFromException());
    return failure;
  }
}

// ---- Lock rules. A function that must be called with a lock held says so
// with KX_ASSERT_LOCK (lock_checks.h), as SQLite asserts unixMutexHeld():
// checked in Debug and sanitizer builds, compiled but never run in Release.

// The process-local locks of kxwin, in the only order in which a thread may
// hold several: a lock is taken only while every lock the thread holds has
// a rank no later than its own. The at-fork handler (fork.cpp) takes them
// all in this order.
enum class LockRank : int {
  kPool = 1,     // store.cpp: the idle connections and the list of all
  kConnection,   // store.h: a connection; a thread holds one at a time
  kHandleTable,  // handles.cpp: taken inside a connection's lock (OpenKey)
  kObjects,      // objects.cpp: the mapping of the objects file
  kLeaf,         // modules, resources, sysinfo: nothing is taken inside
  kCount
};

// The ranks the calling thread holds, kept where lock rules are checked.
struct HeldRanks {
  static constexpr int kRanks = static_cast<int>(LockRank::kCount);
  int count[kRanks] = {};
  bool LaterThan(LockRank rank) const {
    for (int r = static_cast<int>(rank) + 1; r < kRanks; ++r) {
      if (count[r]) return true;
    }
    return false;
  }
};
inline thread_local HeldRanks held_ranks;

// A std::mutex of a rank that knows which thread holds it where lock rules
// are checked (HeldByMe), and checks there that it is taken in order; in
// Release it is a std::mutex and nothing more.
class OwnedMutex {
 public:
  explicit OwnedMutex(LockRank rank) : rank_(rank) {}
  void lock() {
    KX_ASSERT_LOCK(!held_ranks.LaterThan(rank_));
    mutex_.lock();
    if constexpr (kx::kCheckLocks) ++held_ranks.count[static_cast<int>(rank_)];
  }
  void unlock() {
    if constexpr (kx::kCheckLocks) --held_ranks.count[static_cast<int>(rank_)];
    mutex_.unlock();
  }
  bool HeldByMe() const { return mutex_.HeldByMe(); }

 private:
  const LockRank rank_;
  kx::CheckedMutex mutex_;
};

// ---- fork.cpp: each file's locks for the at-fork handler, which takes
// them in rank order before fork() and gives them back after it.
OwnedMutex& HandleTableLock();                   // handles.cpp
OwnedMutex& ObjectsLock();                       // objects.cpp
OwnedMutex& DataFilesLock();                     // modules.cpp
OwnedMutex& CatalogsLock();                      // resources.cpp
OwnedMutex& UserNameLock();                      // sysinfo.cpp
void LockConnectionsForFork();                   // store.cpp: pool, then all
void UnlockConnectionsAfterFork(bool in_child);  // the child forgets them

// A file descriptor, closed on every way out; release() keeps it open.
struct FdTraits {
  static constexpr int kNone = -1;
  static bool Empty(int fd) { return fd < 0; }
  static int Close(int fd) { return ::close(fd); }
};
using UniqueFd = kx::Holder<int, FdTraits>;

// ---- security.cpp: false for a security descriptor that was never
// initialised (an object made with it is refused).
bool DescriptorIsValid(const SECURITY_ATTRIBUTES* attributes);

// ---- clock.cpp: the time `milliseconds` from now on a clock.
struct timespec ClockAfter(clockid_t clock, DWORD milliseconds);

// ---- files.cpp: writes a file through a temporary file in the target's
// directory, renamed over the target once `fill` has written it, so that a
// reader sees the old file or the whole new one. Without `replace` an
// existing target is kept and ERROR_FILE_EXISTS returned.
DWORD WriteFileAtomically(const std::string& target, int mode, bool replace,
                          const std::function<DWORD(int fd)>& fill);

// ---- text.cpp: case folding shared by the registry store and _mbsicmp.
// Upper-cases UTF-8 text with the C.UTF-8 mapping; a character whose upper
// case has another encoded length, and bytes that are not UTF-8, stay as
// they are, so the result always has the input's length.
std::string FoldCase(std::string_view text);
int CompareNoCase(std::string_view a, std::string_view b);

// ---- process.cpp: identity of this process, renewed in a forked child.
struct ProcessIdentity {
  int32_t pid;
  uint64_t start_time;  // clock ticks after boot, from /proc/<pid>/stat
};
const ProcessIdentity& ThisProcess();
// True while the process that had this identity still runs.
bool ProcessAlive(int32_t pid, uint64_t start_time);

}  // namespace kxwin
