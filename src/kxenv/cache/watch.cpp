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
  int result = WatchVarForChangeNotify(request.get());
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
    if (result == 0) result = WatchVarForChangeWait(request.get());
    // The caller waits on the same event: its thread first, this one's
    // clean-up can wait.
    SwitchToThread();
    WatchVarForChangeClose(request.get());
    request.reset();
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeThread: exiting; rc=%d.\n", result);
  });
  _endthreadex(static_cast<unsigned>(result));
}

// Arms the watch and waits for it on the caller's thread.
int WatchVarForChangeSync(WatchRequest* request) {
  int result = WatchVarForChangeNotify(request);
  if (result == 0) result = WatchVarForChangeWait(request);
  WatchVarForChangeClose(request);
  return result;
}

// Starts the watch thread and waits, suspended, until it has armed the
// notification. The request passes to the thread.
int WatchAsynchronously(RequestHolder request) {
  kx::UniqueHandle caller;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                       GetCurrentProcess(), caller.out(), 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return -1;
  }
  request->caller_thread = caller.get();
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChange: creating WatchVarForChangeThread...\n");
  kx::UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0, WatchVarForChangeThread, request.get(), 0, nullptr)));
  int result = -1;
  if (!thread) {
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChange: failed to create thread "
                    "WatchVarForChangeThread!!!\n");
  } else {
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
    result = 0;
  }
  return result;
}

}  // namespace

int WatchVarForChangeNotify(WatchRequest* request) {
  if (!request->key &&
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, request->key_path, 0, KEY_NOTIFY,
                    request->key.out()) != ERROR_SUCCESS) {
    return -1;
  }
  // A variable deleted is its key deleted, which the registry reports as a
  // NAME change of the parent, not as a value change.
  return RegNotifyChangeKeyValue(
             request->key.get(), TRUE,
             REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
             request->event, TRUE) == ERROR_SUCCESS
             ? 0
             : -1;
}

int WatchVarForChangeWait(WatchRequest* request) {
  if (!Initialize()) return -1;
  HANDLE handles[] = {request->event, g_library.shutdown_event};
  // Without a shutdown event (it could not be made) nothing else ends the
  // wait.
  DWORD count = g_library.shutdown_event ? 2 : 1;
  DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
  if (result == WAIT_OBJECT_0) {
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeWait: event signaled; returning to "
                    "caller.\n");
    return 0;
  }
  if (result == WAIT_OBJECT_0 + 1) {
    SetTraceStringA(kTraceComponent,
                    "WatchVarForChangeWait: event signaled; terminating "
                    "DLL...\n");
    return -1;
  }
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChangeWait: reason code=%d; returning to "
                  "caller.\n",
                  static_cast<int>(result));
  return -1;
}

int WatchVarForChangeClose(WatchRequest* request) {
  request->key.reset();
  return 0;
}

int WatchVarForChange(int variable_class, const char* name, HANDLE event,
                      int synchronous) {
  SetTraceStringA(kTraceComponent,
                  "WatchVarForChange: entered (%ssynchronous)..\n",
                  synchronous ? "" : "a");
  RequestHolder request(new WatchRequest{});
  int result = -1;
  if ((!name || IsKeyName(name, "WatchVarForChange")) &&
      WatchPath(variable_class, name, request.get())) {
    request->event = event;
    if (!event) {
      request->own_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
      request->event = request->own_event.get();
    }
    ResetEvent(request->event);
    result = synchronous ? WatchVarForChangeSync(request.get())
                         : WatchAsynchronously(std::move(request));
  }
  SetTraceStringA(kTraceComponent, "WatchVarForChange: exiting; rc=%d..\n",
                  result);
  return result;
}

int KXwatchenv(const char* name, void* event, int synchronous) {
  return Guarded("KXwatchenv", -1, [&] {
    return WatchVarForChange(VC_ENV, name, event, synchronous);
  });
}

int KXwatchopt(const char* name, void* event, int synchronous) {
  return Guarded("KXwatchopt", -1, [&] {
    return WatchVarForChange(VC_OPT, name, event, synchronous);
  });
}
