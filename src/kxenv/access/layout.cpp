// The variable classes and where their variables live in the store.
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

#define KX_STORE_KEY \
  "Software\\Norvane\\KX-Orrery\\CurrentVersion\\Components\\COM\\ENV"

struct ClassLayout {
  const char* key_path;
  const char* short_name;
  const char* value_name;  // what a set writes; null: no set
};

constexpr ClassLayout kClasses[] = {
    {"", "", nullptr},                        // 0: not a class
    {KX_STORE_KEY "\\APP", "APP", nullptr},   // VC_APP
    {KX_STORE_KEY "\\ENV", "ENV", "Local"},   // VC_ENV
    {KX_STORE_KEY "\\ENV", "LCL", "Local"},   // VC_LOCAL
    {KX_STORE_KEY "\\ENV", "GBL", "Global"},  // VC_GLOBAL
    {KX_STORE_KEY "\\OPT", "OPT", "Local"},   // VC_OPT
};
static_assert(sizeof(KX_STORE_KEY) == sizeof(kStoreKey));

// A name as a trace line shows it: control characters as \xNN.
std::string Shown(const char* name) {
  std::string shown;
  for (const char* c = name; *c; ++c) {
    auto byte = static_cast<unsigned char>(*c);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    shown += byte < 0x20 || byte == 0x7f ? escaped : std::string(1, *c);
  }
  return shown;
}

const ClassLayout& LayoutOf(int variable_class) {
  bool known = variable_class >= VC_APP && variable_class <= VC_OPT;
  return kClasses[known ? variable_class : 0];
}

}  // namespace

const char* ClassKeyPath(int variable_class) {
  return LayoutOf(variable_class).key_path;
}

const char* ClassShortName(int variable_class) {
  return LayoutOf(variable_class).short_name;
}

const char* ClassValueName(int variable_class) {
  return LayoutOf(variable_class).value_name;
}

bool VariableKeyPath(int variable_class, const char* name,
                     char (&path)[kKeyPathSize]) {
  int length = std::snprintf(path, sizeof path, "%s\\%s",
                             ClassKeyPath(variable_class), name);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

bool IsKeyName(const char* name, const char* function) {
  bool valid = *name != '\0';
  for (const char* c = name; valid && *c; ++c) {
    auto byte = static_cast<unsigned char>(*c);
    valid = byte >= 0x20 && byte != 0x7f && byte != '\\';
  }
  if (!valid) {
    SetTraceStringA(kTraceComponent,
                    "%s: \"%s\" is no variable name; refused.\n", function,
                    Shown(name).c_str());
  }
  return valid;
}
