// Appending a trace line to a file on Linux.
#include <cstdio>
#include <string>

#include "internal.h"

namespace zrnapi {

// A buffer that holds the whole line makes the flush at close one write.
void AppendToFile(const std::string& path, const std::string& line) {
  std::string buffer(line.size() + 1, '\0');  // outlives the file
  kx::UniqueFile file(std::fopen(path.c_str(), "a"));
  if (!file) return;
  std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
  std::fwrite(line.data(), 1, line.size(), file.get());
}

}  // namespace zrnapi
