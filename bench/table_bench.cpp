// Loading a table of 5,000 variable rows, into an empty store and into a
// store that already holds them, beside the bare cost of writing the same
// definitions: with the support library's requests (two keys per row, as the
// loader writes them, without its gets and carried values), and with bare
// SQLite statements (one transaction per row) on a database of its own.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "kxenv/kxenv.h"
#include "kxwin/kxwin.h"
#include "store_layout.h"
#include "zrnapi/zrnapi.h"

namespace {

constexpr int kRows = 5000;
constexpr int kApplications = 10;
namespace layout = kx::layout;
using layout::kStoreKey;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "table_bench: %s\n", what);
  std::exit(1);
}

std::string VariableName(int row) {
  char name[32];
  std::snprintf(name, sizeof name, "BENCH_VAR_%04d", row);
  return name;
}

std::string ApplicationName(int row) {
  return "BENCHAPP" + std::to_string(row % kApplications);
}

// The product directory with the table and a control file that selects
// every application.
std::string control_path;

void WriteTable(const std::string& directory) {
  std::ofstream table(directory + "/kxenv.tab");
  std::ofstream control(directory + "/kxenv.ctl");
  control << "EnabledForProcessing=yes\n";
  for (int app = 0; app < kApplications; ++app) {
    table << "\"APP\" \"BENCHAPP" << app << "\" \"%s<" << app + 1 << ">\"\n";
    control << "CopyGroup=BENCHAPP" << app << "\n";
  }
  for (int row = 0; row < kRows; ++row) {
    table << "\"" << (row % 2 ? "OPT" : "ENV") << "\" \"" << VariableName(row)
          << "\" \"" << ApplicationName(row) << "\" \"%s<" << row % 464 + 1
          << ">\" \"64\" \"STRING\" \"LIST\" \"a|b|c\" \"a\" \"Y\" \"N\"\n";
  }
  control_path = directory + "/kxenv.ctl";
}

void DeleteStore() {
  LSTATUS status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStoreKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    Die("cannot empty the store");
}

void LoadEmpty_kxenv(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    DeleteStore();
    state.ResumeTiming();
    if (KXloadenvtab(control_path.c_str()) != 0) state.SkipWithError("load");
  }
}

void LoadLoaded_kxenv(benchmark::State& state) {
  if (KXloadenvtab(control_path.c_str()) != 0) state.SkipWithError("load");
  for (auto _ : state) {
    if (KXloadenvtab(control_path.c_str()) != 0) state.SkipWithError("load");
  }
}

// The definitions alone, as the loader's registry requests write them.
void Define_registry(benchmark::State& state) {
  DWORD number = 1;
  char empty[] = "", text[] = "a", choices[] = "a\0b\0c\0";
  for (auto _ : state) {
    state.PauseTiming();
    DeleteStore();  // into an empty store, as the load it is compared with
    state.ResumeTiming();
    for (int row = 0; row < kRows; ++row) {
      std::string keyword = row % 2 ? "OPT" : "ENV";
      std::string name = VariableName(row);
      std::string member = std::string(kStoreKey) + "\\APP\\" +
                           ApplicationName(row) + "\\" + keyword;
      std::string variable =
          std::string(kStoreKey) + "\\" + keyword + "\\" + name;
      std::string app = ApplicationName(row);
      RegistryValue member_values[] = {{name.c_str(), REG_SZ, empty, 0}, {}};
      RegistryValue definition[] = {
          {layout::kDefault, REG_SZ, text, 0},
          {layout::kApp, REG_SZ, app.data(), 0},
          {layout::kChoices, REG_MULTI_SZ, choices, 0},
          {layout::kChoiceType, REG_SZ, text, 0},
          {layout::kDataType, REG_SZ, text, 0},
          {layout::kDescription, REG_DWORD, &number, 0},
          {layout::kMaxSize, REG_DWORD, &number, 0},
          {layout::kReadOnly, REG_DWORD, &number, 0},
          {layout::kSensitive, REG_DWORD, &number, 0},
          {}};
      RegistryRequest request[] = {
          {HKEY_LOCAL_MACHINE, member.c_str(), 0, nullptr, member_values},
          {HKEY_LOCAL_MACHINE, variable.c_str(), 0, nullptr, definition},
          {}};
      if (!CreateRegistry(request)) state.SkipWithError("CreateRegistry");
    }
  }
}

// The same rows with bare statements: two keys and ten values a row.
void Define_sqlite(benchmark::State& state) {
  sqlite3* db = nullptr;
  std::string path = std::string(std::getenv("KX_REGISTRY")) + "/bare.db";
  if (sqlite3_open(path.c_str(), &db) ||
      sqlite3_exec(
          db,
          "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
          "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, "
          "path TEXT COLLATE NOCASE UNIQUE);"
          "CREATE TABLE IF NOT EXISTS vals(key INTEGER, name TEXT "
          "COLLATE NOCASE, type INTEGER, data BLOB, UNIQUE(key, name));",
          nullptr, nullptr, nullptr)) {
    Die("cannot open the bare database");
  }
  sqlite3_stmt *key = nullptr, *value = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO keys(path) VALUES(?1) ON CONFLICT(path) DO "
                     "UPDATE SET path = excluded.path RETURNING id",
                     -1, &key, nullptr);
  sqlite3_prepare_v2(
      db,
      "INSERT INTO vals VALUES(?1, ?2, 1, 'a') ON CONFLICT(key, name) "
      "DO UPDATE SET data = excluded.data",
      -1, &value, nullptr);
  static const char* const kValueNames[] = {"v0", "v1", "v2", "v3", "v4",
                                            "v5", "v6", "v7", "v8"};
  auto write_key = [&](const std::string& path, int values) {
    sqlite3_bind_text(key, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(key);
    sqlite3_int64 id = sqlite3_column_int64(key, 0);
    sqlite3_reset(key);
    for (int v = 0; v < values; ++v) {
      sqlite3_bind_int64(value, 1, id);
      sqlite3_bind_text(value, 2, kValueNames[v], -1, SQLITE_STATIC);
      sqlite3_step(value);
      sqlite3_reset(value);
    }
  };
  for (auto _ : state) {
    for (int row = 0; row < kRows; ++row) {
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      write_key("APP\\" + ApplicationName(row) + "\\ENV", 1);
      write_key("ENV\\" + VariableName(row), 9);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_finalize(key);
  sqlite3_finalize(value);
  sqlite3_close(db);
}

BENCHMARK(LoadEmpty_kxenv)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadLoaded_kxenv)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(Define_registry)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(Define_sqlite)->Iterations(2)->Unit(benchmark::kMillisecond);

class PerRowReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      us_[run.run_name.function_name] =
          run.GetAdjustedRealTime() /
          benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e6 / kRows;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintPerRow() const {
    double registry = At("Define_registry"), sqlite = At("Define_sqlite");
    std::printf("\n%-18s %10s %10s %10s\n", "per row", "us", "/registry",
                "/sqlite");
    for (const char* name : {"LoadEmpty_kxenv", "LoadLoaded_kxenv",
                             "Define_registry", "Define_sqlite"}) {
      double us = At(name);
      if (us == 0) continue;  // filtered out
      std::printf("%-18s %10.1f %10.2f %10.2f\n", name, us,
                  registry ? us / registry : 0, sqlite ? us / sqlite : 0);
    }
  }

 private:
  double At(const std::string& name) const {
    auto found = us_.find(name);
    return found == us_.end() ? 0 : found->second;
  }
  std::map<std::string, double> us_;
};

}  // namespace

int main(int argc, char** argv) {
  const char* store = std::getenv("KX_REGISTRY");
  if (!store || !*store) Die("set KX_REGISTRY to an empty directory");
  std::string directory = std::string(store) + "/global";
  std::filesystem::create_directories(directory);
  setenv("KXIGLBL0000", directory.c_str(), 1);
  WriteTable(directory);
  benchmark::Initialize(&argc, argv);
  PerRowReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintPerRow();
  return 0;
}
