// Items from and into registry keys. A Global value is its text
// ("global/NAME"), or for a variable marked sensitive the stored scrambled
// bytes in hex ("sensitive/NAME"). A definition is every value of the
// variable key but Local, Global, TimeStamp and LastUser, as one JSON
// object (REG_SZ a string, REG_DWORD a number, REG_MULTI_SZ an array); an
// application is {"values": its values, "ENV": [...], "OPT": [...]}, its
// memberships sorted. Names in keys are folded as the library spells them
// in records (store_layout.h); the registry finds a key whatever its case.
#include "store.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "holders.h"
#include "kxwin/kxwin.h"
#include "store_layout.h"
#include "validate.h"

namespace kxsync {

namespace {

using nlohmann::json;
namespace layout = kx::layout;

// The agent's own state of one fleet.
std::string SyncKey(const std::string& fleet) {
  return std::string(layout::kSyncKey) + "\\" + fleet;
}

using Key = kx::UniqueKey;
using Handle = kx::UniqueHandle;

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

bool IsVariableValue(const std::string& name) {
  static const char* const kOwn[] = {layout::kLocal, layout::kGlobal,
                                     layout::kTimeStamp, layout::kLastUser};
  for (const char* own : kOwn) {
    if (strcasecmp(own, name.c_str()) == 0) return true;
  }
  return false;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

std::string Unhex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::vector<Value> ReadValues(HKEY key) {
  std::vector<Value> values;
  // Value names are longer than key names can be.
  std::string name(KXWIN_MAX_VALUE_NAME + 1, '\0');
  for (DWORD index = 0;; ++index) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = 0;
    if (RegEnumValueA(key, index, name.data(), &name_length, nullptr, &type,
                      nullptr, &size) != ERROR_SUCCESS) {
      break;
    }
    std::string data(size, '\0');
    name_length = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key, index, name.data(), &name_length, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()),
                      &size) != ERROR_SUCCESS) {
      break;
    }
    data.resize(size);
    values.push_back({name.substr(0, name_length), type, data});
  }
  return values;
}

std::vector<std::string> SubkeyNames(HKEY key) {
  std::vector<std::string> names;
  char name[KXWIN_MAX_KEY_NAME + 1];
  for (DWORD index = 0;
       RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
    names.push_back(name);
  }
  return names;
}

std::string Text(const std::string& data) {
  return data.substr(0, data.find('\0'));
}

json MultiText(const std::string& data) {
  json list = json::array();
  size_t at = 0;
  while (at < data.size() && data[at] != '\0') {
    size_t end = data.find('\0', at);
    if (end == std::string::npos) end = data.size();
    list.push_back(data.substr(at, end - at));
    at = end + 1;
  }
  return list;
}

// The values of a definition or application as JSON; registry types other
// than text, number and list do not travel.
json ValuesJson(const std::vector<Value>& values) {
  json object = json::object();
  for (const Value& value : values) {
    if (IsVariableValue(value.name)) continue;
    if (value.type == REG_SZ) {
      object[value.name] = Text(value.data);
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
      uint32_t number = 0;
      std::copy(value.data.begin(), value.data.end(),
                reinterpret_cast<char*>(&number));
      object[value.name] = number;
    } else if (value.type == REG_MULTI_SZ) {
      object[value.name] = MultiText(value.data);
    }
  }
  return object;
}

LSTATUS OpenIn(HANDLE transaction, const std::string& path, REGSAM access,
               Key& key) {
  return RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access,
                               key.out(), transaction, nullptr);
}

LSTATUS CreateIn(HANDLE transaction, const std::string& path, Key& key) {
  return RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                 0, KEY_ALL_ACCESS, nullptr, key.out(), nullptr,
                                 transaction, nullptr);
}

// Calls `body(NAME, key)` for each key below the class key `class_key`
// that can be opened, NAME folded as records spell it.
template <typename Body>
void ForEachKeyOf(HANDLE transaction, const char* class_key, Body body) {
  Key parent;
  if (OpenIn(transaction, class_key, KEY_READ, parent) != ERROR_SUCCESS) {
    return;
  }
  for (const std::string& spelled : SubkeyNames(parent.get())) {
    Key key;
    if (RegOpenKeyExA(parent.get(), spelled.c_str(), 0, KEY_READ, key.out()) ==
        ERROR_SUCCESS) {
      body(layout::FoldedName(spelled), key.get());
    }
  }
}

// A JSON item; text that is not UTF-8 cannot travel as JSON, and the item
// is kept, as near as JSON can spell it, with the reason.
void AddJson(Snapshot& snapshot, const std::string& key, const json& value) {
  try {
    snapshot.items[key] = value.dump();
  } catch (const json::exception&) {
    snapshot.items[key] =
        value.dump(-1, ' ', false, json::error_handler_t::replace);
    snapshot.unreadable[key] = "it holds text that is not UTF-8";
  }
}

void ReadVariable(const std::string& name, HKEY variable, Snapshot& snapshot) {
  std::vector<Value> values = ReadValues(variable);
  bool sensitive = false;
  for (const Value& value : values) {
    if (strcasecmp(value.name.c_str(), layout::kSensitive) == 0 &&
        value.data.size() == 4 && value.data != std::string(4, '\0')) {
      sensitive = true;
    }
  }
  if (sensitive) snapshot.sensitive.insert(name);
  for (const Value& value : values) {
    if (strcasecmp(value.name.c_str(), layout::kGlobal) != 0) continue;
    if (value.type == REG_BINARY) {
      snapshot.items["sensitive/" + name] = Hex(value.data);
    } else {
      snapshot.items["global/" + name] = Text(value.data);
    }
  }
  json definition = ValuesJson(values);
  if (!definition.empty()) AddJson(snapshot, "def/ENV/" + name, definition);
}

json Members(HKEY application, const char* class_key) {
  json names = json::array();
  Key members;
  if (RegOpenKeyExA(application, class_key, 0, KEY_READ, members.out()) !=
      ERROR_SUCCESS) {
    return names;
  }
  std::vector<std::string> list;
  for (const Value& value : ReadValues(members.get()))
    list.push_back(layout::FoldedName(value.name));
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  for (const std::string& name : list) names.push_back(name);
  return names;
}

void ReadClasses(HANDLE transaction, Snapshot& snapshot) {
  ForEachKeyOf(transaction, layout::kEnvKey,
               [&](const std::string& name, HKEY key) {
                 ReadVariable(name, key, snapshot);
               });
  ForEachKeyOf(transaction, layout::kOptKey,
               [&](const std::string& name, HKEY key) {
                 json definition = ValuesJson(ReadValues(key));
                 if (!definition.empty()) {
                   AddJson(snapshot, "def/OPT/" + name, definition);
                 }
               });
  ForEachKeyOf(transaction, layout::kAppKey,
               [&](const std::string& name, HKEY key) {
                 json object = {{"values", ValuesJson(ReadValues(key))},
                                {"ENV", Members(key, layout::kEnvClass)},
                                {"OPT", Members(key, layout::kOptClass)}};
                 AddJson(snapshot, "app/" + name, object);
               });
}

LSTATUS SetText(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

LSTATUS SetDword(HKEY key, const char* name, uint32_t number) {
  return RegSetValueExA(key, name, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&number), 4);
}

// Writes the values of a JSON object and deletes the key's other values
// (but a variable's own).
LSTATUS WriteValues(HKEY key, const json& object) {
  for (const Value& value : ReadValues(key)) {
    if (!IsVariableValue(value.name) && !object.contains(value.name)) {
      RegDeleteValueA(key, value.name.c_str());
    }
  }
  for (const auto& [name, value] : object.items()) {
    if (IsVariableValue(name)) continue;
    LSTATUS status = ERROR_SUCCESS;
    if (value.is_string()) {
      status = SetText(key, name.c_str(), value.get<std::string>());
    } else if (value.is_number_unsigned()) {
      status = SetDword(key, name.c_str(), value.get<uint32_t>());
    } else if (value.is_array()) {
      std::string data;
      for (const json& item : value) data += item.get<std::string>() + '\0';
      data += '\0';
      status = RegSetValueExA(key, name.c_str(), 0, REG_MULTI_SZ,
                              reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LSTATUS WriteMembers(HANDLE transaction, const std::string& path,
                     const json& names) {
  Key members;
  LSTATUS status = CreateIn(transaction, path, members);
  if (status != ERROR_SUCCESS) return status;
  for (const Value& value : ReadValues(members.get())) {
    RegDeleteValueA(members.get(), value.name.c_str());
  }
  for (const json& name : names) {
    status = SetText(members.get(), name.get<std::string>().c_str(), "");
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LSTATUS WriteGlobal(HANDLE transaction, const std::string& name,
                    const std::optional<std::string>& value, bool scrambled) {
  Key variable;
  std::string path = std::string(layout::kEnvKey) + "\\" + name;
  if (!value) {
    if (OpenIn(transaction, path, KEY_ALL_ACCESS, variable) != ERROR_SUCCESS) {
      return ERROR_SUCCESS;
    }
    LSTATUS status = RegDeleteValueA(variable.get(), layout::kGlobal);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
  }
  LSTATUS status = CreateIn(transaction, path, variable);
  if (status != ERROR_SUCCESS) return status;
  if (scrambled) {
    std::string bytes = Unhex(*value);
    status = RegSetValueExA(variable.get(), layout::kGlobal, 0, REG_BINARY,
                            reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
  } else {
    status = SetText(variable.get(), layout::kGlobal, *value);
  }
  if (status != ERROR_SUCCESS) return status;
  char user[98] = "";
  DWORD size = sizeof user;
  if (!GetUserNameA(user, &size)) user[0] = '\0';
  SetText(variable.get(), layout::kLastUser, user);
  return SetDword(variable.get(), layout::kTimeStamp,
                  static_cast<uint32_t>(std::time(nullptr)));
}

LSTATUS WriteDefinition(HANDLE transaction, const std::string& path,
                        const std::optional<std::string>& value) {
  Key variable;
  if (!value) {
    if (OpenIn(transaction, path, KEY_ALL_ACCESS, variable) != ERROR_SUCCESS) {
      return ERROR_SUCCESS;
    }
    return WriteValues(variable.get(), json::object());
  }
  LSTATUS status = CreateIn(transaction, path, variable);
  if (status != ERROR_SUCCESS) return status;
  return WriteValues(variable.get(), json::parse(*value));
}

LSTATUS WriteApplication(HANDLE transaction, const std::string& name,
                         const std::optional<std::string>& value) {
  std::string path = std::string(layout::kAppKey) + "\\" + name;
  if (!value) {
    Key apps;
    if (OpenIn(transaction, layout::kAppKey, KEY_ALL_ACCESS, apps) !=
        ERROR_SUCCESS) {
      return ERROR_SUCCESS;
    }
    RegDeleteTreeA(apps.get(), name.c_str());
    return ERROR_SUCCESS;
  }
  json object = json::parse(*value);
  Key app;
  LSTATUS status = CreateIn(transaction, path, app);
  if (status == ERROR_SUCCESS)
    status = WriteValues(app.get(), object["values"]);
  if (status == ERROR_SUCCESS)
    status = WriteMembers(transaction, path + "\\" + layout::kEnvClass,
                          object["ENV"]);
  if (status == ERROR_SUCCESS)
    status = WriteMembers(transaction, path + "\\" + layout::kOptClass,
                          object["OPT"]);
  return status;
}

LSTATUS WriteItem(HANDLE transaction, const LocalWrite& write) {
  const std::string& key = write.key;
  if (key.rfind("global/", 0) == 0) {
    return WriteGlobal(transaction, key.substr(7), write.value, false);
  }
  if (key.rfind("sensitive/", 0) == 0) {
    return WriteGlobal(transaction, key.substr(10), write.value, true);
  }
  if (key.rfind("def/ENV/", 0) == 0) {
    return WriteDefinition(transaction,
                           std::string(layout::kEnvKey) + "\\" + key.substr(8),
                           write.value);
  }
  if (key.rfind("def/OPT/", 0) == 0) {
    return WriteDefinition(transaction,
                           std::string(layout::kOptKey) + "\\" + key.substr(8),
                           write.value);
  }
  if (key.rfind("app/", 0) == 0) {
    return WriteApplication(transaction, key.substr(4), write.value);
  }
  return ERROR_INVALID_PARAMETER;
}

// The agreed value of an item, kept as "REVISION VALUE", or "REVISION"
// when it is a refused item this machine does not hold.
std::string AgreedText(const Agreed& agreed) {
  return std::to_string(agreed.revision) +
         (agreed.value ? " " + *agreed.value : "");
}

// "REVISION TEXT" back into its parts; the text may be missing.
int64_t SplitRevision(const std::string& text,
                      std::optional<std::string>& rest) {
  size_t space = text.find(' ');
  rest.reset();
  if (space != std::string::npos) rest = text.substr(space + 1);
  return std::atoll(text.c_str());
}

std::string RefusalText(const Refusal& refusal) {
  return std::to_string(refusal.revision) + " " + refusal.reason;
}

// Writes the entries of `after` that differ from `before` as values of
// `path`, one per key, and deletes those `after` no longer has.
template <typename Map, typename Same, typename Text>
LSTATUS WriteEntries(HANDLE transaction, const std::string& path,
                     const Map& before, const Map& after, Same same,
                     Text text) {
  Key key;
  LSTATUS status = CreateIn(transaction, path, key);
  if (status != ERROR_SUCCESS) return status;
  for (const auto& [name, entry] : after) {
    auto old = before.find(name);
    if (old != before.end() && same(old->second, entry)) continue;
    status = SetText(key.get(), name.c_str(), text(entry));
    if (status != ERROR_SUCCESS) return status;
  }
  for (const auto& [name, entry] : before) {
    if (!after.count(name)) RegDeleteValueA(key.get(), name.c_str());
  }
  return ERROR_SUCCESS;
}

// Refused items are kept under names fit for a log line: an item of etcd
// may have a name no value could carry.
Refusals Shown(const Refusals& refused) {
  Refusals shown;
  for (const auto& [key, refusal] : refused) {
    shown[ShownKey(key)] = refusal;
  }
  return shown;
}

LSTATUS WriteState(HANDLE transaction, const std::string& fleet,
                   const State& before, const State& after) {
  LSTATUS status = WriteEntries(
      transaction, SyncKey(fleet) + "\\Items", before.agreed, after.agreed,
      [](const Agreed& a, const Agreed& b) {
        return a.revision == b.revision && a.value == b.value;
      },
      AgreedText);
  if (status == ERROR_SUCCESS) {
    status = WriteEntries(
        transaction, SyncKey(fleet) + "\\Refused", Shown(before.refused),
        Shown(after.refused),
        [](const Refusal& a, const Refusal& b) {
          return a.revision == b.revision && a.reason == b.reason;
        },
        RefusalText);
  }
  if (status != ERROR_SUCCESS) return status;
  Key sync;
  status = CreateIn(transaction, SyncKey(fleet), sync);
  if (status != ERROR_SUCCESS) return status;
  return SetText(sync.get(), "Revision", std::to_string(after.revision));
}

std::string Reason(LSTATUS status) {
  return "store error " + std::to_string(status);
}

}  // namespace

bool ReadSnapshot(Snapshot& snapshot, std::string& error) {
  Handle transaction(CreateTransaction(
      nullptr, nullptr, KXWIN_TRANSACTION_READ_ONLY, 0, 0, 0, nullptr));
  if (transaction.get() == INVALID_HANDLE_VALUE) {
    error = Reason(static_cast<LSTATUS>(GetLastError()));
    return false;
  }
  snapshot = Snapshot();
  ReadClasses(transaction.get(), snapshot);
  return true;
}

bool ReadState(const std::string& fleet, State& state, std::string& error) {
  state = State();
  Key sync;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SyncKey(fleet).c_str(), 0,
                                 KEY_READ, sync.out());
  if (status == ERROR_FILE_NOT_FOUND) return true;  // never synced
  if (status != ERROR_SUCCESS) {
    error = Reason(status);
    return false;
  }
  for (const Value& value : ReadValues(sync.get())) {
    if (value.name == "Revision")
      state.revision = std::atoll(Text(value.data).c_str());
  }
  Key items;
  if (RegOpenKeyExA(sync.get(), "Items", 0, KEY_READ, items.out()) ==
      ERROR_SUCCESS) {
    for (const Value& value : ReadValues(items.get())) {
      Agreed& agreed = state.agreed[value.name];
      agreed.revision = SplitRevision(Text(value.data), agreed.value);
    }
  }
  Key refused;
  if (RegOpenKeyExA(sync.get(), "Refused", 0, KEY_READ, refused.out()) ==
      ERROR_SUCCESS) {
    for (const Value& value : ReadValues(refused.get())) {
      std::optional<std::string> reason;
      Refusal& refusal = state.refused[value.name];
      refusal.revision = SplitRevision(Text(value.data), reason);
      refusal.reason = reason.value_or("");
    }
  }
  return true;
}

bool Apply(const std::string& fleet, const std::vector<LocalWrite>& writes,
           const State& before, const State& after, std::string& error) {
  // The library's machine-wide mutex: the agent commits while holding it,
  // like every set, so that a reader under it sees a batch whole.
  Handle mutex(CreateMutexA(nullptr, FALSE, layout::kMutexName));
  // An abandoned mutex is owned all the same: its holder died.
  DWORD waited =
      mutex.get() ? WaitForSingleObject(mutex.get(), 10000) : WAIT_FAILED;
  bool owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  Handle transaction(CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
  LSTATUS status = transaction.get() == INVALID_HANDLE_VALUE
                       ? static_cast<LSTATUS>(GetLastError())
                       : ERROR_SUCCESS;
  // The store's journal records each write as this fleet's, with the etcd
  // revision of its item and the machine that published it; every way out
  // makes this thread's writes local again.
  struct LocalAgain {
    ~LocalAgain() { KxwinJournalSource(nullptr, 0, nullptr); }
  } local_again;
  for (const LocalWrite& write : writes) {
    if (status != ERROR_SUCCESS) break;
    auto agreed = after.agreed.find(write.key);
    KxwinJournalSource(
        fleet.c_str(),
        agreed != after.agreed.end() ? agreed->second.revision : after.revision,
        write.origin.empty() ? nullptr : write.origin.c_str());
    try {
      status = WriteItem(transaction.get(), write);
    } catch (const std::exception&) {
      status = ERROR_INVALID_DATA;  // a value this agent did not write
      error = "the value of " + write.key + " is not a definition";
    }
  }
  if (status == ERROR_SUCCESS) {
    status = WriteState(transaction.get(), fleet, before, after);
  }
  if (status == ERROR_SUCCESS && !CommitTransaction(transaction.get())) {
    status = static_cast<LSTATUS>(GetLastError());
  }
  if (owned) ReleaseMutex(mutex.get());
  if (status != ERROR_SUCCESS && error.empty()) error = Reason(status);
  return status == ERROR_SUCCESS;
}

bool ReadStatus(const std::string& fleet, Status& status) {
  Key sync;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SyncKey(fleet).c_str(), 0, KEY_READ,
                    sync.out()) != ERROR_SUCCESS) {
    return false;
  }
  for (const Value& value : ReadValues(sync.get())) {
    uint32_t number = 0;
    if (value.type == REG_DWORD && value.data.size() == 4) {
      std::copy(value.data.begin(), value.data.end(),
                reinterpret_cast<char*>(&number));
    }
    if (value.name == "Endpoint") status.endpoint = Text(value.data);
    if (value.name == "Conflicts") status.conflicts = number;
    if (value.name == "Resyncs") status.resyncs = number;
    if (value.name == "Agent") status.pid = number;
    if (value.name == "Validate") status.validate = number != 0;
  }
  Key unpublished;
  status.unpublished.clear();
  if (RegOpenKeyExA(sync.get(), "Unpublished", 0, KEY_READ,
                    unpublished.out()) == ERROR_SUCCESS) {
    for (const Value& value : ReadValues(unpublished.get())) {
      status.unpublished[value.name] = Text(value.data);
    }
  }
  return true;
}

void WriteStatus(const std::string& fleet, const Status& status) {
  Key sync;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SyncKey(fleet).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, sync.out(),
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  SetText(sync.get(), "Endpoint", status.endpoint);
  SetDword(sync.get(), "Conflicts", status.conflicts);
  SetDword(sync.get(), "Resyncs", status.resyncs);
  SetDword(sync.get(), "Agent", status.pid);
  SetDword(sync.get(), "Validate", status.validate ? 1 : 0);
  RegDeleteTreeA(sync.get(), "Unpublished");
  Key unpublished;
  if (RegCreateKeyExA(sync.get(), "Unpublished", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, unpublished.out(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const auto& [key, reason] : status.unpublished) {
    SetText(unpublished.get(), key.c_str(), reason);
  }
}

}  // namespace kxsync
