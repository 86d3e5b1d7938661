// File identity and locale modules on Windows. The C runtime leaves st_dev
// and st_ino 0, so a file is known by its volume's serial number and its
// index on that volume. A locale module is known by its message table's
// language.
#include <io.h>

#include <cstring>

#include "holders.h"
#include "internal.h"
#include "table.h"
#include "win32_extra.h"

namespace {

bool IdentityOf(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, info);
}

// Keeps the first language found.
BOOL CALLBACK TakeLanguage(HMODULE, LPCSTR, LPCSTR, WORD language,
                           LONG_PTR found) {
  *reinterpret_cast<LANGID*>(found) = language;
  return FALSE;
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

// The language of the module's message table (id 1). The module was
// loaded as a data file, which has no file name on Windows.
std::string ModuleLanguage(HMODULE module) {
  LANGID language = 0;
  EnumResourceLanguagesA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1),
                         TakeLanguage, reinterpret_cast<LONG_PTR>(&language));
  char code[16];
  if (!language ||
      GetLocaleInfoA(MAKELCID(language, SORT_DEFAULT), LOCALE_SISO639LANGNAME,
                     code, sizeof code) == 0) {
    SetTraceStringA(kTraceComponent,
                    "KXlocalizeenvtab: the locale module has no message "
                    "table of a known language.\n");
    return "";
  }
  return code;
}
