// Enumeration: the names of a class or of an application's variables, one
// position at a time, each handed back with its record from the get path,
// so that an enumerating caller sees exactly what a get would give.
#include <cstdio>

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
  char name[kKeyPathSize];
  kx::UniqueKey key;
  // The key and the name at the position come from one snapshot: one read
  // transaction instead of one per registry call.
  RegistryTransaction snapshot(KXWIN_TRANSACTION_READ_ONLY);
  if (!EnumKeyPath(variable_class, application, path)) return nullptr;
  LSTATUS opened =
      snapshot.handle()
          ? RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, path, 0, kEnumerateAccess,
                                  key.out(), snapshot.handle(), nullptr)
          : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, kEnumerateAccess,
                          key.out());
  if (opened != ERROR_SUCCESS) {
    if (opened != ERROR_FILE_NOT_FOUND) {  // the store cannot be used
      SetLastError(static_cast<DWORD>(opened));
      SetTraceStringA(kTraceComponent, "EnumValues %s: cannot open %s: %s.\n",
                      label, path, SetAndGetLastErrorMsg());
    }
    return nullptr;
  }
  bool found = NameAt(key.get(), application != nullptr, position, name);
  key.reset();
  snapshot.Commit();
  if (!found) {
    SetTraceStringA(kTraceComponent, "EnumValues %s %d (%s): returned %s.\n",
                    label, static_cast<int>(position), shown, "NULL");
    return nullptr;
  }
  *holder = nullptr;
  GetIdxValue(variable_class, name, holder, level);
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
