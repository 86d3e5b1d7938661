// The variable classes and where their variables live in the store.
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

struct ClassLayout {
  const char* key_path;
  const char* short_name;
  const char* value_name;  // what a set writes; null: no set
};

constexpr ClassLayout kClasses[] = {
    {"", "", nullptr},                          // 0: not a class
    {layout::kAppKey, "APP", nullptr},          // VC_APP
    {layout::kEnvKey, "ENV", layout::kLocal},   // VC_ENV
    {layout::kEnvKey, "LCL", layout::kLocal},   // VC_LOCAL
    {layout::kEnvKey, "GBL", layout::kGlobal},  // VC_GLOBAL
    {layout::kOptKey, "OPT", layout::kLocal},   // VC_OPT
};

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
  bool valid = layout::IsKeyNameText(name);
  if (!valid) {
    SetTraceStringA(kTraceComponent,
                    "%s: \"%s\" is no variable name; refused.\n", function,
                    Shown(name).c_str());
  }
  return valid;
}
