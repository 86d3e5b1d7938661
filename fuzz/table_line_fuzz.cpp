// ParseTableLine on arbitrary lines.
#include <cstdlib>

#include "table_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (!CheckTableLineInput(data, size)) std::abort();
  return 0;
}
