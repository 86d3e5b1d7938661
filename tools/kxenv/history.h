// kxenv history, blame and revert: the store's change journal read and
// undone (history.cpp, revert.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "journal.h"
#include "output.h"

namespace CLI {
class App;
}

namespace kxtool {

struct Args;

// What history, blame and revert take besides NAME and --json.
struct HistoryOptions {
  std::optional<std::string> class_name;  // --class ENV|OPT|APP
  std::optional<int64_t> since;           // --since TIME (microseconds)
  std::optional<int64_t> until;           // --until TIME
  std::optional<std::string> user;        // --user USER
  std::optional<size_t> limit;            // --limit N
  std::vector<std::string> keep;          // --keep N|DAYSd, once or twice
  std::string to;                         // --to ID|TIME
  bool dry_run = false;                   // --dry-run
};

// The options of each command, added to its subcommand.
void AddHistoryOptions(CLI::App* command, HistoryOptions& options);
void AddBlameOptions(CLI::App* command, HistoryOptions& options);
void AddRevertOptions(CLI::App* command, HistoryOptions& options);

int RunHistory(const Args& args);
int RunBlame(const Args& args);
int RunRevert(const Args& args);

// A time as the commands take it (see the manual) in microseconds since
// 1970 UTC; nothing when the text is none.
std::optional<int64_t> ParseTime(const std::string& text);
// Adds --class C, which sets options.class_name.
void AddClassOption(CLI::App* command, HistoryOptions& options,
                    const char* help);
// The class key that a --class names: "ENV" (also for LCL and GBL), "OPT"
// or "APP"; nothing for another word.
std::optional<std::string> ClassKeyOf(const std::string& word);

// A stored value for people ("8080", [a, b], (none)) and for programs.
std::string ValueText(const StoredValue& value);
Json ValueJson(const StoredValue& value);
// "12 2026-05-01 10:00:00 CEST root kxenv[4242] on host", and for a
// fleet's change what it came from.
std::string EntryOrigin(const Entry& entry);

}  // namespace kxtool
