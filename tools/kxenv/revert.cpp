// kxenv revert NAME --to ID|TIME: puts a variable's values back as they
// were after entry ID and the rest of its transaction (or after the last
// entry at or before TIME).
//
// The journal holds, for each change after that point, the value before
// it; the oldest such change of each value tells what the value was then.
// Values stored scrambled are put back as stored, never unscrambled. The
// revert is written as a set is: in one transaction under the machine-wide
// mutex, stamped with LastUser and TimeStamp, so the store journals it, the
// library's caches hear of it and the fleet agent publishes it like any set
// (or, while etcd cannot be reached, once it can). A variable that had no
// value at the point loses its key; one that was deleted comes back, with
// its place in its application's membership key.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <vector>

#include "commands.h"
#include "history.h"
#include "holders.h"
#include "store.h"
#include "store_layout.h"
#include "win32_extra.h"

namespace kxtool {
namespace {

namespace layout = kx::layout;

// A value to put back: its name as written and what it held at the point.
struct Change {
  std::string name;
  StoredValue now;
  StoredValue then;
};
using Changes = std::map<std::string, Change>;  // by folded value name

// The key of a revert below the store key, and its values.
struct Target {
  std::string key;  // "ENV\NAME"
  Changes changes;
};

std::string Folded(const std::string& name) {
  return layout::FoldedName(name);
}

// The last id of the transaction that wrote entry `id` (`id` when there is
// no such entry): a transaction's entries share their time and process.
std::string TransactionEnd(int64_t id, int64_t* point) {
  *point = id;
  std::optional<Entry> found;
  Filter filter;
  filter.before = id + 1;
  std::string trouble = ReadJournal(filter, [&](const Entry& entry) {
    if (entry.id == id) found = entry;
    return false;
  });
  if (!trouble.empty() || !found) return trouble;
  filter = Filter();
  filter.since = filter.until = found->time;
  return ReadJournal(filter, [&](const Entry& entry) {
    if (entry.pid == found->pid && entry.machine == found->machine) {
      *point = std::max(*point, entry.id);
    }
    return true;
  });
}

// The id whose state a --to names: the end of entry ID's transaction, or
// the newest entry at or before a time (0 when there is none).
std::string PointOf(const std::string& to, int64_t* point) {
  if (to.find_first_not_of("0123456789") == std::string::npos) {
    return TransactionEnd(std::stoll(to), point);
  }
  Filter filter;
  filter.until = *ParseTime(to);
  *point = 0;
  return ReadJournal(filter, [&](const Entry& entry) {
    *point = entry.id;
    return false;
  });
}

// The values of `key` as they were at `point`, with `only` (folded) the
// one value name to look at, if any.
std::string ValuesThen(const std::string& key, int64_t point,
                       const std::string& only, Changes* changes) {
  Filter filter;
  filter.key = key;
  return ReadJournal(filter, [&](const Entry& entry) {
    if (entry.id <= point) return false;
    std::string name = Folded(entry.value_name);
    if (only.empty() || name == only) {
      Change& change = (*changes)[name];  // the older entry wins
      change.name = entry.value_name;
      change.then = entry.old_value;
    }
    return true;
  });
}

// Win32's longest value name, without its terminator.
constexpr DWORD kMaxValueName = 16383;

std::string FullPath(const std::string& key) {
  return std::string(layout::kStoreKey) + "\\" + key;
}

// What the key holds now, by folded value name.
std::map<std::string, StoredValue> ValuesNow(const std::string& key) {
  std::map<std::string, StoredValue> values;
  kx::UniqueKey open;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FullPath(key).c_str(), 0, KEY_READ,
                    open.out()) != ERROR_SUCCESS) {
    return values;
  }
  for (DWORD index = 0;; ++index) {
    char name[kMaxValueName + 1];
    DWORD length = sizeof name, type = 0, size = 0;
    if (RegEnumValueA(open.get(), index, name, &length, nullptr, &type, nullptr,
                      &size) != ERROR_SUCCESS) {
      break;
    }
    std::string bytes(size, '\0');
    length = sizeof name;
    if (RegEnumValueA(open.get(), index, name, &length, nullptr, &type,
                      reinterpret_cast<BYTE*>(bytes.data()),
                      &size) != ERROR_SUCCESS) {
      break;
    }
    bytes.resize(size);
    values[Folded(name)] = {true, type, bytes};
  }
  return values;
}

// Drops the changes whose value is as it was; true when none is left.
bool DropUnchanged(Target& target) {
  std::map<std::string, StoredValue> now = ValuesNow(target.key);
  for (auto change = target.changes.begin(); change != target.changes.end();) {
    auto found = now.find(change->first);
    if (found != now.end()) change->second.now = found->second;
    change = change->second.now == change->second.then
                 ? target.changes.erase(change)
                 : std::next(change);
  }
  return target.changes.empty();
}

// True when the variable holds nothing but stamps once the changes are
// made: then its key goes.
bool LeftEmpty(const Target& target) {
  for (const auto& [name, value] : ValuesNow(target.key)) {
    auto change = target.changes.find(name);
    bool kept = change == target.changes.end() || change->second.then.present;
    if (kept && name != Folded(layout::kLastUser) &&
        name != Folded(layout::kTimeStamp)) {
      return false;
    }
  }
  for (const auto& [name, change] : target.changes) {
    if (change.then.present) return false;
  }
  return true;
}

// The text of an App value, when it names an application.
std::optional<std::string> OwnerOf(const StoredValue& app) {
  if (!app.present || app.type != REG_SZ) return std::nullopt;
  std::string name = app.bytes.substr(0, app.bytes.find('\0'));
  if (!layout::IsKeyNameText(name.c_str())) return std::nullopt;
  return Folded(name);
}

// The variable's entries in the membership keys of the applications that
// own it at the point and now, as they were at the point.
std::vector<Target> Memberships(const std::string& class_key,
                                const std::string& name, const Target& variable,
                                int64_t point) {
  std::map<std::string, StoredValue> now = ValuesNow(variable.key);
  std::string app = Folded(layout::kApp);
  auto then = variable.changes.find(app);
  std::vector<std::optional<std::string>> owners = {
      OwnerOf(then != variable.changes.end() ? then->second.then : now[app]),
      OwnerOf(now[app])};
  if (owners[0] == owners[1]) owners.pop_back();
  std::vector<Target> memberships;
  for (const std::optional<std::string>& owner : owners) {
    if (!owner) continue;
    Target membership{
        std::string(layout::kAppClass) + "\\" + *owner + "\\" + class_key, {}};
    if (ValuesThen(membership.key, point, Folded(name), &membership.changes)
            .empty() &&
        !DropUnchanged(membership)) {
      memberships.push_back(std::move(membership));
    }
  }
  return memberships;
}

void PrintChanges(const Target& target) {
  Place place = PlaceOf(target.key);
  for (const auto& [folded, change] : target.changes) {
    std::cout << place.class_name << " " << place.name << " " << change.name
              << " " << ValueText(change.now) << " -> "
              << ValueText(change.then) << '\n';
  }
}

// ---- Writing ---------------------------------------------------------------

LSTATUS Put(HKEY key, const Change& change) {
  if (!change.then.present) {
    LSTATUS status = RegDeleteValueA(key, change.name.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
  }
  return RegSetValueExA(key, change.name.c_str(), 0, change.then.type,
                        reinterpret_cast<const BYTE*>(change.then.bytes.data()),
                        static_cast<DWORD>(change.then.bytes.size()));
}

// The stamps of a set.
LSTATUS Stamp(HKEY key) {
  char user[98];
  DWORD size = sizeof user;
  if (!GetUserNameA(user, &size)) std::strcpy(user, "unknown");
  DWORD now = static_cast<DWORD>(std::time(nullptr));
  LSTATUS status = RegSetValueExA(key, layout::kLastUser, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(user),
                                  static_cast<DWORD>(std::strlen(user) + 1));
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExA(key, layout::kTimeStamp, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&now), sizeof now);
}

LSTATUS WriteTarget(HANDLE transaction, const Target& target, bool stamp) {
  if (stamp && LeftEmpty(target)) {
    kx::UniqueKey store;
    LSTATUS status = RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE,
                                           layout::kStoreKey, 0, KEY_ALL_ACCESS,
                                           store.out(), transaction, nullptr);
    return status == ERROR_SUCCESS
               ? RegDeleteTreeA(store.get(), target.key.c_str())
               : status;
  }
  kx::UniqueKey key;
  LSTATUS status = RegCreateKeyTransactedA(
      HKEY_LOCAL_MACHINE, FullPath(target.key).c_str(), 0, nullptr, 0,
      KEY_ALL_ACCESS, nullptr, key.out(), nullptr, transaction, nullptr);
  for (const auto& [folded, change] : target.changes) {
    if (status == ERROR_SUCCESS) status = Put(key.get(), change);
  }
  if (status == ERROR_SUCCESS && stamp) status = Stamp(key.get());
  return status;
}

// Writes the variable (stamped, as a set) and its membership in one
// transaction under the machine-wide mutex, as every set is written.
LSTATUS Write(const Target& variable, const std::vector<Target>& members) {
  kx::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, layout::kMutexName));
  if (!mutex) return static_cast<LSTATUS>(GetLastError());
  DWORD waited = WaitForSingleObject(mutex.get(), INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    return static_cast<LSTATUS>(GetLastError());
  }
  kx::UniqueHandle transaction(
      CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
  LSTATUS status = transaction.get() == INVALID_HANDLE_VALUE
                       ? static_cast<LSTATUS>(GetLastError())
                       : WriteTarget(transaction.get(), variable, true);
  for (const Target& member : members) {
    if (status == ERROR_SUCCESS) {
      status = WriteTarget(transaction.get(), member, false);
    }
  }
  if (status == ERROR_SUCCESS && !CommitTransaction(transaction.get())) {
    status = static_cast<LSTATUS>(GetLastError());
  }
  ReleaseMutex(mutex.get());
  return status;
}

int Failed(const std::string& what, const std::string& trouble) {
  std::string store = StoreTrouble(false);
  return Fail(what + ": " + (store.empty() ? trouble : store));
}

}  // namespace

void AddRevertOptions(CLI::App* command, HistoryOptions& options) {
  AddClassOption(command, options,
                 "The variable's class: ENV (default; also LCL, GBL) or OPT");
  command
      ->add_option("--to", options.to,
                   "The entry (its id) or the time (TIME) to go back to")
      ->required()
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            bool id = !text.empty() && text.size() <= 18 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
            return id || ParseTime(text)
                       ? ""
                       : "an entry's id or a time is expected, not " + text;
          },
          "ID|TIME", "point"));
  command->add_flag("--dry-run", options.dry_run,
                    "Only print what would be put back");
}

int RunRevert(const Args& args) {
  std::string class_key = args.history.class_name.value_or(layout::kEnvClass);
  if (class_key == layout::kAppClass) {
    return Fail("revert puts a variable back: --class ENV or OPT");
  }
  const std::string& name = *args.name;
  if (!layout::IsKeyNameText(name.c_str())) {
    return Fail("no variable can be called " + name);
  }
  JournalState state;
  int64_t point = 0;
  std::string trouble = ReadJournalState(&state);
  if (trouble.empty()) trouble = PointOf(args.history.to, &point);
  if (!trouble.empty()) return Failed("cannot read the history", trouble);
  if (point < state.pruned) {
    return Fail("the journal no longer reaches back to entry " +
                std::to_string(point) + ": entries up to " +
                std::to_string(state.pruned) + " are forgotten");
  }
  Target variable{class_key + "\\" + Folded(name), {}};
  trouble = ValuesThen(variable.key, point, "", &variable.changes);
  if (!trouble.empty()) return Failed("cannot read the history", trouble);
  std::vector<Target> members = Memberships(class_key, name, variable, point);
  if (DropUnchanged(variable) && members.empty()) {
    Tell(name + " is as it was after entry " + std::to_string(point) +
         ": nothing to put back");
    return kDone;
  }
  LSTATUS status =
      args.history.dry_run ? ERROR_SUCCESS : Write(variable, members);
  if (status != ERROR_SUCCESS) {
    std::string store = StoreTrouble(true);
    return Fail("cannot put " + name + " back: " +
                (store.empty() ? "error " + std::to_string(status) : store));
  }
  PrintChanges(variable);
  for (const Target& member : members) PrintChanges(member);
  return kDone;
}

}  // namespace kxtool
