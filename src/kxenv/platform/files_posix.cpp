// File identity, and locale modules known by their file names, where paths
// use '/'.
#include <sys/stat.h>

#include <cstring>

#include "internal.h"
#include "table.h"

bool SameFile(std::FILE* open_file, const std::string& path) {
  struct stat open_info, path_info;
  if (fstat(fileno(open_file), &open_info) != 0 ||
      stat(path.c_str(), &path_info) != 0) {
    return false;
  }
  return open_info.st_dev == path_info.st_dev &&
         open_info.st_ino == path_info.st_ino;
}

// The extension of the module's file name, without the dot. A name
// without one leaves no code, and the caller refuses rather than writing a
// file named "kxenvtb.".
std::string ModuleLanguage(HMODULE module) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    SetTraceStringA(kTraceComponent,
                    "KXlocalizeenvtab: the locale module's file name is "
                    "unknown or too long.\n");
    return "";
  }
  const char* slash = std::strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  const char* dot = std::strrchr(name, '.');
  if (!dot || !dot[1]) {
    SetTraceStringA(kTraceComponent,
                    "KXlocalizeenvtab: the locale module %s names no "
                    "language.\n",
                    path);
    return "";
  }
  return dot + 1;
}
