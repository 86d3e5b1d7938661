// Definitions in the store: an application key for an APP row; for a
// variable row, its variable key with the nine definition values and its
// entry in the owning application's membership key. The definition never
// touches Local, Global, LastUser or TimeStamp: only sets change those.
#include <cstdarg>
#include <cstdio>

#include "internal.h"
#include "table.h"

namespace {

using KeyPath = char[kKeyPathSize];

// "%s\\%s\\..." into `path`; false when it would not fit.
bool FormatKeyPath(KeyPath& path, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(path, sizeof path, format, arguments);
  va_end(arguments);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

DWORD DescriptionNumber(const VariableRecord* row) {
  return static_cast<DWORD>(FindMsgMarker(row->description, nullptr, nullptr));
}

bool WriteApplication(const VariableRecord* row) {
  KeyPath path;
  if (!FormatKeyPath(path, "%s\\%s", ClassKeyPath(VC_APP), row->name))
    return false;
  DWORD description = DescriptionNumber(row);
  RegistryOptions options = QuietOptions();
  RegistryValue values[] = {{layout::kDescription, REG_DWORD, &description, 0},
                            {}};
  RegistryRequest request[] = {{HKEY_LOCAL_MACHINE, path, 0, &options, values},
                               {}};
  MessageFrame frame;
  StoreWrite write;
  return CreateRegistry(request);
}

// Takes the variable out of the membership key of the application that
// owned it so far, when the row gives it another one.
void LeaveOldApplication(const VariableRecord* row, bool environment) {
  RecordHolder holder;
  if (environment) {
    KXgetenvex(row->name, &holder.record, KXENV_LEVEL_3);
  } else {
    KXgetoptex(row->name, &holder.record, KXENV_LEVEL_3);
  }
  const VariableRecord* present = holder.record;
  if (!present) return;
  KeyPath path;
  if (present->app && present->className &&
      !SameNoCase(present->app, row->app) &&
      FormatKeyPath(path, "%s\\%s\\%s", ClassKeyPath(VC_APP), present->app,
                    present->className)) {
    RegistryOptions options = QuietOptions();
    char empty[] = "";
    RegistryValue values[] = {{row->name, REG_SZ, empty, 0}, {}};
    RegistryRequest request[] = {
        {HKEY_LOCAL_MACHINE, path, 0, &options, values}, {}};
    MessageFrame frame;
    StoreWrite write;
    DeleteRegistryValues(request);
  }
}

bool WriteVariable(const VariableRecord* row, bool environment) {
  KeyPath membership, variable;
  if (!FormatKeyPath(membership, "%s\\%s\\%s", ClassKeyPath(VC_APP), row->app,
                     environment ? layout::kEnvClass : layout::kOptClass) ||
      !VariableKeyPath(environment ? VC_ENV : VC_OPT, row->name, variable)) {
    return false;
  }
  LeaveOldApplication(row, environment);
  DWORD description = DescriptionNumber(row);
  DWORD max_size = static_cast<DWORD>(row->maxSize);
  DWORD read_only = static_cast<DWORD>(row->readOnly);
  DWORD sensitive = static_cast<DWORD>(row->sensitive);
  char empty[] = "";
  RegistryOptions options = QuietOptions();
  RegistryValue member[] = {{row->name, REG_SZ, empty, 0}, {}};
  RegistryValue definition[] = {
      {layout::kDefault, REG_SZ, row->defaultValue, 0},
      {layout::kApp, REG_SZ, row->app, 0},
      {layout::kChoices, REG_MULTI_SZ, row->choices, 0},
      {layout::kChoiceType, REG_SZ, row->choiceType, 0},
      {layout::kDataType, REG_SZ, row->dataType, 0},
      {layout::kDescription, REG_DWORD, &description, 0},
      {layout::kMaxSize, REG_DWORD, &max_size, 0},
      {layout::kReadOnly, REG_DWORD, &read_only, 0},
      {layout::kSensitive, REG_DWORD, &sensitive, 0},
      {}};
  RegistryRequest request[] = {
      {HKEY_LOCAL_MACHINE, membership, 0, &options, member},
      {HKEY_LOCAL_MACHINE, variable, 0, &options, definition},
      {}};
  MessageFrame frame;
  StoreWrite write;
  return CreateRegistry(request);
}

}  // namespace

bool WriteVarDefinition(const VariableRecord* row, const char* keyword) {
  if (!row || !keyword || !row->name) return false;
  if (!IsKeyName(row->name, "WriteVarDefinition")) return false;
  if (SameNoCase(keyword, "APP")) return WriteApplication(row);
  bool environment = SameNoCase(keyword, "ENV");
  if (!environment && !SameNoCase(keyword, "OPT")) return false;
  if (!row->app || !IsKeyName(row->app, "WriteVarDefinition")) return false;
  return WriteVariable(row, environment);
}
