// UnpackValueBlock on an exact-size copy of arbitrary bytes.
#include <cstdlib>

#include "kxenvprf_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (!CheckValueBlockInput(data, size)) std::abort();
  return 0;
}
