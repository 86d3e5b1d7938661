// The control index: which rows of the variable table a load writes.
//
// The control file is a list of key=value directives. "EnabledForProcessing"
// switches the reading of the other directives on ("yes") and off; they are
// off at the start. "CopyGroup" names an application whose variables are all
// loaded, "CopyVar" a variable that is loaded whatever its application,
// "ExcludeVar" a variable that is not loaded although its application is a
// copy group; any other key is recorded without effect of its own.
//
// Each name gets one entry, of the class its first line gives: "APP" for a
// copy group, "ENV" for a variable. A variable entry keeps the key that
// decides for it as its directive: the first one, except that a later
// "CopyVar" overrides an "ExcludeVar".
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "internal.h"
#include "table.h"

namespace {

bool KeyIs(const char* key, const char* expected) {
  return strcasecmp(key, expected) == 0;
}

VariableRecord* NewControlEntry(const char* key, const char* name) {
  VariableRecord* entry = NewTableEntry(name);
  if (!entry) return nullptr;
  const char* kind = KeyIs(key, "CopyGroup") ? "APP" : "ENV";
  if (!SetEntryText(entry, &entry->className, kind)) {
    FreeRecord(entry);
    return nullptr;
  }
  return entry;
}

// Records `key` as the entry's directive where the rules let it decide.
// False when memory ran out.
bool DecideDirective(VariableRecord* entry, const char* key) {
  if (std::strcmp(entry->className, "ENV") != 0) return true;
  const char* directive = entry->value;
  bool decides =
      !directive || (KeyIs(directive, "ExcludeVar") && KeyIs(key, "CopyVar"));
  return !decides || SetEntryText(entry, &entry->value, key);
}

// One directive read while processing is on. False when memory ran out.
bool AddDirective(VarIndex** index, const char* key, const char* name) {
  VarLink** slot = GetVarIndex(*index, name);
  if (slot) return DecideDirective((*slot)->record, key);
  VariableRecord* entry = NewControlEntry(key, name);
  if (!entry) return false;
  if (!DecideDirective(entry, key)) {
    FreeRecord(entry);
    return false;
  }
  return IndexTableEntry(index, entry);
}

bool ReadControlFile(std::FILE* file, VarIndex** index) {
  char line[kTableLineSize];
  bool processing = false;
  while (std::fgets(line, sizeof line, file)) {
    char *key, *value;
    if (!SplitControlLine(line, &key, &value)) continue;
    if (KeyIs(key, "EnabledForProcessing")) {
      processing = KeyIs(value, "yes");
      continue;
    }
    if (!processing) continue;
    if (!AddDirective(index, key, value)) {
      SetTraceStringA(kTraceComponent,
                      "LoadControlIndex: error allocating data structure.\n");
      return false;
    }
  }
  return true;
}

}  // namespace

bool LoadControlIndex(VarIndex** index, const char* path) {
  SetTraceStringA(kTraceComponent, "LoadControlIndex: enter.\n");
  kx::UniqueFile file(path ? OpenTextFile(path, "r") : nullptr);
  if (!file) {
    SetTraceStringA(kTraceComponent,
                    "LoadControlIndex: error opening file %s; exiting.\n",
                    path ? path : "(null)");
    return false;
  }
  bool result = ReadControlFile(file.get(), index);
  file.reset();
  SetTraceStringA(kTraceComponent, "LoadControlIndex: exited; rc=%d.\n",
                  result ? 1 : 0);
  return result;
}

bool ShouldLoadRow(VarIndex* index, const VariableRecord* row,
                   const char* keyword) {
  if (KeyIs(keyword, "APP")) return true;
  if (VarLink** slot = GetVarIndex(index, row->name)) {
    const char* directive = (*slot)->record->value;
    if (directive && KeyIs(directive, "ExcludeVar")) return false;
    if (directive && KeyIs(directive, "CopyVar")) return true;
  }
  return row->app && GetVarIndex(index, row->app);
}
