// The tool's view of the library: every call into libkxenv goes through
// here, and what comes back is copied into plain values and released with
// KXfreemem at once, so that no library pointer outlives the call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kxtool {

// Which of the library's classes (or views of one) a command works on.
enum class View { kEnv, kLocal, kGlobal, kOpt, kApp };

// "ENV", "LCL", "GBL", "OPT" or "APP", as the library names the classes.
const char* ViewLabel(View view);
// The class in words, for messages: "environment class", ...
const char* ViewWords(View view);

// A VariableRecord of level 99, copied.
struct Record {
  uint32_t version = 0;
  std::string className;
  std::string name;
  std::optional<std::string> value;
  std::optional<std::string> defaultValue;
  std::optional<std::string> localValue;
  std::optional<std::string> globalValue;
  std::optional<std::string> app;
  std::optional<std::string> description;
  std::vector<std::string> choices;  // the items of the multi-string
  std::optional<std::string> choiceType;
  std::optional<std::string> dataType;
  uint32_t maxSize = 0;
  bool readOnly = false;
  bool sensitive = false;
  std::optional<std::string> lastUser;
  uint32_t timeStamp = 0;  // seconds since 1970-01-01 UTC; 0: none
  uint32_t descriptionId = 0;
};

// The effective value in a view (kEnv, kLocal, kGlobal or kOpt).
std::optional<std::string> GetValue(View view, const std::string& name);

// The whole record of a variable (kEnv or kOpt) or application (kApp);
// nothing when the variable has no value and nothing of it is stored.
std::optional<Record> GetRecord(View view, const std::string& name);

// Every variable of a class (kEnv or kOpt), or those an application owns;
// every application with kApp.
std::vector<Record> List(View view, const std::optional<std::string>& app);

// 0 on success, -1 on failure, as the library's calls.
int SetValue(View view, const std::string& name, const std::string& value);
int DeleteApplication(const std::string& name);

// What a call came to: on failure, why, in the support library's words (may
// be empty); on success, a warning of the support library (mostly empty).
struct Outcome {
  bool done = false;
  std::string reason;
};
// Deletes a variable (kEnv or kOpt) and looks that its key is gone: the
// library reports success also for a delete that the store refused.
Outcome DeleteVariable(View view, const std::string& name);
// Saves the store to a REGEDIT4 file (KXsaveenv), or restores it from a
// file of any format (KXrestoreenv); `allow_empty` lets a replace empty the
// store from a file that holds no key.
Outcome SaveStore(const std::string& file, bool replace);
Outcome RestoreStore(const std::string& file, bool replace, bool allow_empty);
// What RestoreStore with the same arguments would change, changing
// nothing: the support library's JSON report (CompareRegistry) in
// `report`.
Outcome CompareStore(const std::string& file, bool replace, bool allow_empty,
                     std::string* report);

// The formats of a save file, as ConvertRegistryFile writes them.
enum class Format { kRegedit4, kVersion5, kJson };
// Writes the save file `source` (of any format) to `target` in `format`.
Outcome ConvertFile(const std::string& source, const std::string& target,
                    bool replace, Format format);

// The global directory, where the variable table lies: the value of
// KXIGLBL0000 (the store's, else the process environment's); empty when
// there is none.
std::string GlobalDirectory();

// KXloadenvtab, KXinitenvtab and KXlocalizeenvtab (nothing: a null
// argument, the library's default): 0, or -1 on failure.
int LoadTable(const std::string& control);
int InitTable();
int LocalizeTable(const std::optional<std::string>& language,
                  const std::optional<std::string>& source,
                  const std::optional<std::string>& target);

// Arms an asynchronous watch of a variable (or, without a name, of its
// class) that signals `event` once, on the next change. The library
// returns 0 also for a key the store lacks, whose watch never fires.
int ArmWatch(View view, const std::optional<std::string>& name, void* event);

}  // namespace kxtool
