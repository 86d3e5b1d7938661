// Entries of the table loader's own indexes (control directives and copied
// values): level-2 records of value memory, released with their index.
#include "internal.h"
#include "table.h"

VariableRecord* NewTableEntry(const char* name) {
  void* memory = GetVarMemory(FieldsOfLevel(KXENV_LEVEL_2) * sizeof(uintptr_t));
  if (!memory) return nullptr;
  auto* entry = static_cast<VariableRecord*>(memory);
  entry->version = KXENV_LEVEL_2;
  entry->name = CopyToRecord(entry, name);
  if (!entry->name) {
    FreeRecord(entry);
    return nullptr;
  }
  return entry;
}

bool SetEntryText(VariableRecord* entry, char** field, const char* text) {
  char* copy = CopyToRecord(entry, text);
  if (!copy) return false;
  if (*field) UnChainVarMemory(*field);
  *field = copy;
  return true;
}

bool IndexTableEntry(VarIndex** index, VariableRecord* entry) {
  if (EnsureRoom(index) && AddVarIndex(*index, entry, 0)) return true;
  FreeRecord(entry);
  return false;
}
