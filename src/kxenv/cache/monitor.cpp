// The store change monitor: one watcher thread per process that keeps the
// value cache honest.
//
// Protocol. The watcher arms a change notification on the store key and
// its whole subtree, then marks every cached record stale, then raises the
// armed flag and waits. When any process writes the store, the write
// signals the change event before it returns to the writer, and the writer
// holds the machine-wide mutex across the write. The watcher then lowers the
// armed flag and starts its next pass: it resets the event, arms again,
// waits while a table load is running, marks the cache stale, raises the
// flag and waits.
//
// Why no change can be missed. A cache lookup serves a record only while it
// owns the machine-wide mutex, finds the change event not signalled, and
// finds the armed flag raised after that poll. The flag is raised only after
// the notification was armed and the cache marked stale in the same pass:
//  - a write made before that pass armed its notification came before the
//    stale marking, so every record read before it is stale;
//  - a write made after the notification was armed signalled the event,
//    which stays signalled until the next pass, and the flag is lowered
//    before the next pass resets it.
// Arming before marking is what closes the gap between a pass's reset and
// its arming: a write in that gap is covered by the marking that follows.
// While the flag is lowered, every lookup bypasses the cache.
//
// The lookup that owns the mutex is the locked path. A hit needs no mutex
// while the change event is clear (any write signals it before it
// returns) and the change sequence says no write of the library has begun
// since the cache was last known current (sequence.cpp); the watcher
// raises the flag, and lowers it, together with that knowledge, under the
// Memory lock.
#include <atomic>
#include <cstdio>
#include <memory>

#include "cache/pause.h"
#include "internal.h"

std::atomic<bool> g_table_load{false};

namespace {

constexpr int kEventPolls = 5;
constexpr DWORD kTableLoadPollMs = 100;

// Written by the watcher without a lock, read by the checks: single words.
std::atomic<HANDLE> watcher_thread{nullptr};
std::atomic<int> armed{0};
std::atomic<HANDLE> change_event{nullptr};

// Marks the cache and raises the armed flag; call after arming.
void MarkStaleAfterChange(bool first) {
  while (g_table_load.load()) Sleep(kTableLoadPollMs);
  if (!first && IsTraceOn()) {
    TimeOfDay now = CurrentTimeOfDay();
    SetTraceStringA(kTraceComponent,
                    "WatchTabForChangeThread: event signaled at %s.%d; "
                    "setting dirty cache bits...\n",
                    now.text, now.milliseconds);
  }
  uint64_t seen = StoreSequence();  // every write it counts has committed
  MemoryLock lock;
  CacheDirty();
  NoteMarked(seen);
  armed.store(1);
}

void Disarm() {
  MemoryLock lock;
  armed.store(0);
  ForgetValidation();
}

// One pass: arm, mark, wait. True when a change ended the wait. The key stays
// open from pass to pass (a read of the store fewer each time); a pass that
// fails closes it.
bool WatchPass(WatchRequest* request, bool first) {
  ResetEvent(request->event);
  bool changed = false;
  if (WatchVarForChangeNotify(request)) {
    PauseAt("watcher-armed");
    MarkStaleAfterChange(first);
    PauseAt("watcher-marked");
    changed = WatchVarForChangeWait(request);
    // The threads the change woke in the program first: this one runs at
    // the highest priority, and no lookup waits for its next pass (each
    // polls the event itself).
    if (changed) SwitchToThread();
    Disarm();
  }
  if (!changed) WatchVarForChangeClose(request);
  return changed;
}

// Under the Memory lock, so that a new watcher, which CheckMonitor starts
// under the same lock, never has its handles cleared by the old one.
void EndWatcher(WatchRequest* request) {
  SetTraceStringA(kTraceComponent, "WatchTabForChangeThread: exiting...\n");
  MemoryLock lock;
  kx::UniqueHandle thread(watcher_thread.exchange(nullptr));
  armed.store(0);
  ForgetValidation();
  change_event.store(nullptr);
  delete request;  // and its event
}

unsigned __stdcall WatchTabForChangeThread(void* start_block) {
  auto* request = static_cast<WatchRequest*>(start_block);
  Guarded("WatchTabForChangeThread", [&] {
    SetTraceStringA(kTraceComponent, "WatchTabForChangeThread: started..\n");
    std::snprintf(request->key_path, sizeof request->key_path, "%s", kStoreKey);
    request->own_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    request->event = request->own_event.get();
    change_event.store(request->event);
    for (bool first = true; WatchPass(request, first); first = false) {
    }
    EndWatcher(request);
  });
  _endthreadex(0xFFFFFFFF);
}

bool ShuttingDown() {
  if (g_library.detached.load()) return true;
  HANDLE event = g_library.shutdown_event.load();
  return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool StoreKeyExists() {
  RegistryOptions options = QuietOptions();
  RegistryRequest request[] = {
      {HKEY_LOCAL_MACHINE, kStoreKey, 0, &options, nullptr}, {}};
  MessageFrame frame;
  return QueryRegistry(request);
}

bool WatcherRunning() {
  HANDLE thread = watcher_thread.load();
  DWORD code = 0;
  return thread && GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
}

// Call with the Memory lock held (see EndWatcher).
void StartWatcher() {
  AssertMemoryLockHeld();
  auto request = std::make_unique<WatchRequest>();
  SetTraceStringA(kTraceComponent,
                  "CheckMonitor: creating WatchTabForChangeThread...\n");
  auto thread = reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0, WatchTabForChangeThread, request.get(), 0, nullptr));
  if (!thread) {
    SetTraceStringA(kTraceComponent,
                    "CheckMonitor: failed to create thread "
                    "WatchTabForChangeThread!!!\n");
    return;
  }
  request.release();  // the thread frees it
  // Best effort: the thread runs at whatever priority the process may set.
  SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST);
  kx::UniqueHandle old(watcher_thread.exchange(thread));
}

}  // namespace

bool CheckMonitor() {
  bool result = false;
  {
    MemoryLock lock;
    if (WatcherRunning()) {
      result = armed.load() != 0;
    } else if (!ShuttingDown() && StoreKeyExists()) {
      StartWatcher();
    }
  }
  if (g_library.verbose) {
    SetTraceStringA(kTraceComponent, "CheckMonitor: exiting; rc=%d\n",
                    result ? 1 : 0);
  }
  return result;
}

bool NoChangePending() {
  HANDLE handles[] = {change_event.load(), g_library.shutdown_event};
  DWORD count = handles[1] ? 2 : 1;
  return handles[0] &&
         WaitForMultipleObjects(count, handles, FALSE, 0) == WAIT_TIMEOUT;
}

bool CheckTabChangeEvent() {
  HANDLE handles[] = {change_event.load(), g_library.shutdown_event};
  DWORD count = handles[1] ? 2 : 1;  // no shutdown event could be made
  bool loud = g_library.verbose;
  for (int poll = 0; poll < kEventPolls; ++poll) {
    // Only a pending change is worth the processor: the yield lets this
    // process's watcher mark the cache before the next poll. A hit polls
    // once and makes no system call.
    if (poll > 0) SwitchToThread();
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, 0);
    if (result == WAIT_OBJECT_0) {
      if (loud) {
        SetTraceStringA(kTraceComponent,
                        "CheckTabChangeEvent: event signaled; wait until "
                        "reset...\n");
      }
      continue;
    }
    if (result == WAIT_OBJECT_0 + 1) {
      if (loud) {
        SetTraceStringA(kTraceComponent,
                        "CheckTabChangeEvent: event signaled; terminating "
                        "DLL...\n");
      }
      return false;
    }
    if (loud) {
      SetTraceStringA(kTraceComponent,
                      "CheckTabChangeEvent: event unsignaled; cache OK to "
                      "use.\n");
    }
    // Confirmed after the poll: the notification was armed, and the cache
    // marked, before the event was seen clear.
    return armed.load() != 0;
  }
  return false;
}
