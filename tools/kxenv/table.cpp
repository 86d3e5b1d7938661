// The table commands: load the variable table into the store, put the
// shipped table back, and write a copy of the table in a language.
//
// The library says only that a call failed (its trace says why). The tool
// looks at what it can see from outside, the global directory and the
// files, to say why in plain words; and it refuses up front where the
// library would go ahead and do harm: a put-back without kxenv.hdg (the
// library would move kxenv.tab aside and then fail, leaving no table).
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "commands.h"
#include "output.h"

namespace kxtool {
namespace {

namespace fs = std::filesystem;

constexpr char kNoGlobal[] =
    "KXIGLBL0000 is not set (it names the global directory that holds "
    "kxenv.tab)";
constexpr char kTraceHint[] = "KX_TRACE=stderr shows why";

// A file that can be opened for reading: it exists, is no directory, and
// the permissions let this process read it.
bool ReadableFile(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error) && !fs::is_directory(path, error) &&
         access(path.c_str(), R_OK) == 0;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The load failed: the control file, the global directory or the table is
// the likely cause.
int LoadFailed(const std::string& control, const std::string& directory) {
  if (!ReadableFile(control)) {
    return Fail("cannot read the control file " + control +
                "; nothing was loaded");
  }
  const std::string what = "the table could not be loaded";
  if (directory.empty()) return Fail(what + ": " + kNoGlobal);
  std::string table = directory + "/kxenv.tab";
  if (!ReadableFile(table)) return Fail(what + ": cannot read " + table);
  return Fail(what + " (" + kTraceHint + ")");
}

// The put-back failed: either the move of kxenv.tab or the copy after it.
int InitFailed(const std::string& directory) {
  std::string table = directory + "/kxenv.tab";
  if (!Exists(table) && Exists(directory + "/kxenv.bak")) {
    return Fail(directory + "/kxenv.hdg could not be copied to kxenv.tab; " +
                "the former table is " + directory + "/kxenv.bak");
  }
  return Fail("the table could not be put back: " + table +
              " could not be moved to kxenv.bak (" + kTraceHint + ")");
}

// The file localize writes, where the tool can know it: the target given,
// else kxenvtb.LANGUAGE in the global directory. Without a language only the
// library knows the locale's.
std::optional<std::string> TargetPath(const Args& args,
                                      const std::string& directory) {
  if (args.target) return *args.target;
  if (args.language) return directory + "/kxenvtb." + *args.language;
  return std::nullopt;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(a, b, error);
}

int LocalizeFailed(const Args& args, const std::string& directory) {
  const std::string what = "the table could not be localised";
  bool needs_directory = !args.source || !args.target;
  if (needs_directory && directory.empty()) {
    return Fail(what + ": " + kNoGlobal);
  }
  std::string source = args.source ? *args.source : directory + "/kxenv.tab";
  if (!ReadableFile(source)) return Fail(what + ": cannot read " + source);
  std::optional<std::string> target = TargetPath(args, directory);
  if (target && SameFile(source, *target)) {
    return Fail(what + ": the target " + *target + " is the table it reads");
  }
  std::string catalog = "KXENVRC." + args.language.value_or("<language>");
  return Fail(what + " (is there a catalog " + catalog +
              " in KX_LOCALE_DIR? can the target be written? " + kTraceHint +
              ")");
}

}  // namespace

int RunLoadTable(const Args& args) {
  if (LoadTable(args.control) == 0) return kDone;
  return LoadFailed(args.control, GlobalDirectory());
}

int RunInitTable(const Args&) {
  std::string directory = GlobalDirectory();
  if (directory.empty()) {
    return Fail(std::string("the table could not be put back: ") + kNoGlobal);
  }
  std::string pristine = directory + "/kxenv.hdg";
  if (!ReadableFile(pristine)) {
    return Fail("cannot read the shipped table " + pristine +
                "; kxenv.tab was left as it is");
  }
  if (InitTable() == 0) return kDone;
  return InitFailed(directory);
}

// Prints the file written, or without a language where it went.
int RunLocalize(const Args& args) {
  if (LocalizeTable(args.language, args.source, args.target) != 0) {
    return LocalizeFailed(args, GlobalDirectory());
  }
  std::string directory = GlobalDirectory();
  if (std::optional<std::string> target = TargetPath(args, directory)) {
    std::cout << *target << '\n';
  } else {
    std::cout << "done: kxenvtb.<the locale's language> in " << directory
              << '\n';
  }
  return kDone;
}

}  // namespace kxtool
