// The product's global directory, where the table and its companions lie,
// the rule for the paths formed there, and how its files are opened.
#include <sys/stat.h>

#include "internal.h"
#include "table.h"

std::string GlobalDirectory() {
  const char* directory = KXgetenv("KXIGLBL0000");
  return directory ? directory : "";
}

bool FitsPath(const std::string& path) {
  return path.size() < MAX_PATH;
}

std::FILE* OpenTextFile(const std::string& path, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  struct stat info;
  if (file && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}
