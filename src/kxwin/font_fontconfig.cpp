// The system font's family from fontconfig: the family of the font that an
// application gets when it asks for no font in particular, that is an empty
// pattern after the configured and default substitutions.
#include <fontconfig/fontconfig.h>

#include <memory>

#include "font.h"

namespace kxwin {
namespace {

struct PatternFree {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using Pattern = std::unique_ptr<FcPattern, PatternFree>;

struct ConfigFree {
  void operator()(FcConfig* config) const { FcConfigDestroy(config); }
};
using Config = std::unique_ptr<FcConfig, ConfigFree>;

// The pattern's first family; empty when it has none.
std::string FirstFamily(const FcPattern* pattern) {
  FcChar8* family = nullptr;
  if (!pattern ||
      FcPatternGetString(pattern, FC_FAMILY, 0, &family) != FcResultMatch ||
      !family) {
    return {};
  }
  return reinterpret_cast<const char*>(family);
}

// A configuration of its own, destroyed after the one lookup, leaves the
// process's current configuration alone (an application may set its own)
// and frees all that fontconfig loaded, which leak checkers would otherwise
// report: fontconfig hides its pointers in encoded offsets.
std::string LookUpFamily() {
  Config config(FcInitLoadConfigAndFonts());
  Pattern pattern(FcPatternCreate());
  if (!config || !pattern) return "Sans";
  FcConfigSubstitute(config.get(), pattern.get(), FcMatchPattern);
  FcDefaultSubstitute(pattern.get());
  FcResult result = FcResultNoMatch;
  Pattern match(FcFontMatch(config.get(), pattern.get(), &result));
  std::string family = FirstFamily(match.get());
  // Without any installed font, the configuration still names the family
  // it would have chosen.
  if (family.empty()) family = FirstFamily(pattern.get());
  return family.empty() ? "Sans" : family;
}

}  // namespace

std::string SystemFontFamily() {
  // Loading fontconfig's configuration and caches is slow, and a process
  // keeps one answer for its whole life; the static's initialisation is
  // thread-safe.
  // Never destroyed: a library thread may still ask while the process exits.
  static const std::string& family = *new std::string(LookUpFamily());
  return family;
}

}  // namespace kxwin
