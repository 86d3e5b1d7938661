// The system font's family name. One of two files implements it, chosen by
// the build: font_fontconfig.cpp where fontconfig is installed, else
// font_fixed.cpp.
#pragma once

#include <string>

namespace kxwin {

// The family that the desktop uses when no font is asked for by name; never
// empty. Safe to call from any thread.
std::string SystemFontFamily();

}  // namespace kxwin
