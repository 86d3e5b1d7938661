// Lock-rule checks for every layer: which thread holds a lock, and the
// assertion that a rule holds where a function relies on it.
//
// One switch, KX_CHECK_LOCKS: on in a Debug build (NDEBUG unset) and in
// every sanitizer build (KXENV_SANITIZED, set by CMakeLists.txt whatever
// the build type), off otherwise. Where it is off, a LockHolder keeps
// nothing and KX_ASSERT_LOCK is compiled but never run, so a rule that no
// longer compiles is still caught and a release build pays nothing.
//
// Each layer writes its lock order beside its locks (src/kxwin/internal.h,
// src/kxenv/internal.h, src/kxenvprf/profiles.cpp); this file only checks.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if !defined(NDEBUG) || defined(KXENV_SANITIZED)
#define KX_CHECK_LOCKS 1
#else
#define KX_CHECK_LOCKS 0
#endif

namespace kx {

inline constexpr bool kCheckLocks = KX_CHECK_LOCKS;

[[noreturn]] inline void LockRuleBroken(const char* rule, const char* file,
                                        int line) {
  std::fprintf(stderr, "%s:%d: lock rule broken: %s\n", file, line, rule);
  std::abort();
}

// Aborts with the rule's text and place when `rule` is false, where lock
// rules are checked.
#define KX_ASSERT_LOCK(rule)                                        \
  do {                                                              \
    if constexpr (::kx::kCheckLocks) {                              \
      if (!(rule)) ::kx::LockRuleBroken(#rule, __FILE__, __LINE__); \
    }                                                               \
  } while (0)

// The thread that holds a lock, re-entrant or not: the lock's owner calls
// Entered after taking it and Leaving before giving it back. HeldByMe
// answers only where lock rules are checked (inside KX_ASSERT_LOCK).
class LockHolder {
 public:
#if KX_CHECK_LOCKS
  void Entered() {
    if (depth_++ == 0) thread_.store(Me(), std::memory_order_relaxed);
  }
  void Leaving() {
    if (--depth_ == 0) thread_.store(nullptr, std::memory_order_relaxed);
  }
  // A forked child's lock is made anew: no thread holds it.
  void Forget() {
    depth_ = 0;
    thread_.store(nullptr, std::memory_order_relaxed);
  }
  // Only the holder can find its own token here, so a relaxed load is
  // enough: another thread may see an old holder, never itself.
  bool HeldByMe() const {
    return thread_.load(std::memory_order_relaxed) == Me();
  }

 private:
  // A token of the calling thread: the address of a thread-local, cheaper
  // than asking the system for the thread's id.
  static const void* Me() {
    static thread_local const char token = 0;
    return &token;
  }
  std::atomic<const void*> thread_{nullptr};  // null while free
  int depth_ = 0;  // changed only by the thread that holds the lock
#else
  void Entered() {}
  void Leaving() {}
  void Forget() {}
  bool HeldByMe() const {
    return false;
  }
#endif
};

// How many holds the calling thread has on locks of one kind that are not
// a LockHolder's (a machine-wide mutex, a lock in shared memory): declare
// one `inline thread_local HoldCount` per kind.
class HoldCount {
 public:
#if KX_CHECK_LOCKS
  void Add(int change) {
    count_ += change;
  }
  bool Held() const {
    return count_ > 0;
  }

 private:
  int count_ = 0;
#else
  void Add(int) {}
  bool Held() const {
    return false;
  }
#endif
};

// A std::mutex that knows its holder where lock rules are checked.
class CheckedMutex {
 public:
  void lock() {
    mutex_.lock();
    holder_.Entered();
  }
  void unlock() {
    holder_.Leaving();
    mutex_.unlock();
  }
  bool HeldByMe() const { return holder_.HeldByMe(); }

 private:
  std::mutex mutex_;
  [[no_unique_address]] LockHolder holder_;
};

}  // namespace kx
