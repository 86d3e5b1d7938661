// Watches of a variable or a class: a one-shot change notification on the
// variable's key (or the class key) with its whole subtree, waited for on
// the caller's thread (synchronous) or on a thread of the watch's own
// (asynchronous).
//
// The asynchronous handshake: the caller starts the watch thread and
// suspends itself; the thread arms the notification and then resumes the
// caller, yielding and trying again until a resume finds the caller
// suspended. So the call returns only once the notification is armed, and
// a change made right after it returns signals the caller's event.
//
// Ownership: the request belongs to whoever waits, the caller in
// synchronous mode and the watch thread in asynchronous mode. An event the
// watch made itself (the caller gave none) belongs to the request too and
// is closed with it (WatchRequest::own_event), so it is never closed while
// the thread still waits on it.
#include <cstdio>
#include <cstring>
#include <memory>

#include "internal.h"

namespace {

using RequestHolder = std::unique_ptr<WatchRequest>;

// The watched key's path; false when the class key and name do not fit.
bool WatchPath(int variable_class, const char* name, WatchRequest* request) {
  const char* class_key =
      variable_class == 0 ? kStoreKey : ClassKeyPath(variable_class);
  int length = (variable_class == 0 || !name)
                   ? std::snprintf(request->key_path, sizeof request->key_path,
                                   "%s", class_key)
                   : std::snprintf(request->key_path, sizeof request->key_path,
                                   "%s\\%s", class_key, name);
  return length >= 0 && static_cast<size_t>(length) < sizeof request->key_path;
}

unsigned __stdcall WatchVarForChangeThread(void* argument) {
  SetTraceStringA(kTraceComponent, "WatchVarForChangeThread: started..\n");
  RequestHolder request(static_cast<WatchRequest*>(argument));
  bool watched = WatchVarForChangeNotify(request.get());
  HANDLE caller = request->caller_thread;
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChangeThread: resume parent thread (%x)..\n",
                  TraceAddress(caller));
  DWORD count;
  do {
    SwitchToThread();
    count = ResumeThread(caller);
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeThread: parent thread (%x) resume "
                    "count=%d..\n",
                    TraceAddress(caller), static_cast<int>(count));
  } while (count == 0);
  Guarded("WatchVarForChangeThread", [&] {
    if (watched) watched = WatchVarForChangeWait(request.get());
    // The caller waits on the same event: its thread first, this one's
    // clean-up can wait.
    SwitchToThread();
    WatchVarForChangeClose(request.get());
    request.reset();
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeThread: exiting; rc=%d.\n",
                    watched ? 0 : -1);
  });
  _endthreadex(watched ? 0 : static_cast<unsigned>(-1));
}

// Arms the watch and waits for it on the caller's thread.
bool WatchVarForChangeSync(WatchRequest* request) {
  bool watched =
      WatchVarForChangeNotify(request) && WatchVarForChangeWait(request);
  WatchVarForChangeClose(request);
  return watched;
}

// Starts the watch thread and waits, suspended, until it has armed the
// notification. The request passes to the thread.
bool WatchAsynchronously(RequestHolder request) {
  kx::UniqueHandle caller;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                       GetCurrentProcess(), caller.out(), 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  request->caller_thread = caller.get();
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChange: creating WatchVarForChangeThread...\n");
  kx::UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0, WatchVarForChangeThread, request.get(), 0, nullptr)));
  if (!thread) {
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChange: failed to create thread "
                    "WatchVarForChangeThread!!!\n");
    return false;
  }
  request.release();  // the thread's now
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChange: suspending this thread (%x) until "
                  "WatchVarForChangeThread ready...\n",
                  TraceAddress(caller.get()));
  DWORD count = SuspendThread(caller.get());
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChange: resuming this thread (%x); "
                  "count=%d...\n",
                  TraceAddress(caller.get()), static_cast<int>(count));
  return true;
}

}  // namespace

bool WatchVarForChangeNotify(WatchRequest* request) {
  if (!request->key &&
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, request->key_path, 0, KEY_NOTIFY,
                    request->key.out()) != ERROR_SUCCESS) {
    return false;
  }
  // A variable deleted is its key deleted, which the registry reports as a
  // NAME change of the parent, not as a value change.
  return RegNotifyChangeKeyValue(
             request->key.get(), TRUE,
             REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
             request->event, TRUE) == ERROR_SUCCESS;
}

bool WatchVarForChangeWait(WatchRequest* request) {
  if (!Initialize()) return false;
  HANDLE handles[] = {request->event, g_library.shutdown_event};
  // Without a shutdown event (it could not be made) nothing else ends the
  // wait.
  DWORD count = g_library.shutdown_event ? 2 : 1;
  DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
  if (result == WAIT_OBJECT_0) {
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeWait: event signaled; returning to "
                    "caller.\n");
    return true;
  }
  if (result == WAIT_OBJECT_0 + 1) {
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeWait: event signaled; terminating "
                    "DLL...\n");
    return false;
  }
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChangeWait: reason code=%d; returning to "
                  "caller.\n",
                  static_cast<int>(result));
  return false;
}

void WatchVarForChangeClose(WatchRequest* request) {
  request->key.reset();
}

bool WatchVarForChange(int variable_class, const char* name, HANDLE event,
                       int synchronous) {
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChange: entered (%ssynchronous)..\n",
                  synchronous ? "" : "a");
  RequestHolder request(new WatchRequest{});
  bool watched = false;
  if ((!name || IsKeyName(name, "WatchVarForChange")) &&
      WatchPath(variable_class, name, request.get())) {
    request->event = event;
    if (!event) {
      request->own_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
      request->event = request->own_event.get();
    }
    ResetEvent(request->event);
    watched = synchronous ? WatchVarForChangeSync(request.get())
                          : WatchAsynchronously(std::move(request));
  }
  SetTraceStringA(kTraceComponent, "WatchVarForChange: exiting; rc=%d..\n",
                  watched ? 0 : -1);
  return watched;
}

int KXwatchenv(const char* name, void* event, int synchronous) {
  return Guarded("KXwatchenv", -1, [&] {
    return WatchVarForChange(VC_ENV, name, event, synchronous) ? 0 : -1;
  });
}

int KXwatchopt(const char* name, void* event, int synchronous) {
  return Guarded("KXwatchopt", -1, [&] {
    return WatchVarForChange(VC_OPT, name, event, synchronous) ? 0 : -1;
  });
}
