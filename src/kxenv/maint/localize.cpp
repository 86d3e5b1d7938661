// A localised copy of the variable table: every message marker of the
// source ("%s<n>" or "%S<n>", found by FindMsgMarker) is replaced by message
// n of a locale module, and everything else is copied byte for byte. The
// copy is for people and for tools of other languages; the library never
// reads it back.
//
// The source is read with fgets in pieces of at most 2,047 characters, as
// the loader reads it, and each piece is localised on its own: a marker
// that straddles two pieces is not recognised, exactly as the loader would
// not recognise it.
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "table.h"

namespace {

// A message text is read into a buffer of this size, terminator included.
constexpr size_t kMessageSize = 4096;

// The locale module of one call, freed on every way out. Each call loads a
// module of its own, so two localisations in one process do not share it.
struct Locale {
  HMODULE handle = nullptr;
  ~Locale() { freeLocale(&handle); }
};

// A default path that does not fit is refused with a trace line.
bool FitsTracedPath(const std::string& path) {
  if (FitsPath(path)) return true;
  SetTraceStringA(kTraceComponent,
                  "KXlocalizeenvtab: a path of %zu bytes is too long; "
                  "refused.\n",
                  path.size());
  return false;
}

// Opens a file of the call; one that cannot be opened is traced.
FILE* OpenFile(const std::string& path, const char* mode) {
  FILE* file = OpenTextFile(path, mode);
  if (!file) {
    SetTraceStringA(kTraceComponent,
                    "KXlocalizeenvtab: error opening file %s.\n", path.c_str());
  }
  return file;
}

// Whether the target names the file the source is: opening it for writing
// would empty the table before a line of it was read.
bool IsSource(std::FILE* source, const std::string& target_path) {
  if (!SameFile(source, target_path)) return false;
  SetTraceStringA(kTraceComponent,
                  "KXlocalizeenvtab: the target %s is the source; refused.\n",
                  target_path.c_str());
  return true;
}

// Writes one piece of a line with each of its markers replaced, up to the
// first place where FindMsgMarker finds none (or a malformed one); the rest
// is copied as it is.
bool LocalizeLine(const char* line, FILE* out, HMODULE locale) {
  const char* rest = line;
  for (;;) {
    std::size_t prefix = 0;
    const char* after = nullptr;
    unsigned long number = FindMsgMarker(rest, &prefix, &after);
    if (number == 0) {
      std::fputs(rest, out);
      return true;
    }
    char text[kMessageSize];
    DWORD size = kMessageSize - 1;
    if (!FormatMsgString(locale, text, &size, static_cast<DWORD>(number))) {
      SetTraceStringA(kTraceComponent, "KXlocalizeenvtab: %s.\n",
                      GetMsgString());
      return false;
    }
    std::fwrite(rest, 1, prefix, out);
    std::fwrite(text, 1, size, out);
    rest = after;
  }
}

bool LocalizeFile(FILE* in, FILE* out, HMODULE locale) {
  char line[kTableLineSize];
  while (std::fgets(line, sizeof line, in)) {
    if (!LocalizeLine(line, out, locale)) return false;
  }
  return true;
}

bool LocalizeEnvTab(const char* language, const char* source,
                    const char* target) {
  SetTraceStringA(kTraceComponent, "KXlocalizeenvtab: enter.\n");
  std::string directory;
  if (!source || !target) {
    directory = GlobalDirectory();
    if (directory.empty()) return false;
  }
  Locale locale;
  if (loadLocaleA("KXENVRC", language, &locale.handle) != 0) return false;

  std::string source_path = source ? source : directory + "/kxenv.tab";
  if (!source && !FitsTracedPath(source_path)) return false;
  kx::UniqueFile in(OpenFile(source_path, "rb"));
  if (!in) return false;

  std::string target_path;
  if (target) {
    target_path = target;
  } else {
    std::string code = language ? language : ModuleLanguage(locale.handle);
    if (code.empty()) return false;
    target_path = directory + "/kxenvtb." + code;
    if (!FitsTracedPath(target_path)) return false;
  }
  if (IsSource(in.get(), target_path)) return false;
  kx::UniqueFile out(OpenFile(target_path, "wb"));
  if (!out) return false;

  if (!LocalizeFile(in.get(), out.get(), locale.handle)) return false;
  SetTraceStringA(kTraceComponent, "KXlocalizeenvtab: exited successfully.\n");
  return true;
}

}  // namespace

extern "C" KXENV_API int KXlocalizeenvtab(const char* language,
                                          const char* source,
                                          const char* target) {
  return Guarded("KXlocalizeenvtab", -1, [&] {
    return LocalizeEnvTab(language, source, target) ? 0 : -1;
  });
}
