// DecodeProfileRecord on arbitrary text.
#include <cstdlib>

#include "kxenvprf_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (!CheckProfileRecordInput(data, size)) std::abort();
  return 0;
}
