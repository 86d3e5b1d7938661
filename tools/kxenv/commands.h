// The subcommands. Each is a function from the parsed arguments to the
// exit status (0 done, 1 failed); main.cpp registers each with one call
// that names the arguments it takes, so that a new subcommand is one
// function here and one call there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history.h"
#include "variables.h"

namespace kxtool {

// Exit statuses; diff and restore --dry-run answer as diff does: 0 the
// same, 1 (kDiffers) different, 2 (kUsage) trouble.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kDiffers = 1;
inline constexpr int kUsage = 2;

// Everything a command line can say; each command reads what it takes.
struct Args {
  std::optional<std::string> name;      // NAME
  std::string value;                    // VALUE
  std::string application;              // APP (del-app)
  std::optional<std::string> app;       // --app APP (list, save)
  std::string file;                     // FILE
  std::string control;                  // CONTROL (load-table)
  std::optional<std::string> language;  // [LANGUAGE] (localize)
  std::optional<std::string> source;    // --source FILE (localize)
  std::optional<std::string> target;    // --target FILE (localize)
  bool local = false;
  bool global = false;
  bool opt = false;
  bool replace = false;
  bool allow_empty = false;       // --allow-empty (restore, diff)
  bool dry_run = false;           // --dry-run (restore)
  std::string format = "4";       // --format 4|5|json (save)
  std::vector<std::string> exec;  // --exec CMD [ARG...] (watch)
  std::optional<int> coalesce;    // --coalesce MS (watch)
  bool json = false;
  bool long_form = false;  // --long (list)
  HistoryOptions history;  // history, blame, revert
};

// The view that --local, --global and --opt choose (the environment class
// by default).
View ChosenView(const Args& args);

int RunGet(const Args& args);
int RunShow(const Args& args);
int RunSet(const Args& args);
int RunDel(const Args& args);
int RunList(const Args& args);
int RunApps(const Args& args);
int RunDelApp(const Args& args);
int RunSave(const Args& args);
int RunRestore(const Args& args);
int RunDiff(const Args& args);
int RunWatch(const Args& args);
int RunLoadTable(const Args& args);
int RunInitTable(const Args& args);
int RunLocalize(const Args& args);

}  // namespace kxtool
