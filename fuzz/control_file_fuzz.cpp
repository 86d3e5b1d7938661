// The control file's lines split into directives, on arbitrary files.
#include <cstdlib>

#include "table_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (!CheckControlFileInput(data, size)) std::abort();
  return 0;
}
