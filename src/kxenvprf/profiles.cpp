// Open profiles and the records in them.
//
// The open profiles form one list per process: a static head entry (handle
// 0, no path) and an entry per open profile, appended at the end. A new
// entry's handle is one more than the last entry's, which is its position
// in the list as long as nothing before it was closed, and stays unique
// among the open entries when something was: closing a profile in the
// middle leaves a gap that no later handle fills. Only the last handle can
// be given again, after it was closed.
//
// The list is guarded by one mutex, list_lock, and nothing is taken inside
// it (libkxenv's at-fork handler takes it after the library's own locks).
// Reads and writes copy the path out under it and do their file work
// without it, so a slow profile never holds up other threads.
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kxenvprf.h"
#include "platform/profile_text.h"
#include "win32_extra.h"

namespace {

struct ProfileEntry {
  ProfileEntry* next;
  int handle;
  char path[kMaxProfilePath + 1];
};

kx::CheckedMutex list_lock;
// Guarded by list_lock: the head's `next` and every entry after it. The
// head itself never changes and is never freed.
ProfileEntry list_head = {nullptr, 0, ""};

// The default text of a read: what a missing key gives. A value that reads
// as exactly this many characters counts as missing, whatever it holds.
constexpr char kNoEntry[] = "noentry";
constexpr DWORD kNoEntryLength = sizeof kNoEntry - 1;

// The entry of an open handle, or null; call with list_lock held.
ProfileEntry* FindEntry(int handle) {
  KX_ASSERT_LOCK(list_lock.HeldByMe());
  if (handle <= 0) return nullptr;
  for (ProfileEntry* entry = list_head.next; entry; entry = entry->next) {
    if (entry->handle == handle) return entry;
  }
  return nullptr;
}

// The path of an open handle, copied while the list is locked.
bool CopyPath(int handle, std::string* path) {
  std::lock_guard lock(list_lock);
  ProfileEntry* entry = FindEntry(handle);
  if (entry) *path = entry->path;
  return entry != nullptr;
}

// A read that got the default, or nothing, found no record.
bool ReadFoundValue(DWORD length) {
  return length != 0 && length != kNoEntryLength;
}

}  // namespace

kx::CheckedMutex& ProfileListLock() {
  return list_lock;
}

int OpenProfile(const char* path) {
  if (!path || !*path) return 0;
  std::size_t length = std::strlen(path);
  if (length > static_cast<std::size_t>(kMaxProfilePath)) return 0;
  std::lock_guard lock(list_lock);
  ProfileEntry* last = &list_head;
  while (last->next) last = last->next;
  // The handle after INT_MAX does not exist; no process opens that many.
  if (last->handle == INT_MAX) return 0;
  auto* entry = new (std::nothrow) ProfileEntry{};
  if (!entry) return 0;
  entry->handle = last->handle + 1;
  std::memcpy(entry->path, path, length + 1);
  last->next = entry;
  return entry->handle;
}

int CloseProfile(int handle) {
  if (handle <= 0) return 0;
  std::lock_guard lock(list_lock);
  for (ProfileEntry* before = &list_head; before->next; before = before->next) {
    ProfileEntry* entry = before->next;
    if (entry->handle == handle) {
      before->next = entry->next;
      delete entry;
      return 1;
    }
  }
  return 0;
}

const char* GetProfilePath(int handle) {
  std::lock_guard lock(list_lock);
  ProfileEntry* entry = FindEntry(handle);
  return entry ? entry->path : nullptr;
}

int WriteProfileRecord(int handle, const char* section, const char* key,
                       const void* bytes, int count) {
  // A null key would make the write delete the whole section.
  if (!section || !key) return 0;
  std::string path;
  if (!CopyPath(handle, &path)) return 0;
  std::string text;
  if (EncodeProfileRecord(bytes, count, &text) == 0) return 0;
  return WriteProfileText(section, key, text, path) ? 1 : 0;
}

int QueryProfileHeader(int handle, const char* section, const char* key,
                       int* out, int whole) {
  // A null section or key would list names instead of reading a value.
  if (!section || !key || !out) return 0;
  std::string path;
  if (!CopyPath(handle, &path)) return 0;
  char header[kRecordHeaderSize] = {};
  DWORD length = GetPrivateProfileStringA(section, key, kNoEntry, header,
                                          sizeof header, path.c_str());
  if (!ReadFoundValue(length) || length < kRecordHeaderSize - 1) return 0;
  int total = 0;
  int count = 0;
  if (ParseRecordHeader(header, &total, &count) != 2) return 0;
  if (!ValidRecordHeader(total, count)) return 0;
  *out = whole ? total + kRecordHeaderSize : count;
  return 1;
}

int GetProfileRecordSize(int handle, const char* section, const char* key,
                         int* count) {
  return QueryProfileHeader(handle, section, key, count, 0);
}

int ReadProfileRecord(int handle, const char* section, const char* key,
                      void* destination, int count) {
  if (count < 0 || (!destination && count > 0)) return 0;
  std::string path;
  if (!CopyPath(handle, &path)) return 0;
  int size = 0;
  if (!QueryProfileHeader(handle, section, key, &size, 1) || size <= 0) {
    return 0;
  }
  try {
    // One more than the read may fill, so the text always ends in a NUL.
    // The read gets up to size - 1 = T + 24 characters, the record and
    // more; a value that grew since its header was read arrives cut, and
    // DecodeProfileRecord refuses it.
    std::vector<char> text(static_cast<std::size_t>(size) + 1, '\0');
    DWORD length =
        GetPrivateProfileStringA(section, key, kNoEntry, text.data(),
                                 static_cast<DWORD>(size), path.c_str());
    if (!ReadFoundValue(length)) return 0;
    std::vector<unsigned char> bytes;
    int decoded = DecodeProfileRecord(text.data(), &bytes);
    if (decoded == 0 || count > decoded) return 0;
    if (count > 0) std::memcpy(destination, bytes.data(), count);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
