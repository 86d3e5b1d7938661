// CloseHandle and DuplicateHandle, the Win32 calls that act on a handle of
// any kind.
//
// They sit above every kind's file rather than in the handle table's: the
// table (handles.cpp) only stores objects and is the lowest file that every
// kind calls, while closing a transaction must roll it back at once (keys
// opened in it still hold the object) and duplicating the current thread's
// pseudo-handle needs the thread's record. A close hook that each kind
// registered would hide those calls in a table of functions; here they are
// plain calls downwards.
#include "handles.h"
#include "internal.h"
#include "registry.h"
#include "sync.h"

using namespace kxwin;

BOOL CloseHandle(HANDLE handle) {
  if (handle == kCurrentProcess || handle == kCurrentThread) return TRUE;
  HandleKind kind = KindOf(handle);
  if (kind == HandleKind::kFree || kind == HandleKind::kKey) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto object = RemoveHandle(handle, kind);
  if (object && kind == HandleKind::kTransaction) AbandonTransaction(object);
  return object != nullptr;
}

BOOL DuplicateHandle(HANDLE source_process, HANDLE source,
                     HANDLE target_process, LPHANDLE target, DWORD, BOOL,
                     DWORD options) {
  if (source_process != kCurrentProcess || target_process != kCurrentProcess ||
      !target) {
    SetLastError(!target ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    HandleKind kind =
        source == kCurrentThread ? HandleKind::kThread : KindOf(source);
    if (kind == HandleKind::kFree || kind == HandleKind::kKey) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    std::shared_ptr<void> object = source == kCurrentThread
                                       ? CurrentThreadObject()
                                       : LookupHandle(source, kind);
    if (!object) return FALSE;
    HANDLE copy = InsertHandle(kind, std::move(object));
    if (!copy) return FALSE;
    if ((options & DUPLICATE_CLOSE_SOURCE) && source != kCurrentThread) {
      RemoveHandle(source, kind);
    }
    *target = copy;
    return TRUE;
  });
}
