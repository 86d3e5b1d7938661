// Mutex ownership, security attributes, multi-string lists and queued file
// moves, and the computer's name.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"

using namespace zrnapi;

namespace {

// Size of a multi-string list up to and including its closing empty
// string; 0 for a null list.
size_t MultiStrSize(LPCSTR list) {
  if (!list) return 0;
  size_t size = 0;
  while (list[size]) size += std::strlen(list + size) + 1;
  return size + 1;
}

}  // namespace

BOOL GetMutexOwnership(HANDLE mutex) {
  switch (WaitForSingleObject(mutex, INFINITE)) {
    case WAIT_OBJECT_0:
      return TRUE;
    case WAIT_ABANDONED:
      // The owner died holding it; what it guarded is whole in the store,
      // whose writes are transactions, so the new owner goes on.
      SetTraceStringA(kComponent,
                      "GetMutexOwnership: mutex %p abandoned by its owner; "
                      "taken over.\n",
                      mutex);
      return TRUE;
    default:
      RecordFailure(false, "GetMutexOwnership: cannot own mutex %p: %s", mutex,
                    ErrorText(GetLastError()).c_str());
      return FALSE;
  }
}

BOOL ReleaseMutexOwnership(HANDLE mutex) {
  if (ReleaseMutex(mutex)) return TRUE;
  RecordFailure(false, "ReleaseMutexOwnership: cannot release mutex %p: %s",
                mutex, ErrorText(GetLastError()).c_str());
  return FALSE;
}

BOOL GetSecurityAttributes(LPSECURITY_ATTRIBUTES* attributes) {
  if (!attributes) return FALSE;
  *attributes = nullptr;
  auto* record = static_cast<LPSECURITY_ATTRIBUTES>(
      std::calloc(1, sizeof(SECURITY_ATTRIBUTES)));
  void* descriptor = std::calloc(1, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (!record || !descriptor) {
    std::free(record);
    std::free(descriptor);
    RecordFailure(false, "GetSecurityAttributes: out of memory");
    return FALSE;
  }
  // A null DACL grants every user access: the mutex guards a store that
  // every program of the family writes, whoever runs it.
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
    RecordFailure(false, "GetSecurityAttributes: %s",
                  ErrorText(GetLastError()).c_str());
    std::free(record);
    std::free(descriptor);
    return FALSE;
  }
  record->nLength = sizeof(SECURITY_ATTRIBUTES);
  record->lpSecurityDescriptor = descriptor;
  record->bInheritHandle = FALSE;
  *attributes = record;
  return TRUE;
}

void ZRNFreeMemory(LPVOID pointer) {
  std::free(pointer);
}

BOOL MultiStrAddValue(LPSTR* list, LPCSTR string) {
  if (!list || !string || !*string) {
    RecordFailure(false, "MultiStrAddValue: no list or an empty string");
    return FALSE;
  }
  size_t used = *list ? MultiStrSize(*list) - 1 : 0;  // without the closing
  size_t length = std::strlen(string) + 1;
  auto* grown = static_cast<char*>(std::realloc(*list, used + length + 1));
  if (!grown) {
    RecordFailure(false, "MultiStrAddValue: out of memory");
    return FALSE;
  }
  std::memcpy(grown + used, string, length);
  grown[used + length] = '\0';
  *list = grown;
  return TRUE;
}

void MultiStrDelList(LPSTR* list) {
  if (!list) return;
  std::free(*list);
  *list = nullptr;
}

BOOL ProcessMoveFilesQueue(LPCSTR list, DWORD, DWORD) {
  if (!list) {
    RecordFailure(false, "ProcessMoveFilesQueue: no list");
    return FALSE;
  }
  BOOL all_moved = TRUE;
  for (LPCSTR source = list; *source;) {
    LPCSTR target = source + std::strlen(source) + 1;
    if (!*target) {
      RecordFailure(false, "ProcessMoveFilesQueue: %s has no destination",
                    source);
      return FALSE;
    }
    if (!MoveFileExA(source, target,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
      RecordFailure(false, "ProcessMoveFilesQueue: cannot move %s to %s: %s",
                    source, target, ErrorText(GetLastError()).c_str());
      all_moved = FALSE;
    }
    source = target + std::strlen(target) + 1;
  }
  return all_moved;
}

LPCSTR GetMyName(void) {
  static char name[256];
  static bool known = false;
  static std::once_flag once;
  std::call_once(once, [] {
    DWORD size = sizeof name;
    known = GetComputerNameA(name, &size) && name[0];
  });
  return known ? name : nullptr;
}
