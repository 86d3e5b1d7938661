// The library's own state and the Memory lock: what every layer of the
// library below the load and unload uses, kept apart from them so that the
// cache calls down to it and nothing here calls the cache.
#include <cstdio>
#include <mutex>

#include "internal.h"

constinit LibraryState g_library;

namespace {

void EnterMyCriticalSection(MyCriticalSection* lock) {
  bool loud = g_library.verbose;
  if (loud) {
    SetTraceStringA(kTraceComponent, "EnterMyCriticalSection: entering %s...\n",
                    lock->name);
  }
  EnterQuietly(lock);
  if (loud) {
    ++lock->count;
    SetTraceStringA(kTraceComponent,
                    "EnterMyCriticalSection: entered %s (count=%d).\n",
                    lock->name, lock->count);
  }
}

void LeaveMyCriticalSection(MyCriticalSection* lock) {
  bool loud = g_library.verbose;
  int count = 0;
  if (loud) count = --lock->count;  // read while still holding the lock
  LeaveQuietly(lock);
  if (loud) {
    SetTraceStringA(kTraceComponent,
                    "LeaveMyCriticalSection: left (count=%d).\n", count);
  }
}

}  // namespace

// The Memory lock's critical section is made exactly once, before any
// thread can use it: at load, or by the first Initialize if that comes
// first (a program that calls in from a static constructor).
void MakeMemoryLock() {
  static std::once_flag once;
  std::call_once(
      once, [] { InitializeCriticalSection(&g_library.memory_lock.section); });
}

void EnterQuietly(MyCriticalSection* lock) {
  EnterCriticalSection(&lock->section);
  lock->owner.Entered();
}

void LeaveQuietly(MyCriticalSection* lock) {
  lock->owner.Leaving();
  LeaveCriticalSection(&lock->section);
}

// Taking and leaving the Memory lock as MemoryLock does, quietly: a fork
// must not trace.
void EnterShutting() {
  EnterQuietly(&g_library.memory_lock);
  if (g_library.memory_lock.depth++ == 0) ShutReadersOut();
}

void LeaveShutting() {
  if (--g_library.memory_lock.depth == 0) LetReadersIn();
  LeaveQuietly(&g_library.memory_lock);
}

MemoryLock::MemoryLock() {
  EnterMyCriticalSection(&g_library.memory_lock);
  if (g_library.memory_lock.depth++ == 0) ShutReadersOut();
}

MemoryLock::~MemoryLock() {
  if (--g_library.memory_lock.depth == 0) LetReadersIn();
  LeaveMyCriticalSection(&g_library.memory_lock);
}

RegistryOptions QuietOptions() {
  RegistryOptions options{};
  options.flags = g_library.verbose ? 0 : REGISTRY_OPTION_QUIET;
  return options;
}

TimeOfDay CurrentTimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  TimeOfDay time{};
  snprintf(time.text, sizeof time.text, "%02u:%02u:%02u", now.wHour,
           now.wMinute, now.wSecond);
  time.milliseconds = now.wMilliseconds;
  return time;
}
