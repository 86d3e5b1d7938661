// The last-error slot of each thread, the mapping of errno and SQLite codes
// to Win32 codes, and the texts of the Win32 codes that kxwin returns.
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#include "internal.h"

namespace kxwin {
namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct ErrorText {
  DWORD code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY,
     "Not enough memory resources are available to complete this operation."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_NOT_SAME_DEVICE,
     "The system cannot move the file to a different disk drive."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another "
     "process."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_INSUFFICIENT_BUFFER,
     "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME,
     "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS,
     "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably."},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for "
     "deletion."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_UNKNOWN_REVISION, "The revision level is unknown."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_TIMEOUT,
     "This operation returned because the timeout period "
     "expired."},
    {ERROR_FILE_CORRUPT, "The file or directory is corrupted and unreadable."},
    {ERROR_INVALID_DATATYPE, "The specified datatype is invalid."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file."},
};

}  // namespace

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EISDIR:
      return ERROR_DIRECTORY;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
      return ERROR_BUSY;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EIO:
      return ERROR_WRITE_FAULT;
    case EAGAIN:
      return ERROR_BUSY;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

DWORD ErrorFromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
      return ERROR_BADDB;
    case SQLITE_IOERR:
      return ERROR_REGISTRY_IO_FAILED;
    case SQLITE_CONSTRAINT:
      return ERROR_KEY_DELETED;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_INTERNAL_ERROR;
  }
}

DWORD ErrorFromException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (const std::length_error&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (const std::system_error& e) {
    const auto& category = e.code().category();
    return category == std::generic_category() ||
                   category == std::system_category()
               ? ErrorFromErrno(e.code().value())
               : ERROR_INTERNAL_ERROR;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

const char* SystemErrorText(DWORD code) {
  for (const auto& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace kxwin

using namespace kxwin;

DWORD GetLastError(void) {
  return last_error;
}

void SetLastError(DWORD code) {
  last_error = code;
}
