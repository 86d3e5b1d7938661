// Save files of a key's subtree, in every format: REGEDIT4 (regedit4.cpp),
// version 5 (regedit5.cpp, converted to and from REGEDIT4 text) and JSON
// (savejson.cpp). Each is read into one in-memory form, the list of keys
// with their values, and written from it; restoring, its dry run and
// comparing all plan from that list (restoreplan.cpp), so every format gets
// the same refusals and the same all-or-nothing rule.
#ifndef ZRNAPI_SAVEFILE_H
#define ZRNAPI_SAVEFILE_H

#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace zrnapi {

// A failure on its way out to the exported function, which records it.
struct Failure {
  std::string text;
};

[[noreturn]] void Fail(const char* format, ...)
    __attribute__((format(ZRNAPI_PRINTF, 1, 2)));

// Fails with "<what>: <text of the code>" unless `status` is a success.
void Check(LSTATUS status, const std::string& what);

struct ValueEntry {
  std::string name;     // "" is the key's default value
  bool remove = false;  // a file's "name"=- or null: the value goes
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct KeyEntry {
  std::string path;  // below HKEY_LOCAL_MACHINE, without empty names
  std::vector<ValueEntry> values;
};

// Keys in file order; read from the store, parents before children.
using KeyList = std::vector<KeyEntry>;

inline constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";

// Orders names as the registry matches them: without regard to case.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                    reinterpret_cast<const unsigned char*>(b.c_str())) < 0;
  }
};

// "HKEY_LOCAL_MACHINE\<path>".
std::string KeyName(const std::string& path);
// The key path without empty names (leading, trailing or doubled
// backslashes), which the registry skips too.
std::string CleanPath(std::string_view path);
// True when `path` is `target` or below it, without regard to case.
bool IsAtOrBelow(const std::string& path, const std::string& target);
// A name for a message: its line breaks written as "\n".
std::string Shown(std::string_view name);

// ---- regedit4.cpp -----------------------------------------------------------

// The keys and values of a REGEDIT4 text (a version-5 file already turned
// into one), or a failure naming `file` and the line. Every key must be
// `target` or below it; an empty target takes any key.
KeyList ParseRegedit4(std::string_view text, const char* file,
                      const std::string& target);
// The REGEDIT4 text of a key list. Names holding a line break cannot be
// written: such a key (with its subtree) or value is left out and named
// in `left_out`.
std::string Regedit4Text(const KeyList& keys,
                         std::vector<std::string>* left_out);

// ---- savejson.cpp -----------------------------------------------------------

// True when a text (decoded, without a byte order mark) is a JSON save
// file: its first character other than white space is '{'.
bool IsJson(std::string_view text);
// The keys and values of a JSON save file, or a failure naming `file` and
// the JSON path of what is wrong. The file's key must be `target` or below
// it; an empty target takes any.
KeyList ParseJson(std::string_view text, const char* file,
                  const std::string& target);
// The JSON save file of a key list, whose first key is the root that every
// other key lies below. Names that are not UTF-8 cannot be written: such a
// key (with its subtree) or value is left out and named in `left_out`.
std::string JsonText(const KeyList& keys, std::vector<std::string>* left_out);
// A value as the JSON object of a save file ({"type":..., "data":...}),
// with the bytes of a name that are not UTF-8 replaced; "null" for none.
std::string JsonValue(const ValueEntry* value);
// A text as a JSON string, its bytes that are not UTF-8 replaced.
std::string JsonString(std::string_view text);

// ---- saverestore.cpp --------------------------------------------------------

// The keys and values of the save file `file`, whatever its format, for a
// restore below `target` (empty: anywhere).
KeyList ReadSaveFile(const char* file, const std::string& target);

// Reads the key at `path`, open as `key`, and its subtree into `keys`,
// parents before children, subkeys and values in enumeration order; a
// failure names `function`.
void ReadTree(const char* function, HKEY key, const std::string& path,
              HANDLE transaction, KeyList* keys);

// ---- restoreplan.cpp --------------------------------------------------------

// Restores `keys` below `target` in one transaction; with `replace` what
// they lack goes. Only what differs is written.
void RestoreKeys(const std::string& target, const KeyList& keys, bool replace);
// The JSON report of what RestoreKeys would change, changing nothing.
std::string CompareKeys(const std::string& target, const KeyList& keys,
                        bool replace);

}  // namespace zrnapi

#endif  // ZRNAPI_SAVEFILE_H
