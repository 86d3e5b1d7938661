// File identity and path names on Windows. The C runtime leaves st_dev and
// st_ino 0, so a file is known by its volume's serial number and its index
// on that volume; paths may use '\' or '/'.
#include <io.h>

#include <cstring>

#include "holders.h"
#include "table.h"
#include "win32_extra.h"

namespace {

bool IdentityOf(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, info);
}

}  // namespace

bool SameFile(std::FILE* open_file, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION open_info, path_info;
  auto open_handle =
      reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open_file)));
  if (!IdentityOf(open_handle, &open_info)) return false;
  kx::UniqueHandle path_handle(CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!IdentityOf(path_handle.get(), &path_info)) return false;
  return open_info.dwVolumeSerialNumber == path_info.dwVolumeSerialNumber &&
         open_info.nFileIndexHigh == path_info.nFileIndexHigh &&
         open_info.nFileIndexLow == path_info.nFileIndexLow;
}

const char* FileNameOf(const char* path) {
  const char* name = path;
  for (const char* at = path; *at; ++at) {
    if (*at == '/' || *at == '\\' || *at == ':') name = at + 1;
  }
  return name;
}
