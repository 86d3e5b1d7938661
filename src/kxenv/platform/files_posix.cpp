// File identity and path names where paths use '/'.
#include <sys/stat.h>

#include <cstring>

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

const char* FileNameOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}
