// Deletion of variables and applications. A variable lives in two places:
// its key under its class key, and a value named after it in the
// membership key of the application that its own record names.
#include <cstdio>
#include <string>

#include "internal.h"

namespace {

// `path` formatted from the parts; false when it would not fit.
template <typename... Parts>
bool FormatPath(char (&path)[kKeyPathSize], const char* format,
                Parts... parts) {
  int length = std::snprintf(path, sizeof path, format, parts...);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

void DeleteValue(const char* key_path, const char* value_name) {
  RegistryValue value[] = {{value_name, REG_SZ, nullptr, 0},
                           {nullptr, 0, nullptr, 0}};
  RegistryRequest request[] = {
      {HKEY_LOCAL_MACHINE, key_path, 0, nullptr, value}, {}};
  StoreWrite write;
  DeleteRegistryValues(request);
}

void DeleteKey(const char* key_path) {
  RegistryRequest request[] = {
      {HKEY_LOCAL_MACHINE, key_path, 0, nullptr, nullptr}, {}};
  StoreWrite write;
  DeleteRegistry(request);
}

bool OwnedBy(const VariableRecord* record, const char* application) {
  return SameNoCase(record->app, application);
}

// Deletes a variable's membership value and its key.
void DelVarKeys(const VariableRecord* record) {
  char path[kKeyPathSize];
  if (record->app && FormatPath(path, "%s\\%s\\%s", ClassKeyPath(VC_APP),
                                record->app, record->className)) {
    DeleteValue(path, record->name);
  }
  if (FormatPath(path, "%s\\%s\\%s", kStoreKey, record->className,
                 record->name)) {
    DeleteKey(path);
  }
}

// Deletes an application's key with its membership keys.
void DelAppKey(const VariableRecord* record) {
  char path[kKeyPathSize];
  if (FormatPath(path, "%s\\%s", ClassKeyPath(VC_APP), record->name)) {
    DeleteKey(path);
  }
}

// Deletes every variable listed in one membership key of an application.
// Each round takes position 0, which the round removes. A listed variable
// that names another application, or none, is not this application's to
// delete: only its stale membership value goes, so the walk still ends.
void DeleteMembers(int variable_class, const VariableRecord* application) {
  char membership[kKeyPathSize];
  const char* kind =
      variable_class == VC_OPT ? layout::kOptClass : layout::kEnvClass;
  if (!FormatPath(membership, "%s\\%s\\%s", ClassKeyPath(VC_APP),
                  application->name, kind)) {
    return;
  }
  std::string previous;
  VariableRecord* member = nullptr;
  while (EnumValues(variable_class, 0, application->name, &member, 99)) {
    std::string name = member->name;
    if (OwnedBy(member, application->name)) {
      DelVarKeys(member);
    } else {
      DeleteValue(membership, name.c_str());
    }
    KXfreemem(member);
    member = nullptr;
    if (name == previous) break;  // it could not be removed: stop
    previous = std::move(name);
  }
}

// The dispatcher of the exported deletes.
bool DelValue(int variable_class, const char* name) {
  if (!name) return false;
  if (!IsKeyName(name, "DelValue")) return true;  // no such variable can exist
  // A reader's delete would be refused by the store: it fails here, whole.
  if (!Initialize() || g_library.read_only.load()) return false;
  VariableRecord* record = nullptr;
  bool not_found = true;
  GetValue(variable_class, name, &record, 99, &not_found);
  if (!record) return true;
  if (!not_found) DelVarKeys(record);
  FreeRecord(record);
  return true;
}

}  // namespace

int KXdelenv(const char* name) {
  return Guarded("KXdelenv", -1,
                 [&] { return DelValue(VC_ENV, name) ? 0 : -1; });
}

int KXdelopt(const char* name) {
  return Guarded("KXdelopt", -1,
                 [&] { return DelValue(VC_OPT, name) ? 0 : -1; });
}

int KXdelapp(const char* application) {
  if (!application) return -1;
  return Guarded("KXdelapp", -1, [&] {
    if (!Initialize() || g_library.read_only.load()) return -1;
    VariableRecord* record = nullptr;
    if (!KXgetappex(application, &record, 99)) return -1;
    DeleteMembers(VC_ENV, record);
    DeleteMembers(VC_OPT, record);
    DelAppKey(record);
    KXfreemem(record);
    return 0;
  });
}
