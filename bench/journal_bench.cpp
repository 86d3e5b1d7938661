// The change journal read back: `kxenv history NAME` on a journal of
// KXB_ENTRIES entries (1,000,000) spread over KXB_NAMES variables (10,000),
// beside the tool's start alone (`kxenv --version`, the floor of a run of
// the tool); kxwin's read of the same entries beside the bare SQLite
// statement of it on a connection of its own. The entries are written
// straight into the store's journal table in one transaction and indexed,
// the bounds raised first so that no writer prunes them meanwhile.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kxenv/kxenv.h"
#include "kxwin/kxwin.h"
#include "medians.h"

extern char** environ;

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "journal_bench: %s\n", what);
  std::exit(1);
}

int Scale(const char* variable, int otherwise) {
  const char* text = std::getenv(variable);
  return text && *text ? std::atoi(text) : otherwise;
}

constexpr char kName[] = "WALK_004711";

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", sql.c_str(), error);
    Die("cannot fill the journal");
  }
}

// The journal's entries, made by the library's schema and then filled.
void Fill(sqlite3* db) {
  if (KXsetenv("WALK_000000", "first") != 0) Die("set failed");
  int entries = Scale("KXB_ENTRIES", 1000000);
  int names = Scale("KXB_NAMES", 10000);
  Exec(db, "UPDATE journal_settings SET keep_entries = 1000000000");
  Exec(db,
       "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
       "WHERE i < " +
           std::to_string(entries) +
           ") INSERT INTO journal(time, user, uid, program, pid, machine, "
           "fkey, name, fname, old_type, old, new_type, new) SELECT "
           "1770000000000000 + i * 1000, 'root', 0, 'bench', 4242, 'host', "
           "printf('ENV\\WALK_%06d', i % " +
           std::to_string(names) +
           "), 'Local', 'LOCAL', 1, CAST(printf('value %d', i - 1) AS BLOB), "
           "1, CAST(printf('value %d', i) AS BLOB) FROM n; COMMIT");
  // Indexed, as the writers' own threads leave a journal between runs.
  Exec(db,
       "INSERT OR IGNORE INTO journal_names SELECT fkey, id FROM journal; "
       "UPDATE "
       "journal_settings SET indexed = (SELECT max(id) FROM journal)");
}

// Runs the tool with `args`, its output thrown away, to its end.
void RunTool(const std::vector<std::string>& args) {
  std::vector<char*> argv = {const_cast<char*>(KXB_TOOL)};
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawn(&pid, KXB_TOOL, &actions, nullptr, argv.data(), environ)) {
    Die("cannot start the tool");
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("the tool failed");
}

void History_kxenv(benchmark::State& state) {
  for (auto _ : state) RunTool({"history", kName});
}

void History_start(benchmark::State& state) {
  for (auto _ : state) RunTool({"--version"});
}

void Read_kxwin(benchmark::State& state) {
  KXWIN_JOURNAL_FILTER filter{};
  std::string key = std::string("ENV\\") + kName;
  filter.key = key.c_str();
  for (auto _ : state) {
    int count = 0;
    KxwinReadJournal(
        &filter,
        [](const KXWIN_JOURNAL_ENTRY*, void* data) -> BOOL {
          ++*static_cast<int*>(data);
          return TRUE;
        },
        &count);
    if (count == 0) state.SkipWithError("no entry");
  }
}

sqlite3_stmt* bare = nullptr;

void Read_sqlite(benchmark::State& state) {
  for (auto _ : state) {
    while (sqlite3_step(bare) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_blob(bare, 12));
    }
    sqlite3_reset(bare);
  }
}

void Row(const MedianReporter& medians, const char* call, const char* kxenv,
         const char* floor, const char* target) {
  if (!medians.Has(kxenv) || !medians.Has(floor)) return;
  double measured = medians.At(kxenv), base = medians.At(floor);
  std::printf("%-36s %12.1f %12.1f %8.2f  %s\n", call, measured, base,
              base > 0 ? measured / base : 0, target);
}

void PrintTable(const MedianReporter& medians) {
  std::printf("\n%-36s %12s %12s %8s  %s\n", "call (median)", "ns", "floor ns",
              "ratio", "target");
  Row(medians, "kxenv history NAME (1M entries)", "History_kxenv",
      "History_start", "< 20 ms in all");
  Row(medians, "read of one name's entries", "Read_kxwin", "Read_sqlite", "");
}

}  // namespace

int main(int argc, char** argv) {
  const char* dir = std::getenv("KX_REGISTRY");
  if (!dir) Die("KX_REGISTRY names no store");
  sqlite3* db = nullptr;
  std::string path = std::string(dir) + "/registry.db";
  KXgetenv("WALK_000000");  // makes the store
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
    Die("cannot open the store");
  sqlite3_busy_timeout(db, 30000);
  Fill(db);
  if (sqlite3_prepare_v2(db,
                         "SELECT j.id, j.time, j.user, j.uid, j.program, "
                         "j.pid, j.machine, j.fkey, j.name, j.old_type, j.old, "
                         "j.new_type, j.new FROM journal_names n JOIN journal "
                         "j ON j.id = n.id WHERE n.fkey = 'ENV\\WALK_004711' "
                         "ORDER BY n.id DESC",
                         -1, &bare, nullptr) != SQLITE_OK) {
    Die("cannot prepare the bare read");
  }
  benchmark::Initialize(&argc, argv);
  auto repeat = [](benchmark::internal::Benchmark* b) {
    return b->Repetitions(5)->ReportAggregatesOnly(true)->Unit(
        benchmark::kMillisecond);
  };
  repeat(benchmark::RegisterBenchmark("History_kxenv", History_kxenv));
  repeat(benchmark::RegisterBenchmark("History_start", History_start));
  repeat(benchmark::RegisterBenchmark("Read_kxwin", Read_kxwin));
  repeat(benchmark::RegisterBenchmark("Read_sqlite", Read_sqlite));
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTable(reporter);
  sqlite3_finalize(bare);
  sqlite3_close(db);
  return 0;
}
