// The read path: the exported gets, the dispatcher behind them, and the
// registry read of one variable key.
#include <cstring>
#include <string>

#include "cache/pause.h"
#include "internal.h"
#include "seccrypt.h"

namespace {

// The text values of a variable key, in the order they fill the record.
enum TextValue {
  kDefault,
  kLocal,
  kGlobal,
  kApp,
  kChoices,
  kChoiceType,
  kDataType,
  kLastUser,
  kTextValues
};
// The number values, likewise.
enum NumberValue {
  kReadOnly,
  kSensitive,
  kDescription,
  kMaxSize,
  kTimeStamp,
  kNumberValues
};

struct VariableValues {
  RegistryValue texts[kTextValues + 1] = {
      {layout::kDefault, REG_SZ, nullptr, 0},
      {layout::kLocal, 0, nullptr, 0},
      {layout::kGlobal, 0, nullptr, 0},
      {layout::kApp, REG_SZ, nullptr, 0},
      {layout::kChoices, REG_MULTI_SZ, nullptr, 0},
      {layout::kChoiceType, REG_SZ, nullptr, 0},
      {layout::kDataType, REG_SZ, nullptr, 0},
      {layout::kLastUser, REG_SZ, nullptr, 0},
      {nullptr, 0, nullptr, 0}};
  DWORD numbers[kNumberValues] = {};
  RegistryValue number_list[kNumberValues + 1] = {
      {layout::kReadOnly, REG_DWORD, &numbers[kReadOnly], 4},
      {layout::kSensitive, REG_DWORD, &numbers[kSensitive], 4},
      {layout::kDescription, REG_DWORD, &numbers[kDescription], 4},
      {layout::kMaxSize, REG_DWORD, &numbers[kMaxSize], 4},
      {layout::kTimeStamp, REG_DWORD, &numbers[kTimeStamp], 4},
      {nullptr, 0, nullptr, 0}};

  char* Text(TextValue which) { return static_cast<char*>(texts[which].data); }
};

// The lowest record level that carries each text value. A get of a lower
// level keeps no copy of the texts it would drop at once (the value is
// chosen from the first three, whatever the level).
constexpr int kCarriedFrom[kTextValues] = {1, 1, 1, 3, 4, 4, 4, 5};

// Gives every text value that has content a buffer of its size, chained to
// the record; sizes 0 and 1 read as absent. One byte more than the size
// keeps a value that grew meanwhile terminated.
void AllocateTextBuffers(VariableRecord* record, VariableValues& values) {
  for (int i = 0; i < kTextValues; ++i) {
    RegistryValue& value = values.texts[i];
    void* buffer = value.size > 1 ? GetVarMemory(value.size + 1) : nullptr;
    if (buffer) ChainVarMemory(record, buffer);
    value.data = buffer;
    if (!buffer) value.size = 0;
  }
}

void Unscramble(RegistryValue& value) {
  if (!value.data || value.type != REG_BINARY) return;
  for (int pass = 0; pass < seccrypt::kScramblePasses; ++pass) {
    UnscrambleValue(static_cast<char*>(value.data),
                    static_cast<int>(value.size));
  }
}

// Texts up to this size are read in one pass with the numbers, through
// scratch buffers; a text that fills its buffer may be longer and sends the
// read to a second pass that asks for the sizes first.
constexpr DWORD kScratchSize = 1024;

// Reads every text into a scratch buffer and every number, in one request;
// keeps the texts of the record's level in var memory chained to the
// record. False when the key cannot be read; *cut when a text may have
// been cut (nothing is kept then).
bool ReadInOnePass(RegistryRequest (&data)[2], VariableRecord* record,
                   int level, VariableValues& values, bool* cut) {
  char scratch[kTextValues][kScratchSize];
  RegistryValue all[int{kTextValues} + int{kNumberValues} + 1] = {};
  for (int i = 0; i < kTextValues; ++i) {
    all[i] = {values.texts[i].name, 0, scratch[i], kScratchSize};
  }
  for (int i = 0; i < kNumberValues; ++i) {
    all[kTextValues + i] = values.number_list[i];
  }
  data[0].values = all;
  if (!QueryRegistry(data)) return false;
  for (int i = 0; i < kTextValues; ++i) {
    if (all[i].size >= kScratchSize) *cut = true;
  }
  if (*cut) return true;
  MemoryLock lock;  // once for every chaining below
  for (int i = 0; i < kTextValues; ++i) {
    RegistryValue& value = values.texts[i];
    value.type = all[i].type;
    value.size = all[i].size;
    // Sizes 0 and 1 read as absent.
    bool kept = value.size > 1 && level >= kCarriedFrom[i];
    void* buffer = kept ? GetVarMemory(value.size + 1) : nullptr;
    if (buffer) {
      std::memcpy(buffer, scratch[i], value.size);
      ChainVarMemory(record, buffer);
    }
    value.data = buffer;
    if (!buffer) value.size = 0;
  }
  return true;
}

// Reads the texts too long for the one pass: their sizes, then the texts
// and the numbers again, from one snapshot (one read transaction, which
// takes no write lock); false when the key is gone by then.
bool ReadInTwoPasses(const char* path, VariableRecord* record,
                     VariableValues& values) {
  RegistryTransaction snapshot(KXWIN_TRANSACTION_READ_ONLY);
  RegistryOptions options = QuietOptions();
  options.transaction = snapshot.handle();
  auto key = [&](RegistryValue* list) {
    return RegistryRequest{HKEY_LOCAL_MACHINE, path, 0, &options, list};
  };
  // In one snapshot a key that opens cannot fail the reads that follow (a
  // missing value reads as empty): the sizes' pass tests the existence.
  RegistryRequest sizes[] = {key(values.texts), {}};
  if (!QueryRegistry(sizes)) return false;
  AllocateTextBuffers(record, values);
  RegistryRequest data[] = {key(values.texts), key(values.number_list), {}};
  QueryRegistry(data);
  snapshot.Commit();
  return true;
}

// Reads the key's values under the machine-wide mutex, the existence and
// the values from one snapshot; false when the key does not exist.
bool ReadKey(const char* path, VariableRecord* record, int level,
             VariableValues& values) {
  MachineMutex mutex;
  RegistryOptions options = QuietOptions();
  // One key's values are read with one statement, a snapshot by itself,
  // which tests the existence too.
  RegistryRequest one_pass[] = {
      {HKEY_LOCAL_MACHINE, path, 0, &options, nullptr}, {}};
  bool cut = false;
  if (!ReadInOnePass(one_pass, record, level, values, &cut)) return false;
  if (cut && !ReadInTwoPasses(path, record, values)) {
    for (DWORD& number : values.numbers) number = 0;
    return false;
  }
  if (values.numbers[kSensitive]) {
    Unscramble(values.texts[kLocal]);
    Unscramble(values.texts[kGlobal]);
  }
  return true;
}

void FillRecord(int variable_class, const char* name, VariableRecord* record,
                VariableValues& values) {
  record->version = 99;
  record->defaultValue = values.Text(kDefault);
  record->localValue = values.Text(kLocal);
  record->globalValue = values.Text(kGlobal);
  record->app = values.Text(kApp);
  record->choices = values.Text(kChoices);
  record->choiceType = values.Text(kChoiceType);
  record->dataType = values.Text(kDataType);
  record->lastUser = values.Text(kLastUser);
  record->maxSize = values.numbers[kMaxSize];
  record->readOnly = values.numbers[kReadOnly];
  record->sensitive = values.numbers[kSensitive];
  record->timeStamp = values.numbers[kTimeStamp];
  record->descriptionId = values.numbers[kDescription];
  record->name = CopyToRecord(record, name);
  if (record->name) layout::FoldName(record->name);
  record->className = CopyToRecord(record, ClassShortName(variable_class));
}

void FillDescription(VariableRecord* record) {
  if (!record->descriptionId) return;
  char text[4096];
  DWORD size = sizeof text - 1;
  if (FormatMsgString(g_library.message_locale, text, &size,
                      static_cast<DWORD>(record->descriptionId))) {
    record->description = CopyToRecord(record, text);
  }
}

char* SelectValue(int variable_class, VariableRecord* record, bool* not_found) {
  switch (variable_class) {
    case VC_APP:
      return SelectAppValue(record);
    case VC_ENV:
      return SelectEnvValue(record, not_found);
    case VC_LOCAL:
    case VC_OPT:
      return SelectLocalValue(record);
    case VC_GLOBAL:
      return SelectGlobalValue(record);
    default:
      return nullptr;
  }
}

const char* TracedValue(const char* value, bool sensitive) {
  if (!value) return "NULL";
  return sensitive ? "???" : value;
}

// Fills `record` from the variable's key at `path`, with the texts a
// record of `level` carries; `*not_found` set when there is none (the
// record then holds only the name and class).
void ReadVarRecord(int variable_class, const char* name, const char* path,
                   int level, VariableRecord* record, bool* not_found) {
  VariableValues values;
  MessageFrame frame;
  *not_found = !ReadKey(path, record, level, values);
  MemoryLock lock;  // once for every chaining below
  FillRecord(variable_class, name, record, values);
  FillDescription(record);
}

}  // namespace

char* GetValue(int variable_class, const char* name,
               VariableRecord** record_out, int level, bool* not_found) {
  if (!name || !record_out) return nullptr;
  *record_out = nullptr;
  char path[kKeyPathSize];
  if (!VariableKeyPath(variable_class, name, path)) {
    SetTraceStringA(kTraceComponent,
                    "GetValue: a name of %zu bytes is too long; refused.\n",
                    std::strlen(name));
    return nullptr;
  }
  auto* record =
      static_cast<VariableRecord*>(GetVarMemory(sizeof(VariableRecord)));
  if (!record) return nullptr;
  ReadVarRecord(variable_class, name, path, level, record, not_found);
  if (char* chosen = SelectValue(variable_class, record, not_found)) {
    record->value = CopyToRecord(record, chosen);
  }
  bool sensitive = record->sensitive != 0;
  VariableRecord* converted = nullptr;
  if (!ConvertVarRecord(&record, &converted, level)) {
    FreeRecord(record);
    SetTraceStringA(kTraceComponent,
                    "GetValue %s: returned NULL; data conversion error.\n",
                    name);
    return nullptr;
  }
  *record_out = converted;
  SetTraceStringA(kTraceComponent, "GetValue %s: returned (%s).\n", name,
                  TracedValue(converted->value, sensitive));
  return converted->value;
}

char* GetIdxValue(int variable_class, const char* name,
                  VariableRecord** record_out, int level) {
  if (!name || !Initialize()) return nullptr;
  // A caller that asks for the value alone gets a level-1 record it never
  // sees: only the cache keeps it.
  bool caller_takes_record = record_out != nullptr;
  VariableRecord* local = nullptr;
  if (!caller_takes_record) {
    record_out = &local;
    level = 1;
  }
  if (GetCachedValue(variable_class, name, record_out, level)) {
    return (*record_out)->value;
  }
  bool not_found = false;
  int cut_before = CutExpansions();
  uint64_t read_generation = DirtyGeneration();
  char* value = GetValue(variable_class, name, record_out, level, &not_found);
  VariableRecord* record = *record_out;
  if (!record) return nullptr;
  // Nobody would hold the record of a variable that has neither key nor
  // value: it is freed rather than cached.
  if (not_found && !value && !caller_takes_record) {
    FreeRecord(record);
    return nullptr;
  }
  bool cut = CutExpansions() != cut_before;
  PauseAt("read-before-cache");
  record = CacheValue(record, not_found || cut, read_generation);
  *record_out = record;
  SetTraceStringA(kTraceComponent, "GetIdxValue %s: cached 0x%x.\n",
                  record->name, TraceAddress(record));
  return record->value;
}

// The exported gets' one step before the dispatcher: a caller's name must
// be one key name. (An enumeration hands out the names the store holds
// through GetIdxValue itself, so that a key written before names were
// checked does not end the walk.)
static char* GetForCaller(int variable_class, const char* name,
                          VariableRecord** record_out, int level) {
  if (!name || !IsKeyName(name, "GetIdxValue")) return nullptr;
  return GetIdxValue(variable_class, name, record_out, level);
}

char* KXgetenv(const char* name) {
  return Guarded<char*>("KXgetenv", nullptr,
                        [&] { return GetForCaller(VC_ENV, name, nullptr, 1); });
}

char* KXgetlocal(const char* name) {
  return Guarded<char*>("KXgetlocal", nullptr, [&] {
    return GetForCaller(VC_LOCAL, name, nullptr, 1);
  });
}

char* KXgetglobal(const char* name) {
  return Guarded<char*>("KXgetglobal", nullptr, [&] {
    return GetForCaller(VC_GLOBAL, name, nullptr, 1);
  });
}

char* KXgetopt(const char* name) {
  return Guarded<char*>("KXgetopt", nullptr,
                        [&] { return GetForCaller(VC_OPT, name, nullptr, 1); });
}

char* KXgetenvex(const char* name, VariableRecord** record, int level) {
  return Guarded<char*>("KXgetenvex", nullptr, [&] {
    return GetForCaller(VC_ENV, name, record, level);
  });
}

char* KXgetoptex(const char* name, VariableRecord** record, int level) {
  return Guarded<char*>("KXgetoptex", nullptr, [&] {
    return GetForCaller(VC_OPT, name, record, level);
  });
}

char* KXgetappex(const char* name, VariableRecord** record, int level) {
  return Guarded<char*>("KXgetappex", nullptr, [&] {
    return GetForCaller(VC_APP, name, record, level);
  });
}
