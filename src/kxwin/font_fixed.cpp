// The system font's family where fontconfig is not installed: the generic
// family name that every Linux font setup resolves.
#include "font.h"

namespace kxwin {

std::string SystemFontFamily() {
  return "Sans";
}

}  // namespace kxwin
