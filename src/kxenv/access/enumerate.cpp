// Enumeration: the names of a class or of an application's variables, one
// position at a time, each handed back with its record from the get path,
// so that an enumerating caller sees exactly what a get would give.
//
// A walk asks for positions 0, 1, 2, ... and each would cost a read
// transaction of the store. So each thread keeps the names of the key it
// enumerated last (NameList), read from one snapshot a stretch at a time,
// the stretch doubling as the walk goes on, and serves them again for as
// long as the cache is current and no write has begun or been marked since
// the first of them was read: the test a cache hit makes
// (cache/sequence.cpp), so a name list is never older than a get would be.
// A caller that asks for position 0 after every change (a delete loop)
// reads a few names each time, not the whole key.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "internal.h"

namespace {

constexpr REGSAM kEnumerateAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

// The class label of the trace lines: "ENV" for all three views of an
// environment variable.
const char* EnumLabel(int variable_class) {
  switch (variable_class) {
    case VC_APP:
      return "APP";
    case VC_OPT:
      return "OPT";
    default:
      return "ENV";
  }
}

// The key to list: the class key, or an application's membership key.
bool EnumKeyPath(int variable_class, const char* application,
                 char (&path)[kKeyPathSize]) {
  int length;
  if (!application) {
    length =
        std::snprintf(path, sizeof path, "%s", ClassKeyPath(variable_class));
  } else {
    length = std::snprintf(
        path, sizeof path, "%s\\%s\\%s", ClassKeyPath(VC_APP), application,
        variable_class == VC_OPT ? layout::kOptClass : layout::kEnvClass);
  }
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

// The name at a position of an open key: a subkey of a class key, a value
// of a membership key. False when there is none.
bool NameAt(HKEY key, bool membership, DWORD position,
            char (&name)[kKeyPathSize]) {
  DWORD length = sizeof name;
  LSTATUS status = membership
                       ? RegEnumValueA(key, position, name, &length, nullptr,
                                       nullptr, nullptr, nullptr)
                       : RegEnumKeyA(key, position, name, sizeof name);
  return status == ERROR_SUCCESS;
}

// The names at positions [first, first + names.size()) of the key at
// `path`, and whether the key has none after them; `sequence` and
// `generation` say what the store and the cache were when the first of
// them was read.
struct NameList {
  std::string path;
  size_t first = 0;
  std::vector<std::string> names;
  bool complete = false;
  uint64_t sequence = 0;
  uint64_t generation = 0;
};
thread_local NameList listed;

// True when the list holds the store's names of `path` as they are now.
bool Current(const NameList& list, const std::string& path) {
  return list.path == path && NoChangePending() && CacheIsCurrent() &&
         StoreSequence() == list.sequence &&
         DirtyGeneration() == list.generation;
}

bool Serves(const NameList& list, const std::string& path, size_t position) {
  return position >= list.first &&
         (position < list.first + list.names.size() || list.complete) &&
         Current(list, path);
}

// Reads the names from `position` on: a walk that goes on past the end of
// a current list adds as many again as the list holds (8 at least); any
// other position starts a list of 8 there. Only one name is read while the
// cache cannot tell that the store stays as it is. The open's status.
LSTATUS ReadNames(const std::string& path, bool membership, size_t position,
                  NameList* list) {
  bool going_on = position == list->first + list->names.size() &&
                  !list->complete && Current(*list, path);
  NameList read{path, position, {}, false, StoreSequence(), DirtyGeneration()};
  if (going_on) read = std::move(*list);
  size_t stretch = std::max<size_t>(read.names.size(), 8);
  if (!CacheIsCurrent()) stretch = 1;
  // The key and the names come from one snapshot: one read transaction
  // instead of one per registry call.
  RegistryTransaction snapshot(KXWIN_TRANSACTION_READ_ONLY);
  kx::UniqueKey key;
  LSTATUS opened = snapshot.handle()
                       ? RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, path.c_str(),
                                               0, kEnumerateAccess, key.out(),
                                               snapshot.handle(), nullptr)
                       : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                       kEnumerateAccess, key.out());
  if (opened != ERROR_SUCCESS) return opened;
  char name[kKeyPathSize];
  for (size_t left = stretch; left > 0 && !read.complete; --left) {
    read.complete =
        !NameAt(key.get(), membership,
                static_cast<DWORD>(read.first + read.names.size()), name);
    if (!read.complete) read.names.emplace_back(name);
  }
  key.reset();
  snapshot.Commit();
  *list = std::move(read);
  return ERROR_SUCCESS;
}

enum class Listed { kName, kPastTheEnd, kNoKey };

// The name at `position` of the key, from this thread's list or read. A key
// that cannot be read is traced unless it is missing.
Listed ListedName(const char* label, const std::string& path, bool membership,
                  size_t position, std::string* name) {
  NameList& list = listed;
  if (!Serves(list, path, position)) {
    LSTATUS opened = ReadNames(path, membership, position, &list);
    if (opened != ERROR_SUCCESS) {
      list = NameList{};
      if (opened != ERROR_FILE_NOT_FOUND) {  // the store cannot be used
        SetLastError(static_cast<DWORD>(opened));
        SetTraceStringA(kTraceComponent, "EnumValues %s: cannot open %s: %s.\n",
                        label, path.c_str(), SetAndGetLastErrorMsg());
      }
      return Listed::kNoKey;
    }
  }
  if (position >= list.first + list.names.size()) return Listed::kPastTheEnd;
  *name = list.names[position - list.first];
  return Listed::kName;
}

}  // namespace

char* EnumValues(int variable_class, unsigned position, const char* application,
                 VariableRecord** holder, int level) {
  const char* label = EnumLabel(variable_class);
  const char* shown = application ? application : "NULL";
  SetTraceStringA(kTraceComponent, "EnumValues %s %d (%s): enter.\n", label,
                  static_cast<int>(position), shown);
  if (application && !IsKeyName(application, "EnumValues")) return nullptr;
  if (!Initialize()) return nullptr;
  VariableRecord* local = nullptr;
  if (!holder) {
    holder = &local;
    level = 1;
  }
  if (application && variable_class == VC_APP) return nullptr;
  char path[kKeyPathSize];
  std::string name;
  if (!EnumKeyPath(variable_class, application, path)) return nullptr;
  Listed found =
      ListedName(label, path, application != nullptr, position, &name);
  if (found == Listed::kNoKey) return nullptr;
  if (found == Listed::kPastTheEnd) {
    SetTraceStringA(kTraceComponent, "EnumValues %s %d (%s): returned %s.\n",
                    label, static_cast<int>(position), shown, "NULL");
    return nullptr;
  }
  *holder = nullptr;
  GetIdxValue(variable_class, name.c_str(), holder, level);
  if (!*holder) return nullptr;
  SetTraceStringA(kTraceComponent, "EnumValues %s %d (%s): returned %s.\n",
                  label, static_cast<int>(position), shown, (*holder)->name);
  return (*holder)->name;
}

char* KXenumenv(unsigned position, const char* application,
                VariableRecord** holder, int level) {
  return Guarded<char*>("KXenumenv", nullptr, [&] {
    return EnumValues(VC_ENV, position, application, holder, level);
  });
}

char* KXenumopt(unsigned position, const char* application,
                VariableRecord** holder, int level) {
  return Guarded<char*>("KXenumopt", nullptr, [&] {
    return EnumValues(VC_OPT, position, application, holder, level);
  });
}

char* KXenumapp(unsigned position, VariableRecord** holder, int level) {
  return Guarded<char*>("KXenumapp", nullptr, [&] {
    return EnumValues(VC_APP, position, nullptr, holder, level);
  });
}
