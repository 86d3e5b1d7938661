// The handle table of this process.
//
// A HANDLE (or HKEY) that kxwin hands out is a small tagged number: the slot
// index of this table and the slot's generation, shifted so that the value
// is a multiple of four, as Windows handles are; as there, a value with
// either of its two low bits set names the same object. A value whose slot is
// free or has been reused, or whose kind does not match, is refused with
// ERROR_INVALID_HANDLE, so a closed or foreign handle can never reach the
// wrong object.
//
// The table holds a shared_ptr to each object: an operation works on its
// own reference, so closing a handle while another thread waits on it keeps
// the object alive until the wait ends.
//
// The table only stores objects; the Win32 calls on a handle of any kind,
// CloseHandle and DuplicateHandle, are in handleapi.cpp, above the files of
// the kinds whose close they must know.
#pragma once

#include <functional>
#include <memory>

#include "kxwin/kxwin.h"

namespace kxwin {

enum class HandleKind : uint8_t {
  kFree,
  kEvent,
  kMutex,
  kThread,
  kKey,
  kTransaction,
  kEventSource,
  kSection
};

HANDLE InsertHandle(HandleKind kind, std::shared_ptr<void> object);
// The object behind a handle of the given kind; null with
// ERROR_INVALID_HANDLE set when there is none.
std::shared_ptr<void> LookupHandle(HANDLE handle, HandleKind kind);
template <typename T>
std::shared_ptr<T> Lookup(HANDLE handle, HandleKind kind) {
  return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}
// The object behind a live handle of any kind, and its kind; null with
// *kind kFree (and no last error set) when the handle is not a live one.
std::shared_ptr<void> LookupAnyHandle(HANDLE handle, HandleKind* kind);
// The kind of a live handle, kFree when it is not one.
HandleKind KindOf(HANDLE handle);
// Takes the object out of the table; null with ERROR_INVALID_HANDLE when
// the handle is not a live one of that kind.
std::shared_ptr<void> RemoveHandle(HANDLE handle, HandleKind kind);
// How many handles have been taken out of the table so far: while it stays
// the same, every handle maps to the object it mapped to before. No lock.
uint64_t HandleRemovals();
// Drops every handle of a kind for which `drop` says true (used in a forked
// child, where the parent's threads do not exist).
void DropHandles(HandleKind kind,
                 const std::function<bool(const std::shared_ptr<void>&)>& drop);

inline const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(-1);
inline const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(-2);

}  // namespace kxwin
