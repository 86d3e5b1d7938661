// The store's change journal as the tool sees it: entries copied out of
// the store (platform/journal_<platform>.cpp), and where in the store's
// layout each one lies.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kxtool {

// A value as stored: its registry type and bytes; absent when there was
// none.
struct StoredValue {
  bool present = false;
  uint32_t type = 0;
  std::string bytes;
  bool operator==(const StoredValue&) const = default;
};

struct Entry {
  int64_t id = 0;
  int64_t time = 0;  // microseconds since 1970-01-01 UTC
  std::string user;
  uint32_t uid = 0;
  std::string program;
  uint32_t pid = 0;
  std::string machine;
  std::string key;  // below the store key, folded ("ENV\NAME")
  std::string value_name;
  StoredValue old_value;
  StoredValue new_value;
  std::optional<std::string> fleet;  // none: a local change
  int64_t revision = 0;
  std::optional<std::string> origin;
};

// Which entries to read; empty fields select everything.
struct Filter {
  std::optional<std::string> key;  // a key below the store key
  bool subtree = false;            // with it, the keys below it
  int64_t before = 0;              // ids below this one
  int64_t since = 0;               // times (microseconds) from this one
  int64_t until = 0;               // ... up to this one
  std::optional<std::string> user;
};

struct Bounds {
  uint32_t entries = 0;
  uint32_t days = 0;
};

struct JournalState {
  Bounds keep;
  int64_t oldest = 0;  // ids; 0: no entry
  int64_t newest = 0;
  int64_t pruned = 0;  // the greatest id forgotten so far
};

// Each reads or changes the journal, returning why it could not ("" when
// it could).
// Calls `each` with the entries the filter selects, newest first, until it
// returns false.
std::string ReadJournal(const Filter& filter,
                        const std::function<bool(const Entry&)>& each);
std::string ReadJournalState(JournalState* state);
// Keeps `keep.entries` entries or `keep.days` days, whichever are more,
// and forgets the others now.
std::string SetJournalBounds(const Bounds& keep);

// Where an entry's key lies: its class key ("ENV", "OPT", "APP"; empty for
// the store key itself) and the name below it ("KXA_PORT", "KXA\ENV").
struct Place {
  std::string class_name;
  std::string name;
};
Place PlaceOf(const std::string& key);

}  // namespace kxtool
