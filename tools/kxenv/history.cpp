// kxenv history and kxenv blame: the store's change journal, newest first,
// and the entry that set each value a variable holds now.
#include "history.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include "commands.h"
#include "store.h"
#include "store_layout.h"
#include "win32_extra.h"

namespace kxtool {
namespace {

namespace layout = kx::layout;
using Micro = std::chrono::microseconds;

bool SameWord(const std::string& a, const char* b) {
  return layout::FoldedName(a) == layout::FoldedName(b);
}

// ---- Times -----------------------------------------------------------------

// "2026-05-01T10:00:00.123456Z"
std::string UtcText(int64_t microseconds) {
  using namespace std::chrono;
  sys_time<Micro> when{Micro(microseconds)};
  sys_days day = floor<days>(when);
  year_month_day date{day};
  hh_mm_ss<Micro> clock{when - day};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ",
                static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
  return text;
}

// "Ns", "Nm", "Nh", "Nd": that long ago.
std::optional<int64_t> Ago(const std::string& text) {
  unsigned long long count = 0;
  char unit = 0, extra = 0;
  if (std::sscanf(text.c_str(), "%llu%c%c", &count, &unit, &extra) != 2) {
    return std::nullopt;
  }
  const char* units = "smhd";
  const int64_t seconds[] = {1, 60, 3600, 86400};
  const char* found = std::strchr(units, unit);
  if (!found || !unit) return std::nullopt;
  auto now = std::chrono::duration_cast<Micro>(
      std::chrono::system_clock::now().time_since_epoch());
  return now.count() -
         static_cast<int64_t>(count) * seconds[found - units] * 1000000;
}

// "YYYY-MM-DD[ HH:MM[:SS]]", with 'T' or ' ' between, in local time, or in
// UTC with a trailing 'Z' or " UTC".
std::optional<int64_t> Calendar(std::string text) {
  bool utc = false;
  for (const char* suffix : {"Z", " UTC"}) {
    size_t length = std::strlen(suffix);
    if (text.size() > length && text.ends_with(suffix)) {
      text.resize(text.size() - length);
      utc = true;
    }
  }
  std::tm when{};
  char separator = ' ';
  int used = 0;
  int fields =
      std::sscanf(text.c_str(), "%4d-%2d-%2d%n%c%2d:%2d%n:%2d%n", &when.tm_year,
                  &when.tm_mon, &when.tm_mday, &used, &separator, &when.tm_hour,
                  &when.tm_min, &used, &when.tm_sec, &used);
  bool whole = static_cast<size_t>(used) == text.size();
  if (!whole || fields < 3 || fields == 4 || fields == 5 ||
      (fields > 3 && separator != ' ' && separator != 'T')) {
    return std::nullopt;
  }
  using namespace std::chrono;
  year_month_day date{year(when.tm_year), month(when.tm_mon),
                      day(when.tm_mday)};
  if (!date.ok() || when.tm_hour > 23 || when.tm_min > 59 || when.tm_sec > 60) {
    return std::nullopt;
  }
  int64_t seconds;
  if (utc) {
    seconds = sys_days(date).time_since_epoch() / std::chrono::seconds(1) +
              when.tm_hour * 3600 + when.tm_min * 60 + when.tm_sec;
  } else {
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    when.tm_isdst = -1;
    seconds = std::mktime(&when);
  }
  return seconds * 1000000;
}

// ---- Values and entries ----------------------------------------------------

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

std::string Text(const std::string& bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

std::vector<std::string> Items(const std::string& bytes) {
  std::vector<std::string> items;
  for (size_t at = 0; at < bytes.size() && bytes[at];) {
    size_t end = std::min(bytes.find('\0', at), bytes.size());
    items.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return items;
}

bool IsNumber(const StoredValue& value) {
  return value.type == REG_DWORD && value.bytes.size() == 4;
}

uint32_t Number(const StoredValue& value) {
  uint32_t number = 0;
  std::memcpy(&number, value.bytes.data(), sizeof number);
  return number;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    default:
      return nullptr;
  }
}

Json TypeJson(uint32_t type) {
  const char* name = TypeName(type);
  return name ? Json(name) : Json(type);
}

std::string SourceText(const Entry& entry) {
  if (!entry.fleet) return "";
  std::string text = " (fleet " + *entry.fleet + ", revision " +
                     std::to_string(entry.revision);
  if (entry.origin) text += ", from " + *entry.origin;
  return text + ")";
}

std::string PlaceText(const Entry& entry) {
  Place place = PlaceOf(entry.key);
  std::string text = place.class_name.empty() ? "-" : place.class_name;
  if (!place.name.empty()) text += " " + place.name;
  return text + " " + entry.value_name;
}

Json EntryJson(const Entry& entry) {
  Place place = PlaceOf(entry.key);
  return Json{{"id", entry.id},
              {"time", UtcText(entry.time)},
              {"user", entry.user},
              {"uid", entry.uid},
              {"program", entry.program},
              {"pid", entry.pid},
              {"machine", entry.machine},
              {"class", place.class_name},
              {"name", place.name},
              {"value_name", entry.value_name},
              {"old", ValueJson(entry.old_value)},
              {"new", ValueJson(entry.new_value)},
              {"source", entry.fleet ? "fleet" : "local"},
              {"fleet", TextJson(entry.fleet)},
              {"revision", entry.fleet ? Json(entry.revision) : Json(nullptr)},
              {"origin", TextJson(entry.origin)}};
}

void PrintEntry(const Entry& entry, bool json) {
  if (json) return PrintJson(EntryJson(entry));
  std::cout << EntryOrigin(entry) << ": " << PlaceText(entry) << " "
            << ValueText(entry.old_value) << " -> "
            << ValueText(entry.new_value) << SourceText(entry) << '\n';
}

// ---- Selection -------------------------------------------------------------

// The keys a NAME may have entries under: its variable in ENV and OPT, its
// application with the application's membership keys, or those of one
// class.
std::vector<Filter> KeysOf(const std::string& name,
                           const std::optional<std::string>& class_key) {
  std::vector<Filter> keys;
  for (const char* key :
       {layout::kEnvClass, layout::kOptClass, layout::kAppClass}) {
    if (class_key && *class_key != key) continue;
    Filter filter;
    filter.key = std::string(key) + "\\" + name;
    filter.subtree = std::strcmp(key, layout::kAppClass) == 0;
    keys.push_back(filter);
  }
  return keys;
}

Filter Selection(const Args& args) {
  const HistoryOptions& options = args.history;
  Filter filter;
  if (options.class_name) {
    filter.key = *options.class_name;
    filter.subtree = true;
  }
  filter.since = options.since.value_or(0);
  filter.until = options.until.value_or(0);
  filter.user = options.user;
  return filter;
}

// The selected entries, newest first, at most `limit`.
std::string Collect(const Args& args, std::vector<Entry>* entries) {
  size_t limit = args.history.limit.value_or(SIZE_MAX);
  std::vector<Filter> filters{Selection(args)};
  if (args.name) {
    filters.clear();
    for (Filter keyed : KeysOf(*args.name, args.history.class_name)) {
      Filter filter = Selection(args);
      filter.key = keyed.key;
      filter.subtree = keyed.subtree;
      filters.push_back(filter);
    }
  }
  for (const Filter& filter : filters) {
    size_t read = 0;
    std::string trouble = ReadJournal(filter, [&](const Entry& entry) {
      entries->push_back(entry);
      return ++read < limit;
    });
    if (!trouble.empty()) return trouble;
  }
  std::sort(entries->begin(), entries->end(),
            [](const Entry& a, const Entry& b) { return a.id > b.id; });
  if (entries->size() > limit) entries->resize(limit);
  return "";
}

// "N" entries or "Nd" days.
struct Bound {
  uint32_t number = 0;
  bool days = false;
};

std::optional<Bound> ParseBound(const std::string& text) {
  unsigned long number = 0;
  char unit = 0, extra = 0;
  int fields = std::sscanf(text.c_str(), "%lu%c%c", &number, &unit, &extra);
  bool days = fields == 2 && unit == 'd';
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      (fields != 1 && !days) || number > UINT32_MAX ||
      (days && number > 36500)) {
    return std::nullopt;
  }
  return Bound{static_cast<uint32_t>(number), days};
}

std::string CheckBound(const std::string& text) {
  return ParseBound(text) ? ""
                          : "a number of entries (100000) or of days (90d, "
                            "at most 36500d) is expected, not " +
                                text;
}

// The bounds given, the others as the store has them.
int Keep(const std::vector<std::string>& texts) {
  JournalState state;
  std::string trouble = ReadJournalState(&state);
  Bounds keep = state.keep;
  for (const std::string& text : texts) {
    Bound bound = *ParseBound(text);
    (bound.days ? keep.days : keep.entries) = bound.number;
  }
  if (trouble.empty()) trouble = SetJournalBounds(keep);
  if (!trouble.empty()) {
    std::string store = StoreTrouble(true);
    return Fail("cannot set what the journal keeps: " +
                (store.empty() ? trouble : store));
  }
  Tell("the journal keeps the last " + std::to_string(keep.entries) +
       " entries or those of the last " + std::to_string(keep.days) +
       " days, whichever are more");
  return kDone;
}

std::string CheckTime(const std::string& text) {
  return ParseTime(text) ? ""
                         : "a time such as 2026-05-01, \"2026-05-01 10:00\", "
                           "@1777630000 or 2h (ago) is expected, not " +
                               text;
}

std::string CheckClass(const std::string& text) {
  return ClassKeyOf(text) ? "" : "ENV, OPT or APP is expected, not " + text;
}

}  // namespace

std::optional<int64_t> ParseTime(const std::string& text) {
  if (text.size() > 1 && text[0] == '@') {
    char* end = nullptr;
    long long seconds = std::strtoll(text.c_str() + 1, &end, 10);
    if (*end || seconds < 0) return std::nullopt;
    return static_cast<int64_t>(seconds) * 1000000;
  }
  if (auto ago = Ago(text)) return ago;
  return Calendar(text);
}

void AddClassOption(CLI::App* command, HistoryOptions& options,
                    const char* help) {
  command
      ->add_option_function<std::string>(
          "--class",
          [&options](const std::string& word) {
            options.class_name = ClassKeyOf(word);
          },
          help)
      ->check(CLI::Validator(CheckClass, "C", "class"));
}

std::optional<std::string> ClassKeyOf(const std::string& word) {
  for (const char* view : {layout::kEnvClass, "LCL", "GBL"}) {
    if (SameWord(word, view)) return layout::kEnvClass;
  }
  for (const char* key : {layout::kOptClass, layout::kAppClass}) {
    if (SameWord(word, key)) return key;
  }
  return std::nullopt;
}

Place PlaceOf(const std::string& key) {
  size_t split = key.find('\\');
  std::string first = key.substr(0, split);
  for (const char* class_key :
       {layout::kEnvClass, layout::kOptClass, layout::kAppClass}) {
    if (SameWord(first, class_key) && split != std::string::npos) {
      return {class_key, key.substr(split + 1)};
    }
  }
  return {"", key};
}

std::string ValueText(const StoredValue& value) {
  if (!value.present) return "(none)";
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
    return Quoted(Text(value.bytes));
  }
  if (IsNumber(value)) return std::to_string(Number(value));
  if (value.type == REG_MULTI_SZ) {
    std::string list;
    for (const std::string& item : Items(value.bytes)) {
      list += (list.empty() ? "" : ", ") + Quoted(item);
    }
    return "[" + list + "]";
  }
  return "(binary, " + std::to_string(value.bytes.size()) + " bytes)";
}

Json ValueJson(const StoredValue& value) {
  if (!value.present) return nullptr;
  Json json{{"type", TypeJson(value.type)}};
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
    json["value"] = Text(value.bytes);
  } else if (IsNumber(value)) {
    json["value"] = Number(value);
  } else if (value.type == REG_MULTI_SZ) {
    json["value"] = Items(value.bytes);
  } else {
    json["hex"] = Hex(value.bytes);
  }
  return json;
}

std::string EntryOrigin(const Entry& entry) {
  std::string time = LocalTime(static_cast<uint32_t>(entry.time / 1000000));
  return std::to_string(entry.id) + " " + time + " " + entry.user + " " +
         entry.program + "[" + std::to_string(entry.pid) + "] on " +
         entry.machine;
}

void AddHistoryOptions(CLI::App* command, HistoryOptions& options) {
  AddClassOption(command, options,
                 "Only this class: ENV (also LCL, GBL), OPT or APP");
  command
      ->add_option_function<std::string>(
          "--since",
          [&options](const std::string& text) {
            options.since = ParseTime(text);
          },
          "Only changes at or after TIME")
      ->check(CLI::Validator(CheckTime, "TIME", "time"));
  command
      ->add_option_function<std::string>(
          "--until",
          [&options](const std::string& text) {
            options.until = ParseTime(text);
          },
          "Only changes at or before TIME")
      ->check(CLI::Validator(CheckTime, "TIME", "time"));
  command->add_option_function<std::string>(
      "--user", [&options](const std::string& user) { options.user = user; },
      "Only changes this user made");
  command
      ->add_option_function<size_t>(
          "--limit", [&options](size_t limit) { options.limit = limit; },
          "At most N changes, the newest")
      ->check(CLI::PositiveNumber);
  command
      ->add_option("--keep", options.keep,
                   "Keep N entries, or those of DAYSd days, whichever are "
                   "more; nothing is listed")
      ->expected(1, 2)
      ->check(CLI::Validator(CheckBound, "N|DAYSd", "bound"));
}

void AddBlameOptions(CLI::App* command, HistoryOptions& options) {
  AddClassOption(command, options, "Only this class: ENV or OPT");
}

int RunHistory(const Args& args) {
  if (!args.history.keep.empty()) return Keep(args.history.keep);
  std::vector<Entry> entries;
  std::string trouble = Collect(args, &entries);
  if (!trouble.empty()) {
    std::string store = StoreTrouble(false);
    return Fail("cannot read the history: " +
                (store.empty() ? trouble : store));
  }
  for (const Entry& entry : entries) PrintEntry(entry, args.json);
  return kDone;
}

namespace {

struct Blamed {
  std::string name;
  const char* value_name;
  std::optional<std::string> value;
  bool sensitive;
};

// The values each variable of a class holds now.
std::vector<Blamed> CurrentValues(View view) {
  std::vector<Blamed> values;
  for (const Record& record : List(view, std::nullopt)) {
    auto add = [&](const char* value_name,
                   const std::optional<std::string>& value, bool secret) {
      if (value) values.push_back({record.name, value_name, value, secret});
    };
    add(layout::kDefault, record.defaultValue, false);
    add(layout::kLocal, record.localValue, record.sensitive);
    add(layout::kGlobal, record.globalValue, record.sensitive);
  }
  return values;
}

// The newest entry of each value of a class's variables, by key and
// folded value name.
std::string NewestEntries(const char* class_key,
                          std::map<std::string, Entry>* newest) {
  Filter filter;
  filter.key = class_key;
  filter.subtree = true;
  return ReadJournal(filter, [&](const Entry& entry) {
    newest->try_emplace(entry.key + '\n' + layout::FoldedName(entry.value_name),
                        entry);
    return true;
  });
}

void PrintBlamed(const char* class_key, const Blamed& blamed,
                 const Entry* entry, bool json) {
  std::string shown = blamed.sensitive ? "(sensitive)" : *blamed.value;
  if (json) {
    PrintJson({{"class", class_key},
               {"name", blamed.name},
               {"value_name", blamed.value_name},
               {"value", blamed.sensitive ? Json(nullptr) : Json(shown)},
               {"entry", entry ? EntryJson(*entry) : Json(nullptr)}});
    return;
  }
  std::cout << class_key << " " << blamed.name << " " << blamed.value_name
            << "=" << shown << "  "
            << (entry ? EntryOrigin(*entry) + SourceText(*entry)
                      : std::string("(no entry: older than the journal)"))
            << '\n';
}

}  // namespace

int RunBlame(const Args& args) {
  for (View view : {View::kEnv, View::kOpt}) {
    const char* class_key =
        view == View::kEnv ? layout::kEnvClass : layout::kOptClass;
    if (args.history.class_name && *args.history.class_name != class_key) {
      continue;
    }
    std::map<std::string, Entry> newest;
    std::string trouble = NewestEntries(class_key, &newest);
    if (!trouble.empty()) {
      std::string store = StoreTrouble(false);
      return Fail("cannot read the history: " +
                  (store.empty() ? trouble : store));
    }
    for (const Blamed& blamed : CurrentValues(view)) {
      std::string key = std::string(class_key) + "\\" + blamed.name + '\n' +
                        layout::FoldedName(blamed.value_name);
      auto found = newest.find(key);
      PrintBlamed(class_key, blamed,
                  found == newest.end() ? nullptr : &found->second, args.json);
    }
  }
  return kDone;
}

}  // namespace kxtool
