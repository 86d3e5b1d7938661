// Loading the variable table into the store.
//
// Each row that the control index selects becomes an application key or a
// variable definition. Values survive a load in two ways: values that an
// earlier installation left in profile files (FILE rows) are set into the
// new definitions, and a variable whose default the table changes keeps the
// value it had, written back as its explicit value.
//
// While the rows are written the table-load flag holds back this process's
// watcher: it would otherwise mark the whole cache stale after every
// definition. Lookups bypass the cache meanwhile, and the flag is cleared on
// every way out of the load.
#include <cstdio>
#include <memory>
#include <string>

#include "internal.h"
#include "table.h"

namespace {

struct IndexHolder {
  VarIndex* index = nullptr;
  ~IndexHolder() { FreeIndex(&index); }
};

struct TableLoadFlag {
  TableLoadFlag() { g_table_load.store(true); }
  ~TableLoadFlag() { g_table_load.store(false); }
  TableLoadFlag(const TableLoadFlag&) = delete;
  TableLoadFlag& operator=(const TableLoadFlag&) = delete;
};

// Texts equal without regard to case, a null text counting as empty.
bool SameNoCaseOrEmpty(const char* a, const char* b) {
  return SameNoCase(a ? a : "", b ? b : "");
}

// Values from an earlier installation, or the value the variable had when
// the table changes its default.
void CarryValues(const VariableRecord& row, const char* keyword,
                 const VariableRecord* previous) {
  bool environment = SameNoCase(keyword, "ENV");
  if (VarLink** slot = GetVarIndex(g_copied_value_index, row.name)) {
    const VariableRecord* copied = (*slot)->record;
    if (!environment) {
      KXsetopt(copied->name, copied->localValue);
      return;
    }
    if (copied->globalValue) KXsetglobal(copied->name, copied->globalValue);
    if (copied->localValue) KXsetlocal(copied->name, copied->localValue);
    return;
  }
  if (!previous || SameNoCaseOrEmpty(previous->defaultValue, row.defaultValue))
    return;
  if (environment) {
    KXsetenv(previous->name, previous->value);
  } else {
    KXsetopt(previous->name, previous->value);
  }
}

void LoadRow(const VariableRecord& row, const char* keyword,
             VarIndex* control) {
  if (!ShouldLoadRow(control, &row, keyword)) return;
  bool application = SameNoCase(keyword, "APP");
  RecordHolder previous;
  if (!application) {
    if (SameNoCase(keyword, "ENV")) {
      KXgetenvex(row.name, &previous.record, KXENV_LEVEL_2);
    } else {
      KXgetoptex(row.name, &previous.record, KXENV_LEVEL_2);
    }
  }
  if (WriteVarDefinition(&row, keyword) && !application)
    CarryValues(row, keyword, previous.record);
}

void LoadRows(std::FILE* table, VarIndex* control) {
  TableLoadFlag loading;
  char line[kTableLineSize];
  while (std::fgets(line, sizeof line, table)) {
    VariableRecord row{};
    char* keyword = nullptr;
    if (!ParseTableLine(line, &row, &keyword)) continue;
    if (SameNoCase(keyword, "FILE")) {
      CopyProfileValues(&g_copied_value_index, &row);
      continue;
    }
    LoadRow(row, keyword, control);
  }
}

bool LoadTable(const char* control_file) {
  SetTraceStringA(kTraceComponent, "KXloadenvtab: enter.\n");
  std::string directory = GlobalDirectory();
  if (directory.empty()) return false;
  std::string path = directory + "/kxenv.tab";
  kx::UniqueFile table(FitsPath(path) ? OpenTextFile(path, "r") : nullptr);
  if (!table) {
    SetTraceStringA(kTraceComponent, "KXloadenvtab: error opening file %s.\n",
                    path.c_str());
    return false;
  }
  IndexHolder control;
  if (!LoadControlIndex(&control.index, control_file)) return false;
  LoadRows(table.get(), control.index);
  // The last trace line marks the load as over: nothing of it is released
  // behind that line (the holders cover only the ways out of an exception).
  table.reset();
  FreeIndex(&control.index);
  SetTraceStringA(kTraceComponent, "KXloadenvtab: exited successfully.\n");
  return true;
}

}  // namespace

extern "C" KXENV_API int KXloadenvtab(const char* control_file) {
  return Guarded("KXloadenvtab", -1,
                 [&] { return LoadTable(control_file) ? 0 : -1; });
}
