// The effective value of a variable: each class's order of sources, the
// expansion of one %NAME% reference, the legacy places of environment
// variables, the process environment, and the values the library computes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

constexpr size_t kMaxReferenceName = 256;
// How deep %NAME% references are followed before one is left unexpanded.
constexpr int kMaxReferenceDepth = 8;

// How deep this thread is in reference expansions: a value that refers to
// itself, directly or through others, ends at the limit unexpanded.
thread_local int reference_depth = 0;
thread_local int cut_expansions = 0;

struct ReferenceDepth {
  ReferenceDepth() { ++reference_depth; }
  ~ReferenceDepth() { --reference_depth; }
};

// The text with its first %NAME% replaced by NAME's value; null when there
// is no reference, the name has no value, or the expansion is too deep.
char* ExpandReference(VariableRecord* record, const char* text) {
  const char* first = std::strchr(text, '%');
  const char* second = first ? std::strchr(first + 1, '%') : nullptr;
  if (!second || second == first + 1 ||
      static_cast<size_t>(second - first - 1) > kMaxReferenceName) {
    return nullptr;
  }
  if (reference_depth >= kMaxReferenceDepth) {
    ++cut_expansions;
    return nullptr;
  }
  std::string name(first + 1, second);
  std::string value;
  {
    ReferenceDepth depth;
    const char* found = KXgetenv(name.c_str());
    if (!found) return nullptr;
    value = found;  // copied at once: the cached record may go
  }
  std::string expanded = std::string(text, first) + value + (second + 1);
  return CopyToRecord(record, expanded.c_str());
}

char* SystemDateFormat(VariableRecord* record) {
  int length =
      GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, nullptr, 0);
  if (length <= 0) return nullptr;
  auto* buffer = static_cast<char*>(GetVarMemory(static_cast<size_t>(length)));
  if (!buffer) return nullptr;
  ChainVarMemory(record, buffer);
  if (GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, buffer,
                     length) <= 0) {
    return nullptr;
  }
  return buffer;
}

char* SystemFontFace(VariableRecord* record) {
  HGDIOBJ font = GetStockObject(SYSTEM_FONT);
  LOGFONTA face{};
  if (!font || GetObjectA(font, sizeof face, &face) == 0) return nullptr;
  return CopyToRecord(record, face.lfFaceName);
}

// The process environment's variable of the record's name.
char* EnvironmentValue(VariableRecord* record) {
  const char* value = record->name ? std::getenv(record->name) : nullptr;
  return value && *value ? CopyToRecord(record, value) : nullptr;
}

char* MachineName(VariableRecord* record) {
  if (!SameNoCase(record->name, "COMPUTERNAME")) return nullptr;
  const char* name = GetMyName();
  return name ? CopyToRecord(record, name) : nullptr;
}

// A legacy value of the record's name under one key.
struct LegacyValue {
  bool found = false;    // the key holds a value of that name
  bool text = false;     // of type REG_SZ
  char* data = nullptr;  // its text, in record memory; null when empty
};

LegacyValue QueryLegacy(VariableRecord* record, const char* key) {
  RegistryOptions options = QuietOptions();
  RegistryValue value[] = {{record->name, REG_NONE, nullptr, 0},
                           {nullptr, 0, nullptr, 0}};
  RegistryRequest request[] = {{HKEY_LOCAL_MACHINE, key, 0, &options, value},
                               {}};
  LegacyValue legacy;
  // A missing value reads with no type and no size.
  legacy.found = QueryRegistry(request) && (value[0].type || value[0].size);
  legacy.text = legacy.found && value[0].type == REG_SZ;
  if (!legacy.text || value[0].size == 0) return legacy;
  auto* buffer = static_cast<char*>(GetVarMemory(value[0].size + 1));
  if (!buffer) return legacy;
  ChainVarMemory(record, buffer);
  value[0].data = buffer;
  if (QueryRegistry(request)) legacy.data = buffer;
  return legacy;
}

// What a stored text stands for: its first %NAME% reference expanded, or
// for "SYSTEM" the value the system gives some names; null for no text.
char* ResolveValue(VariableRecord* record, char* text) {
  if (!text || !*text) return nullptr;
  if (char* expanded = ExpandReference(record, text)) return expanded;
  if (SameNoCase(text, "SYSTEM")) {
    if (SameNoCase(record->name, "KXI_DATEFMT")) {
      if (char* format = SystemDateFormat(record)) return format;
    } else if (SameNoCase(record->name, "REPT_BANNER_FONT")) {
      if (char* face = SystemFontFace(record)) return face;
    }
  }
  return text;
}

// A text value of the record's name in the store key or the product key,
// where earlier releases kept environment variables, resolved; clears
// `*not_found` when there is one.
char* GetLegacyValue(VariableRecord* record, bool* not_found) {
  if (!record->name) return nullptr;
  MessageFrame frame;
  MachineMutex mutex;
  LegacyValue legacy = QueryLegacy(record, kStoreKey);
  if (!legacy.found) legacy = QueryLegacy(record, kProductKey);
  if (!legacy.text) return nullptr;
  *not_found = false;
  return ResolveValue(record, legacy.data);
}

}  // namespace

int CutExpansions() {
  return cut_expansions;
}

char* SelectAppValue(VariableRecord* record) {
  return record->description;
}

char* SelectEnvValue(VariableRecord* record, bool* not_found) {
  for (char* stored :
       {record->localValue, record->globalValue, record->defaultValue}) {
    if (char* value = ResolveValue(record, stored)) return value;
  }
  if (char* value = GetLegacyValue(record, not_found)) return value;
  if (char* value = EnvironmentValue(record)) return value;
  return MachineName(record);
}

char* SelectLocalValue(VariableRecord* record) {
  if (char* value = ResolveValue(record, record->localValue)) return value;
  return ResolveValue(record, record->defaultValue);
}

char* SelectGlobalValue(VariableRecord* record) {
  if (char* value = ResolveValue(record, record->globalValue)) return value;
  return ResolveValue(record, record->defaultValue);
}
