// The library's get and set, each beside the registry calls and the bare
// SQLite statements that do the same work, measured in one run.
//
// Until the store change monitor runs, every get misses the cache, so a get
// is the full read: the key's existence, the sizes and the data of its
// values under the machine-wide mutex, and the record built from them. The
// registry twin reads the same thirteen values with kxwin calls; the bare
// twin reads them with one SELECT on a connection of its own to a database
// with the same schema (bare.db beside registry.db).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kxenv/kxenv.h"
#include "kxwin/kxwin.h"

namespace {

constexpr char kVariableKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion\\Components\\COM\\ENV\\ENV"
    "\\BENCH_VAR";
constexpr const char* kTextValues[] = {"Default",  "Local",   "Global",
                                       "App",      "Choices", "ChoiceType",
                                       "DataType", "LastUser"};
constexpr const char* kNumberValues[] = {"ReadOnly", "Sensitive", "Description",
                                         "MaxSize", "TimeStamp"};

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "kxenv_bench: %s\n", what);
  std::exit(1);
}

void DefineVariable() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVariableKey, 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr)) {
    Die("cannot create the variable key");
  }
  for (const char* name : kTextValues) {
    std::string text = std::string("value of ") + name;
    RegSetValueExA(key, name, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
  DWORD zero = 0;
  for (const char* name : kNumberValues) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4);
  }
  RegCloseKey(key);
}

// The bare twin: the same rows in a database of its own.
struct Bare {
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* upsert = nullptr;
  sqlite3_stmt* walk = nullptr;

  explicit Bare(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db) ||
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE IF NOT EXISTS vals(key INTEGER, name TEXT "
                     "COLLATE NOCASE, type INTEGER, data BLOB, "
                     "UNIQUE(key, name));",
                     nullptr, nullptr, nullptr)) {
      Die("cannot open the bare database");
    }
    for (const char* name : kTextValues) Upsert(name, "value of something");
    Prepare("SELECT name, type, data FROM vals WHERE key = 1", &select);
    Prepare(
        "INSERT INTO vals VALUES(1, ?1, 1, ?2) ON CONFLICT(key, name) "
        "DO UPDATE SET data = excluded.data",
        &upsert);
    sqlite3_exec(db,
                 "CREATE TABLE IF NOT EXISTS names(parent INTEGER, name TEXT "
                 "COLLATE NOCASE, UNIQUE(parent, name));"
                 "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 "
                 "FROM n WHERE i < 9999) INSERT OR IGNORE INTO names "
                 "SELECT 1, printf('WALK_%05d', i) FROM n;",
                 nullptr, nullptr, nullptr);
    Prepare("SELECT name FROM names WHERE parent = 1 ORDER BY name", &walk);
  }
  ~Bare() {
    sqlite3_finalize(select);
    sqlite3_finalize(upsert);
    sqlite3_finalize(walk);
    sqlite3_close(db);
  }
  void Prepare(const char* sql, sqlite3_stmt** statement) {
    if (sqlite3_prepare_v2(db, sql, -1, statement, nullptr)) Die(sql);
  }
  void Upsert(const char* name, const char* text) {
    std::string sql = std::string("INSERT OR REPLACE INTO vals VALUES(1, '") +
                      name + "', 1, '" + text + "')";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
};

Bare* bare = nullptr;

void Get_kxenv(benchmark::State& state) {
  for (auto _ : state) {
    if (!KXgetenv("BENCH_VAR")) state.SkipWithError("no value");
  }
}

void Get_registry(benchmark::State& state) {
  for (auto _ : state) {
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVariableKey, 0, KEY_READ, &key);
    char buffer[256];
    for (const char* name : kTextValues) {
      DWORD size = sizeof buffer;
      RegQueryValueExA(key, name, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer), &size);
    }
    for (const char* name : kNumberValues) {
      DWORD size = sizeof buffer;
      RegQueryValueExA(key, name, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer), &size);
    }
    RegCloseKey(key);
  }
}

void Get_sqlite(benchmark::State& state) {
  for (auto _ : state) {
    while (sqlite3_step(bare->select) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_blob(bare->select, 2));
    }
    sqlite3_reset(bare->select);
  }
}

void Set_kxenv(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    if (KXsetenv("BENCH_VAR", (i++ & 1) ? "one value" : "another value")) {
      state.SkipWithError("set failed");
    }
  }
}

// What a set writes: the value, the user and the time, in one transaction.
void Set_registry(benchmark::State& state) {
  int i = 0;
  DWORD now = 0;
  for (auto _ : state) {
    HANDLE transaction =
        CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    HKEY key = nullptr;
    RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, kVariableKey, 0, KEY_ALL_ACCESS,
                          &key, transaction, nullptr);
    const char* value = (i++ & 1) ? "one value" : "another value";
    RegSetValueExA(key, "Local", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>(std::strlen(value) + 1));
    RegSetValueExA(key, "LastUser", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>("user"), 5);
    RegSetValueExA(key, "TimeStamp", 0, REG_DWORD,
                   reinterpret_cast<BYTE*>(&now), 4);
    RegCloseKey(key);
    if (!CommitTransaction(transaction)) state.SkipWithError("commit failed");
    CloseHandle(transaction);
  }
}

void Set_sqlite(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    sqlite3_exec(bare->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    const char* names[] = {"Local", "LastUser", "TimeStamp"};
    for (const char* name : names) {
      sqlite3_bind_text(bare->upsert, 1, name, -1, SQLITE_STATIC);
      sqlite3_bind_text(bare->upsert, 2, (i & 1) ? "one" : "two", -1,
                        SQLITE_STATIC);
      sqlite3_step(bare->upsert);
      sqlite3_reset(bare->upsert);
    }
    ++i;
    sqlite3_exec(bare->db, "COMMIT", nullptr, nullptr, nullptr);
  }
}

// A get the cache cannot answer: the record is freed after each get, which
// takes it out of the cache.
void GetMiss_kxenv(benchmark::State& state) {
  for (auto _ : state) {
    VariableRecord* record = nullptr;
    if (!KXgetenvex("BENCH_VAR", &record, 1)) state.SkipWithError("no value");
    KXfreemem(record);
  }
}

constexpr int kVariables = 10000;
constexpr char kClassKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion\\Components\\COM\\ENV\\ENV";

void DefineManyVariables() {
  HANDLE transaction = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
  for (int i = 0; i < kVariables; ++i) {
    char path[160];
    std::snprintf(path, sizeof path, "%s\\WALK_%05d", kClassKey, i);
    HKEY key = nullptr;
    RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr, transaction,
                            nullptr);
    RegSetValueExA(key, "Default", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(key);
  }
  if (!CommitTransaction(transaction)) Die("cannot define the variables");
  CloseHandle(transaction);
}

// A whole walk of the class: every position once, at level 1.
void Enumerate10k_kxenv(benchmark::State& state) {
  for (auto _ : state) {
    unsigned n = 0;
    while (KXenumenv(n, nullptr, nullptr, 1)) ++n;
    if (n < kVariables) state.SkipWithError("walk ended early");
  }
}

void Enumerate10k_registry(benchmark::State& state) {
  for (auto _ : state) {
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, &key);
    char name[256];
    DWORD n = 0;
    while (RegEnumKeyA(key, n, name, sizeof name) == ERROR_SUCCESS) ++n;
    RegCloseKey(key);
  }
}

void Enumerate10k_sqlite(benchmark::State& state) {
  for (auto _ : state) {
    while (sqlite3_step(bare->walk) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(bare->walk, 0));
    }
    sqlite3_reset(bare->walk);
  }
}

BENCHMARK(Get_kxenv)->MinTime(0.5);
BENCHMARK(GetMiss_kxenv)->MinTime(0.5);
BENCHMARK(Enumerate10k_kxenv)->Iterations(2);
BENCHMARK(Enumerate10k_registry)->Iterations(3);
BENCHMARK(Enumerate10k_sqlite)->Iterations(3);
BENCHMARK(Get_registry)->MinTime(0.5);
BENCHMARK(Get_sqlite)->MinTime(0.5);
BENCHMARK(Set_kxenv)->MinTime(0.5);
BENCHMARK(Set_registry)->MinTime(0.5);
BENCHMARK(Set_sqlite)->MinTime(0.5);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.run_name.function_name;
      ns_[name] = run.GetAdjustedRealTime() /
                  benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    std::printf("\n%-6s %12s %12s %12s %10s %10s\n", "call", "kxenv ns",
                "registry ns", "sqlite ns", "/registry", "/sqlite");
    // A get that misses does the registry and SQLite work of a get.
    const char* calls[][2] = {{"Get", "Get"},
                              {"GetMiss", "Get"},
                              {"Set", "Set"},
                              {"Enumerate10k", "Enumerate10k"}};
    for (auto [call, twin] : calls) {
      double kxenv = At(std::string(call) + "_kxenv");
      double registry = At(std::string(twin) + "_registry");
      double sqlite = At(std::string(twin) + "_sqlite");
      if (kxenv == 0 || registry == 0 || sqlite == 0) continue;  // filtered
      std::printf("%-6s %12.0f %12.0f %12.0f %10.2f %10.2f\n", call, kxenv,
                  registry, sqlite, kxenv / registry, kxenv / sqlite);
    }
  }

 private:
  double At(const std::string& name) const {
    auto found = ns_.find(name);
    return found == ns_.end() ? 0 : found->second;
  }
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  const char* store = std::getenv("KX_REGISTRY");
  if (!store || !*store) Die("set KX_REGISTRY to an empty directory");
  benchmark::Initialize(&argc, argv);
  DefineVariable();
  DefineManyVariables();
  Bare twin(std::string(store) + "/kxenv_bare.db");
  bare = &twin;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatios();
  return 0;
}
