// File attributes, moves, copies and deletion under their Win32 names.
//
// Every file this layer writes in place of another (a copy's target, a
// profile file) is first written whole under a temporary name in the
// target's own directory, flushed to disk, and then renamed over the target.
// A rename within one directory is atomic, so a reader sees the old file or
// the whole new one, and a crash leaves at worst a stray temporary file,
// never half a target. The temporary name starts with '.' and carries the
// target's name, so a leftover is recognisable.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "internal.h"

namespace kxwin {

namespace {

// TRUE for ERROR_SUCCESS; otherwise sets the last error and gives FALSE.
BOOL Outcome(DWORD code) {
  if (code == ERROR_SUCCESS) return TRUE;
  SetLastError(code);
  return FALSE;
}

// A temporary file that is removed again unless it was renamed into place.
struct TempFile {
  UniqueFd file;
  std::string path;
  bool committed = false;
  ~TempFile() {
    if (!committed && !path.empty()) unlink(path.c_str());
  }
};

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string_view BaseName(std::string_view path) {
  path = WithoutTrailingSlashes(path);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(std::string_view path) {
  path = WithoutTrailingSlashes(path);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// Windows tells a missing file from a missing directory on its way.
DWORD PathError(const char* path, int err) {
  if (err == ENOENT) {
    struct stat st;
    std::string parent = DirectoryOf(path);
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return ERROR_PATH_NOT_FOUND;
    }
  }
  return ErrorFromErrno(err);
}

// Best effort: makes a rename durable; the rename itself is already atomic.
void SyncDirectory(const std::string& dir) {
  UniqueFd handle(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle) fsync(handle.get());
}

// mode < 0: a new file, made with the process's umask like any other.
int CreateTempBeside(const std::string& target, int mode, TempFile* temp) {
  static std::atomic<unsigned> counter{0};
  // A short prefix of the name keeps the temporary name under NAME_MAX.
  std::string prefix = DirectoryOf(target) + "/." +
                       std::string(BaseName(target).substr(0, 64)) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "%x%x%lx.tmp",
                  static_cast<unsigned>(getpid()), counter.fetch_add(1),
                  static_cast<unsigned long>(now.tv_nsec));
    std::string path = prefix + suffix;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  mode < 0 ? 0666 : 0600);
    if (fd >= 0) {
      temp->file.reset(fd);
      temp->path = std::move(path);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// rename() that refuses to replace an existing name.
int RenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  // Some file systems lack RENAME_NOREPLACE; a hard link also fails
  // atomically on an existing name.
  if (link(from, to) == 0) {
    unlink(from);
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  // Directories and file systems without hard links: check, then rename.
  struct stat st;
  if (lstat(to, &st) == 0) return EEXIST;
  return rename(from, to) == 0 ? 0 : errno;
}

int Rename(const char* from, const char* to, bool replace) {
  if (!replace) return RenameNoReplace(from, to);
  return rename(from, to) == 0 ? 0 : errno;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies one chunk; 0 at the end of the input, -1 with errno on failure.
ssize_t CopyChunk(int in, int out, bool& kernel_copy) {
  if (kernel_copy) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 20, 0);
    if (n >= 0) return n;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
        errno != EOPNOTSUPP) {
      return -1;
    }
    // Older kernels refuse some pairs of file systems; the file offsets
    // have moved past what was copied, so plain reads carry on from there.
    kernel_copy = false;
  }
  char buffer[64 * 1024];
  ssize_t n = read(in, buffer, sizeof buffer);
  if (n <= 0) return n;
  return WriteAll(out, buffer, static_cast<size_t>(n)) ? n : -1;
}

int CopyData(int in, int out) {
  bool kernel_copy = true;
  for (;;) {
    ssize_t n = CopyChunk(in, out, kernel_copy);
    if (n == 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
  }
}

// An existing target is ERROR_ALREADY_EXISTS unless `replace`.
DWORD CopyRegularFile(const char* from, const char* to, bool replace) {
  UniqueFd source(open(from, O_RDONLY | O_CLOEXEC));
  if (!source) return PathError(from, errno);
  struct stat st;
  if (fstat(source.get(), &st) != 0) return ErrorFromErrno(errno);
  // Windows refuses to copy a directory (or a device) as a file.
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  struct stat existing;
  // Checked early so a large copy is not made in vain; the final rename
  // checks again without a race.
  if (!replace && lstat(to, &existing) == 0) return ERROR_ALREADY_EXISTS;
  return WriteFileAtomically(to, static_cast<int>(st.st_mode & 0777), replace,
                             [&](int fd) -> DWORD {
                               int err = CopyData(source.get(), fd);
                               return err ? ErrorFromErrno(err) : ERROR_SUCCESS;
                             });
}

DWORD MoveByCopy(const char* from, const char* to, bool replace) {
  struct stat st;
  if (lstat(from, &st) != 0) return PathError(from, errno);
  // Like Windows, only files are copied to another device.
  if (S_ISDIR(st.st_mode)) return ErrorFromErrno(EXDEV);
  DWORD rc = CopyRegularFile(from, to, replace);
  if (rc != ERROR_SUCCESS) return rc;
  if (unlink(from) != 0) return ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

// Flushes a file's data to the disk, so that a rename never publishes a
// name whose data a power loss could still take.
void SyncFile(const char* path) {
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (file) fsync(file.get());
}

DWORD MovePath(const char* from, const char* to, DWORD flags) {
  bool replace = flags & MOVEFILE_REPLACE_EXISTING;
  if (flags & MOVEFILE_WRITE_THROUGH) SyncFile(from);
  int err = Rename(from, to, replace);
  if (err == EXDEV && (flags & MOVEFILE_COPY_ALLOWED)) {
    return MoveByCopy(from, to, replace);
  }
  if (err == ENOENT) {
    struct stat st;
    // Either end may be missing; a present source means the target's
    // directory is.
    if (lstat(from, &st) != 0) return PathError(from, errno);
    return ERROR_PATH_NOT_FOUND;
  }
  if (err != 0) return ErrorFromErrno(err);
  if (flags & MOVEFILE_WRITE_THROUGH) {
    SyncDirectory(DirectoryOf(to));
    SyncDirectory(DirectoryOf(from));
  }
  return ERROR_SUCCESS;
}

DWORD RemoveFile(const char* path) {
  if (unlink(path) == 0) return ERROR_SUCCESS;
  // DeleteFile never removes a directory; Windows says access denied.
  if (errno == EISDIR) return ERROR_ACCESS_DENIED;
  return PathError(path, errno);
}

bool IsHiddenName(std::string_view name) {
  return name.size() > 1 && name[0] == '.' && name != "..";
}

}  // namespace

DWORD WriteFileAtomically(const std::string& target, int mode, bool replace,
                          const std::function<DWORD(int fd)>& fill) {
  TempFile temp;
  if (int err = CreateTempBeside(target, mode, &temp)) {
    return err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err);
  }
  if (DWORD rc = fill(temp.file.get())) return rc;
  // Set after creation so that the umask cannot narrow a kept mode.
  if (mode >= 0 && fchmod(temp.file.get(), static_cast<mode_t>(mode)) != 0) {
    return ErrorFromErrno(errno);
  }
  // On disk before the rename, so a crash leaves the old file or the new.
  if (fsync(temp.file.get()) != 0) return ErrorFromErrno(errno);
  if (int err = Rename(temp.path.c_str(), target.c_str(), replace)) {
    return ErrorFromErrno(err);
  }
  temp.committed = true;
  SyncDirectory(DirectoryOf(target));
  return ERROR_SUCCESS;
}

}  // namespace kxwin

using namespace kxwin;

DWORD GetFileAttributesA(LPCSTR file_name) {
  return Guarded<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
    if (!file_name) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(file_name, &st) != 0) {
      SetLastError(PathError(file_name, errno));
      return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    if (IsHiddenName(BaseName(file_name))) attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  });
}

BOOL MoveFileExA(LPCSTR existing_name, LPCSTR new_name, DWORD flags) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    constexpr DWORD kKnownFlags = MOVEFILE_REPLACE_EXISTING |
                                  MOVEFILE_COPY_ALLOWED |
                                  MOVEFILE_WRITE_THROUGH;
    if (!existing_name || (flags & ~kKnownFlags)) {
      return Outcome(ERROR_INVALID_PARAMETER);
    }
    if (!new_name) return Outcome(RemoveFile(existing_name));
    return Outcome(MovePath(existing_name, new_name, flags));
  });
}

BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (!existing_name || !new_name) {
      return Outcome(ERROR_INVALID_PARAMETER);
    }
    DWORD rc = CopyRegularFile(existing_name, new_name, !fail_if_exists);
    // CopyFile has its own code for a target that is in the way.
    if (rc == ERROR_ALREADY_EXISTS) rc = ERROR_FILE_EXISTS;
    return Outcome(rc);
  });
}

BOOL DeleteFileA(LPCSTR file_name) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (!file_name) return Outcome(ERROR_INVALID_PARAMETER);
    return Outcome(RemoveFile(file_name));
  });
}
