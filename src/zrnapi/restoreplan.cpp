// Restoring a key list, and saying what a restore would change.
//
// Both read the target's subtree inside one transaction, work out the
// subtree as the restore leaves it, and compare the two. The restore
// starts from the target emptied (a replace) or from the store as it is (a
// merge); then every key of the file is made, with the keys between it and
// the target, its values are set, and a value marked for removal goes.
// Keys and values are compared without regard to the case of their names,
// as the registry compares them, so a file that spells a name otherwise
// changes nothing there. A restore writes exactly the changes and commits;
// a comparison reports them and writes nothing. So restoring what the
// store holds already writes nothing, and no watch fires.
//
// A set of a text type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) without its
// final zero stores it with one, since Windows does so when the byte after
// the data is zero, which the restore always supplies: the file's value is
// compared as it will be stored.
#include <map>
#include <set>

#include "savefile.h"

namespace zrnapi {
namespace {

// A subtree: each key by its path, each value by its name, as first
// spelled.
using Values = std::map<std::string, ValueEntry, NoCaseLess>;
using Tree = std::map<std::string, Values, NoCaseLess>;

// One difference: a value added, changed or removed ('+', '~', '-'), or a
// whole key added or removed (no values on either side).
struct Change {
  char kind;
  const std::string* path;
  const ValueEntry* before;  // null for a key, and for an added value
  const ValueEntry* after;   // null for a key, and for a removed value
};

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A value as a set stores it.
ValueEntry Stored(const ValueEntry& value) {
  ValueEntry stored = value;
  if (IsString(value.type) && !value.data.empty() && value.data.back() != 0) {
    stored.data.push_back(0);
  }
  return stored;
}

Tree ToTree(const KeyList& keys) {
  Tree tree;
  for (const KeyEntry& key : keys) {
    Values& values = tree[key.path];
    for (const ValueEntry& value : key.values)
      values.emplace(value.name, value);
  }
  return tree;
}

// The subtree at `target` as the transaction sees it; empty when there is
// no such key.
Tree ReadStore(const char* function, const std::string& target,
               HANDLE transaction) {
  kx::UniqueKey key;
  LSTATUS status =
      RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, target.c_str(), 0, KEY_READ,
                            key.out(), transaction, nullptr);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  Check(status, function + (": cannot open " + KeyName(target)));
  KeyList keys;
  ReadTree(function, key.get(), target, transaction, &keys);
  return ToTree(keys);
}

void ApplyFileKey(const std::string& target, const KeyEntry& key, Tree* tree) {
  // The keys from the target down to this one; each may be new.
  for (size_t end = target.size(); end != std::string::npos;
       end = key.path.find('\\', end + 1)) {
    tree->try_emplace(key.path.substr(0, end));
  }
  Values& values = (*tree)[key.path];
  for (const ValueEntry& value : key.values) {
    if (value.remove) {
      values.erase(value.name);
      continue;
    }
    auto [held, added] = values.try_emplace(value.name, Stored(value));
    if (!added) {
      held->second.type = value.type;
      held->second.data = Stored(value).data;
    }
  }
}

// The subtree as the restore leaves it.
Tree Restored(const std::string& target, const Tree& store, const KeyList& keys,
              bool replace) {
  Tree tree;
  if (replace) {
    auto kept = store.find(target);  // the target stays, emptied
    tree[kept == store.end() ? target : kept->first];
  } else {
    tree = store;
  }
  tree.try_emplace(target);
  for (const KeyEntry& key : keys) ApplyFileKey(target, key, &tree);
  return tree;
}

bool SameValue(const ValueEntry& a, const ValueEntry& b) {
  return a.type == b.type && a.data == b.data;
}

// Each value of a key that comes or goes, after the key itself.
void WholeKey(char kind, const Tree::value_type& key,
              std::vector<Change>* changes) {
  changes->push_back({kind, &key.first, nullptr, nullptr});
  for (const auto& [name, value] : key.second) {
    changes->push_back({kind, &key.first, kind == '-' ? &value : nullptr,
                        kind == '+' ? &value : nullptr});
  }
}

void CompareValues(const std::string& path, const Values& before,
                   const Values& after, std::vector<Change>* changes) {
  NoCaseLess less;
  auto b = before.begin(), a = after.begin();
  while (b != before.end() || a != after.end()) {
    if (a == after.end() || (b != before.end() && less(b->first, a->first))) {
      changes->push_back({'-', &path, &b++->second, nullptr});
    } else if (b == before.end() || less(a->first, b->first)) {
      changes->push_back({'+', &path, nullptr, &a++->second});
    } else {
      if (!SameValue(b->second, a->second)) {
        changes->push_back({'~', &path, &b->second, &a->second});
      }
      ++b, ++a;
    }
  }
}

// What differs between the two subtrees, in the order of the keys' paths.
std::vector<Change> Compare(const Tree& before, const Tree& after) {
  std::vector<Change> changes;
  NoCaseLess less;
  auto b = before.begin(), a = after.begin();
  while (b != before.end() || a != after.end()) {
    if (a == after.end() || (b != before.end() && less(b->first, a->first))) {
      WholeKey('-', *b++, &changes);
    } else if (b == before.end() || less(a->first, b->first)) {
      WholeKey('+', *a++, &changes);
    } else {
      CompareValues(b->first, b->second, a->second, &changes);
      ++b, ++a;
    }
  }
  return changes;
}

std::string Below(const std::string& target, const std::string& path) {
  return path.size() > target.size() ? path.substr(target.size() + 1) : "";
}

// Deletes each key that goes with its subtree, once: a key below another
// one that goes goes with it.
void DeleteKeys(const std::string& target, const std::vector<Change>& changes,
                HANDLE transaction) {
  std::set<std::string, NoCaseLess> gone;
  kx::UniqueKey root;
  for (const Change& change : changes) {
    if (change.kind != '-' || change.before) continue;
    const std::string& path = *change.path;
    gone.insert(path);
    if (gone.count(path.substr(0, path.rfind('\\')))) continue;
    if (!root) {
      Check(RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, target.c_str(), 0,
                                  KEY_ALL_ACCESS, root.out(), transaction,
                                  nullptr),
            "RestoreRegistry: cannot open " + KeyName(target));
    }
    Check(RegDeleteTreeA(root.get(), Below(target, path).c_str()),
          "RestoreRegistry: cannot delete " + KeyName(path));
  }
}

void WriteValue(HKEY key, const Change& change) {
  const std::string& path = *change.path;
  LSTATUS status;
  if (!change.after) {
    status = RegDeleteValueA(key, change.before->name.c_str());
  } else {
    // Windows stores a string that lacks its zero with one when the byte
    // after the data is zero, as kxwin always does: a zero follows, so that
    // the bytes stored do not depend on the memory after the data.
    std::vector<BYTE> data(change.after->data);
    data.push_back(0);
    status = RegSetValueExA(key, change.after->name.c_str(), 0,
                            change.after->type, data.data(),
                            static_cast<DWORD>(change.after->data.size()));
  }
  const ValueEntry* value = change.after ? change.after : change.before;
  Check(status, "RestoreRegistry: cannot " +
                    std::string(change.after ? "set" : "delete") +
                    " the value \"" + value->name + "\" of " + KeyName(path));
}

// Makes the keys that come and writes the values that change, each key
// opened once for its run of changes (which are in the order of paths).
void WriteKeys(const std::vector<Change>& changes, HANDLE transaction) {
  kx::UniqueKey key;
  const std::string* open = nullptr;
  for (const Change& change : changes) {
    if (open != change.path) {
      key.reset();
      Check(RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, change.path->c_str(), 0,
                                    nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, key.out(), nullptr,
                                    transaction, nullptr),
            "RestoreRegistry: cannot create " + KeyName(*change.path));
      open = change.path;
    }
    if (change.before || change.after) WriteValue(key.get(), change);
  }
}

// Whether a change is the removal of a key, or of a value of a key that
// goes, which DeleteKeys does.
bool GoesWithItsKey(const Change& change, const Tree& after) {
  return change.kind == '-' && !after.count(*change.path);
}

std::string ChangeJson(const std::string& target, const Change& change) {
  const ValueEntry* value = change.after ? change.after : change.before;
  return std::string("{\"change\": \"") + change.kind +
         "\", \"key\": " + JsonString(Below(target, *change.path)) +
         ", \"name\": " + (value ? JsonString(value->name) : "null") +
         ", \"old\": " + JsonValue(change.before) +
         ", \"new\": " + JsonValue(change.after) + '}';
}

}  // namespace

void RestoreKeys(const std::string& target, const KeyList& keys, bool replace) {
  TransactionHolder transaction;
  if (!transaction.Begin()) {
    Fail("RestoreRegistry: cannot start a registry transaction: %s",
         ErrorText(GetLastError()).c_str());
  }
  Tree store = ReadStore("RestoreRegistry", target, transaction.handle);
  Tree after = Restored(target, store, keys, replace);
  std::vector<Change> changes = Compare(store, after), writes;
  for (const Change& change : changes) {
    if (!GoesWithItsKey(change, after)) writes.push_back(change);
  }
  DeleteKeys(target, changes, transaction.handle);
  WriteKeys(writes, transaction.handle);
  if (!transaction.Commit()) {
    Fail("RestoreRegistry: cannot commit the restore of %s: %s",
         KeyName(target).c_str(), ErrorText(GetLastError()).c_str());
  }
}

std::string CompareKeys(const std::string& target, const KeyList& keys,
                        bool replace) {
  TransactionHolder transaction;
  if (!transaction.Begin(KXWIN_TRANSACTION_READ_ONLY)) {
    Fail("CompareRegistry: cannot start a registry transaction: %s",
         ErrorText(GetLastError()).c_str());
  }
  Tree store = ReadStore("CompareRegistry", target, transaction.handle);
  Tree after = Restored(target, store, keys, replace);
  std::string report =
      "{\"key\": " + JsonString(KeyName(target)) + ", \"changes\": [";
  const char* separator = "\n";
  for (const Change& change : Compare(store, after)) {
    report += separator + ChangeJson(target, change);
    separator = ",\n";
  }
  return report + "]}\n";
}

}  // namespace zrnapi
