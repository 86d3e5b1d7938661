// The registry calls of kxwin, each measured beside the bare SQLite
// statements it stands for.
//
// Absolute figures depend on the machine and on whatever else runs on it, so
// every kxwin benchmark has a bare twin measured in the same run, and the
// table printed at the end gives their ratio: that ratio is the cost of the
// layer. The bare side uses its own connection to a database of its own
// (bare.db beside registry.db in $KX_REGISTRY) with the same schema, journal
// mode and pragmas, but SQLite's built-in NOCASE collation.
//
// Notification latency needs a second process. Before this process touches
// kxwin or SQLite it forks a writer child, which thus starts with no store
// state of its own. The two talk through two pipes: the parent sends one
// command byte, the child answers with one byte where the protocol says so.
// The child stores the CLOCK_MONOTONIC time in a shared anonymous mapping
// right before each write; the parent reads the clock when it wakes, and the
// difference is the latency reported (manual timing).
//
//   open   the child opens its key and bare connection, writes once through
//          each so that the measured writes find everything warm, answers
//   kxwin  the child stamps and sets a value below the watched key; the
//          parent wakes from its registry watch (no answer)
//   bare   the child stamps, upserts on its bare connection, answers; the
//          parent wakes from reading the answer
//   quit   (or the end of the pipe) the child closes everything and exits
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kxwin/kxwin.h"

namespace {

constexpr char kValuesPath[] = "Bench\\Values";
constexpr char kWritePath[] = "Bench\\Write";
constexpr char kWatchedPath[] = "Bench\\Watched";
constexpr char kChildPath[] = "Bench\\Watched\\Child";
constexpr int kValueCount = 12;
constexpr int kWriteCount = 3;
constexpr int kRoundTrips = 5000;
constexpr double kMinSeconds = 0.5;
// A child that failed fails the run instead of hanging it.
constexpr DWORD kWakeTimeoutMs = 10000;

constexpr char kOpen = 'o';
constexpr char kKxwinWrite = 'k';
constexpr char kBareWrite = 'b';
constexpr char kQuit = 'q';
constexpr char kDone = 'd';

[[noreturn]] void Die(const char* what, const char* detail) {
  std::fprintf(stderr, "registry_bench: %s: %s\n", what, detail);
  std::fflush(stdout);
  _exit(1);  // no destructors: the other process may share their objects
}

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

struct Value {
  std::string name;
  std::string data;  // stored with its terminator, as REG_SZ is
};

// `count` values of ~20 bytes each, named prefix01, prefix02...
std::vector<Value> MakeValues(const char* prefix, int count) {
  std::vector<Value> values;
  for (int i = 1; i <= count; ++i) {
    char name[32], data[32];
    std::snprintf(name, sizeof name, "%s%02d", prefix, i);
    std::snprintf(data, sizeof data, "value of setting %02d", i);
    values.push_back({name, data});
  }
  return values;
}

DWORD DataSize(const Value& value) {
  return static_cast<DWORD>(value.data.size() + 1);
}

// ---- Holders --------------------------------------------------------------

class KeyHandle {
 public:
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (key_) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }
  PHKEY out() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { Close(); }
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct Pipe {
  Descriptor read, write;
};

Pipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) Die("pipe", "cannot make one");
  return {Descriptor(fds[0]), Descriptor(fds[1])};
}

bool WriteByte(const Descriptor& fd, char byte) {
  return write(fd.get(), &byte, 1) == 1;
}

bool ReadByte(const Descriptor& fd, char* byte) {
  return read(fd.get(), byte, 1) == 1;
}

class Database {
 public:
  explicit Database(const std::string& path);
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database() { sqlite3_close_v2(db_); }
  sqlite3* get() const { return db_; }
  void Exec(const char* sql);

 private:
  sqlite3* db_ = nullptr;
};

// The settings of kxwin's own connections, so that only the layer differs.
Database::Database(const std::string& path) {
  int rc = sqlite3_open_v2(
      path.c_str(), &db_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) Die("open bare database", sqlite3_errstr(rc));
  sqlite3_busy_timeout(db_, 30000);
  Exec(
      "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
      " PRAGMA foreign_keys = ON;");
}

void Database::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    Die(sql, sqlite3_errmsg(db_));
  }
}

class Statement {
 public:
  Statement(const Database& db, const char* sql) {
    if (sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT,
                           &statement_, nullptr) != SQLITE_OK) {
      Die(sql, sqlite3_errmsg(db.get()));
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(statement_); }
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// A clock reading shared with the child: it stores the time it starts a
// write, the parent reads it on waking. Zero means no write started.
class SharedClock {
 public:
  SharedClock() {
    void* address = mmap(nullptr, sizeof(Stamp), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) Die("mmap", "no shared clock");
    stamp_ = new (address) Stamp{0};
  }
  SharedClock(const SharedClock&) = delete;
  SharedClock& operator=(const SharedClock&) = delete;
  ~SharedClock() { munmap(stamp_, sizeof(Stamp)); }
  void Clear() { stamp_->store(0); }
  void StampNow() { stamp_->store(NowNs()); }
  int64_t Read() const { return stamp_->load(); }

 private:
  // Lock-free, so that it works across processes.
  using Stamp = std::atomic<int64_t>;
  static_assert(Stamp::is_always_lock_free);
  Stamp* stamp_ = nullptr;
};

// ---- The bare store ---------------------------------------------------------

constexpr char kBareSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS keys_children ON keys(parent, name);"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, name));"
    "INSERT OR IGNORE INTO keys(id, parent, name, path) VALUES(1, NULL, '', "
    "'');";

constexpr char kBareUpsert[] =
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(key, name) DO UPDATE SET "
    "type = excluded.type, data = excluded.data";

bool BareUpsert(const Statement& upsert, int64_t key, const Value& value) {
  sqlite3_stmt* statement = upsert.get();
  sqlite3_bind_int64(statement, 1, key);
  sqlite3_bind_text(statement, 2, value.name.data(),
                    static_cast<int>(value.name.size()), SQLITE_STATIC);
  sqlite3_bind_int(statement, 3, REG_SZ);
  sqlite3_bind_blob(statement, 4, value.data.c_str(),
                    static_cast<int>(DataSize(value)), SQLITE_STATIC);
  int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  return rc == SQLITE_DONE;
}

// The id of the key at `path`, 0 when there is none.
int64_t BareFindKey(const Database& db, const char* path) {
  Statement find(db, "SELECT id FROM keys WHERE path = ?1");
  sqlite3_bind_text(find.get(), 1, path, -1, SQLITE_STATIC);
  return sqlite3_step(find.get()) == SQLITE_ROW
             ? sqlite3_column_int64(find.get(), 0)
             : 0;
}

// Finds or adds the key at `path` (names separated by '\\'), and every key
// above it; returns its id.
int64_t BareCreatePath(const Database& db, const std::string& path) {
  Statement insert(db,
                   "INSERT INTO keys(parent, name, path) VALUES(?1, ?2, ?3)");
  int64_t parent = 1;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string prefix = path.substr(0, end);
    std::string name = path.substr(start, end - start);
    start = end + 1;
    if (int64_t id = BareFindKey(db, prefix.c_str())) {
      parent = id;
      continue;
    }
    sqlite3_bind_int64(insert.get(), 1, parent);
    sqlite3_bind_text(insert.get(), 2, name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert.get(), 3, prefix.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) {
      Die("insert bare key", sqlite3_errmsg(db.get()));
    }
    sqlite3_reset(insert.get());
    parent = sqlite3_last_insert_rowid(db.get());
  }
  return parent;
}

// ---- The writer child -------------------------------------------------------

// The child's end of the protocol at the top of this file.
class ChildWriter {
 public:
  ChildWriter(const std::string& bare_path, SharedClock& clock);
  bool KxwinWrite();
  bool BareWrite();

 private:
  SharedClock& clock_;
  Value value_ = MakeValues("Tick", 1)[0];
  KeyHandle key_;
  Database bare_;
  Statement upsert_;
  int64_t bare_key_;
};

ChildWriter::ChildWriter(const std::string& bare_path, SharedClock& clock)
    : clock_(clock),
      bare_(bare_path),
      upsert_(bare_, kBareUpsert),
      bare_key_(BareFindKey(bare_, kChildPath)) {
  if (!bare_key_) Die("child", "the bare key is missing");
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kChildPath, 0,
                                 KEY_SET_VALUE, key_.out());
  if (status != ERROR_SUCCESS) Die("child", "cannot open its key");
  // Its stamps are harmless: the parent clears the clock before each command.
  if (!KxwinWrite() || !BareWrite()) Die("child", "warm-up write failed");
}

bool ChildWriter::KxwinWrite() {
  clock_.StampNow();
  return RegSetValueExA(key_.get(), value_.name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value_.data.c_str()),
                        DataSize(value_)) == ERROR_SUCCESS;
}

bool ChildWriter::BareWrite() {
  clock_.StampNow();
  return BareUpsert(upsert_, bare_key_, value_);
}

// Serves commands until told to quit; the exit status of the child.
int ServeCommands(const Descriptor& commands, const Descriptor& answers,
                  SharedClock& clock, const std::string& bare_path) {
  char command;
  if (!ReadByte(commands, &command) || command != kOpen) return 0;
  ChildWriter writer(bare_path, clock);
  if (!WriteByte(answers, kDone)) return 1;
  while (ReadByte(commands, &command)) {
    if (command == kKxwinWrite) {
      if (!writer.KxwinWrite()) return 1;
    } else if (command == kBareWrite) {
      if (!writer.BareWrite() || !WriteByte(answers, kDone)) return 1;
    } else {
      return 0;
    }
  }
  return 0;
}

// The parent's end: forks the child at construction, ends it at
// destruction.
class WriterProcess {
 public:
  explicit WriterProcess(const std::string& bare_path);
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;
  ~WriterProcess();
  // Lets the child open the store, once the parent has made the keys.
  void Open();
  bool Send(char command) { return WriteByte(commands_, command); }
  bool AwaitAnswer() {
    char answer;
    return ReadByte(answers_, &answer) && answer == kDone;
  }
  SharedClock& clock() { return clock_; }

 private:
  SharedClock clock_;
  Descriptor commands_, answers_;
  pid_t pid_ = -1;
};

WriterProcess::WriterProcess(const std::string& bare_path) {
  Pipe commands = MakePipe(), answers = MakePipe();
  std::fflush(nullptr);  // or the child would print the parent's buffers
  pid_ = fork();
  if (pid_ < 0) Die("fork", "no writer child");
  if (pid_ == 0) {
    commands.write.Close();
    answers.read.Close();
    _exit(ServeCommands(commands.read, answers.write, clock_, bare_path));
  }
  commands_ = std::move(commands.write);
  answers_ = std::move(answers.read);
}

WriterProcess::~WriterProcess() {
  Send(kQuit);
  commands_.Close();
  int status = 0;
  waitpid(pid_, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "registry_bench: the writer child failed\n");
  }
}

void WriterProcess::Open() {
  if (!Send(kOpen) || !AwaitAnswer()) Die("writer child", "did not open");
}

// ---- The stores the benchmarks work on -------------------------------------

bool KxwinSet(HKEY key, const Value& value) {
  return RegSetValueExA(key, value.name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.data.c_str()),
                        DataSize(value)) == ERROR_SUCCESS;
}

void KxwinCreateKey(const char* path, KeyHandle& key) {
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
    Die("cannot create key", path);
  }
}

// The same keys and values in kxwin's store and in the bare one.
struct Fixture {
  explicit Fixture(const std::string& bare_path);
  void FillKxwin();
  void FillBare();

  std::vector<Value> values = MakeValues("Setting", kValueCount);
  std::vector<Value> writes = MakeValues("Written", kWriteCount);
  KeyHandle read_key, write_key, watched_key;
  Handle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  Database bare;
  int64_t bare_read_key = 0, bare_write_key = 0;
};

Fixture::Fixture(const std::string& bare_path) : bare(bare_path) {
  if (!event.get()) Die("CreateEventA", "failed");
  FillKxwin();
  FillBare();
}

void Fixture::FillKxwin() {
  KeyHandle child;
  KxwinCreateKey(kValuesPath, read_key);
  KxwinCreateKey(kWritePath, write_key);
  KxwinCreateKey(kWatchedPath, watched_key);
  KxwinCreateKey(kChildPath, child);
  for (const Value& value : values) {
    if (!KxwinSet(read_key.get(), value)) Die("RegSetValueExA", "failed");
  }
}

void Fixture::FillBare() {
  bare.Exec(kBareSchema);
  bare_read_key = BareCreatePath(bare, kValuesPath);
  bare_write_key = BareCreatePath(bare, kWritePath);
  BareCreatePath(bare, kChildPath);
  Statement upsert(bare, kBareUpsert);
  for (const Value& value : values) {
    if (!BareUpsert(upsert, bare_read_key, value)) Die("bare upsert", "failed");
  }
}

// The bare side's statements, prepared once as kxwin prepares its own.
struct BareStatements {
  explicit BareStatements(const Database& db)
      : select_all(db, "SELECT name, type, data FROM vals WHERE key = ?1"),
        select_one(db,
                   "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2"),
        upsert(db, kBareUpsert),
        begin(db, "BEGIN IMMEDIATE"),
        commit(db, "COMMIT") {}
  Statement select_all, select_one, upsert, begin, commit;
};

// ---- Reading the values of a key -------------------------------------------

// Every value of `key` by index, as a caller listing a key does.
bool KxwinEnumerate(HKEY key) {
  char name[64];
  BYTE data[64];
  for (DWORD index = 0;; ++index) {
    DWORD name_length = sizeof name, data_size = sizeof data, type;
    LSTATUS status = RegEnumValueA(key, index, name, &name_length, nullptr,
                                   &type, data, &data_size);
    if (status == ERROR_NO_MORE_ITEMS) return index == kValueCount;
    if (status != ERROR_SUCCESS) return false;
    benchmark::DoNotOptimize(data);
  }
}

bool KxwinQueryByName(HKEY key, const std::vector<Value>& values) {
  BYTE data[64];
  for (const Value& value : values) {
    DWORD data_size = sizeof data, type;
    if (RegQueryValueExA(key, value.name.c_str(), nullptr, &type, data,
                         &data_size) != ERROR_SUCCESS) {
      return false;
    }
    benchmark::DoNotOptimize(data);
  }
  return true;
}

// The bare side reads the columns where SQLite holds them; kxwin's copies
// into the caller's buffers are part of what the ratio shows.
void UseColumns(sqlite3_stmt* statement, int first) {
  benchmark::DoNotOptimize(sqlite3_column_int(statement, first));
  benchmark::DoNotOptimize(sqlite3_column_blob(statement, first + 1));
  benchmark::DoNotOptimize(sqlite3_column_bytes(statement, first + 1));
}

bool BareEnumerate(const Statement& select_all, int64_t key) {
  sqlite3_stmt* statement = select_all.get();
  sqlite3_bind_int64(statement, 1, key);
  int rc, rows = 0;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    benchmark::DoNotOptimize(sqlite3_column_text(statement, 0));
    UseColumns(statement, 1);
    ++rows;
  }
  sqlite3_reset(statement);
  return rc == SQLITE_DONE && rows == kValueCount;
}

bool BareQueryByName(const Statement& select_one, int64_t key,
                     const std::vector<Value>& values) {
  sqlite3_stmt* statement = select_one.get();
  sqlite3_bind_int64(statement, 1, key);  // kept across resets
  for (const Value& value : values) {
    sqlite3_bind_text(statement, 2, value.name.data(),
                      static_cast<int>(value.name.size()), SQLITE_STATIC);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) UseColumns(statement, 0);
    sqlite3_reset(statement);
    if (rc != SQLITE_ROW) return false;
  }
  return true;
}

// ---- Writing values ---------------------------------------------------------

bool KxwinSetAll(HKEY key, const std::vector<Value>& values) {
  for (const Value& value : values) {
    if (!KxwinSet(key, value)) return false;
  }
  return true;
}

// The whole bracket a caller writes, so its setup and commit are counted.
bool KxwinSetInTransaction(const std::vector<Value>& values) {
  Handle transaction(CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
  if (transaction.get() == INVALID_HANDLE_VALUE) return false;
  KeyHandle key;
  if (RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, kWritePath, 0, KEY_SET_VALUE,
                            key.out(), transaction.get(),
                            nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return KxwinSetAll(key.get(), values) && CommitTransaction(transaction.get());
}

bool BareSetAll(const Statement& upsert, int64_t key,
                const std::vector<Value>& values) {
  for (const Value& value : values) {
    if (!BareUpsert(upsert, key, value)) return false;
  }
  return true;
}

bool StepOnce(const Statement& statement) {
  int rc = sqlite3_step(statement.get());
  sqlite3_reset(statement.get());
  return rc == SQLITE_DONE;
}

bool BareSetInTransaction(const BareStatements& bare, int64_t key,
                          const std::vector<Value>& values) {
  if (!StepOnce(bare.begin)) return false;
  if (BareSetAll(bare.upsert, key, values) && StepOnce(bare.commit)) {
    return true;
  }
  sqlite3_exec(sqlite3_db_handle(bare.begin.get()), "ROLLBACK", nullptr,
               nullptr, nullptr);
  return false;
}

// ---- Seeing another process's write -----------------------------------------

// Reports the time from the child's stamp to now as this iteration's time.
bool RecordLatency(benchmark::State& state, const SharedClock& clock) {
  int64_t woke = NowNs();
  int64_t started = clock.Read();
  if (started == 0) return false;
  state.SetIterationTime(static_cast<double>(woke - started) * 1e-9);
  return true;
}

bool KxwinRoundTrip(benchmark::State& state, const Fixture& fixture,
                    WriterProcess& writer) {
  writer.clock().Clear();
  ResetEvent(fixture.event.get());
  if (RegNotifyChangeKeyValue(fixture.watched_key.get(), TRUE,
                              REG_NOTIFY_CHANGE_LAST_SET, fixture.event.get(),
                              TRUE) != ERROR_SUCCESS ||
      !writer.Send(kKxwinWrite) ||
      WaitForSingleObject(fixture.event.get(), kWakeTimeoutMs) !=
          WAIT_OBJECT_0) {
    return false;
  }
  return RecordLatency(state, writer.clock());
}

bool BareRoundTrip(benchmark::State& state, WriterProcess& writer) {
  writer.clock().Clear();
  if (!writer.Send(kBareWrite) || !writer.AwaitAnswer()) return false;
  return RecordLatency(state, writer.clock());
}

// ---- Registration and the table of ratios ----------------------------------

constexpr char kEnumerate[] = "EnumerateValues";
constexpr char kQueryByName[] = "QueryValuesByName";
constexpr char kSetThree[] = "SetThreeValues";
constexpr char kSetThreeTransacted[] = "SetThreeValuesInTransaction";
constexpr char kNotify[] = "NotifyAcrossProcesses";

struct Pair {
  const char* name;
  const char* operation;
};
constexpr Pair kPairs[] = {
    {kEnumerate, "enumerate 12 values"},
    {kQueryByName, "query 12 values by name"},
    {kSetThree, "set 3 values, one by one"},
    {kSetThreeTransacted, "set 3 values in a transaction"},
    {kNotify, "change seen by another process"},
};

std::string BenchmarkName(const char* pair, const char* side) {
  return std::string(pair) + "/" + side;
}

// Runs `step` once per iteration; a failed step ends the benchmark.
template <typename Step>
benchmark::internal::Benchmark* Register(const char* pair, const char* side,
                                         const char* failure, Step step) {
  return benchmark::RegisterBenchmark(BenchmarkName(pair, side).c_str(),
                                      [failure, step](benchmark::State& state) {
                                        for (auto _ : state) {
                                          if (!step(state)) {
                                            state.SkipWithError(failure);
                                            break;
                                          }
                                        }
                                      });
}

void RegisterReads(const Fixture& f, const BareStatements& bare) {
  Register(kEnumerate, "kxwin", "RegEnumValueA failed", [&f](auto&) {
    return KxwinEnumerate(f.read_key.get());
  })->MinTime(kMinSeconds);
  Register(kEnumerate, "bare", "select failed", [&](auto&) {
    return BareEnumerate(bare.select_all, f.bare_read_key);
  })->MinTime(kMinSeconds);
  Register(kQueryByName, "kxwin", "RegQueryValueExA failed", [&f](auto&) {
    return KxwinQueryByName(f.read_key.get(), f.values);
  })->MinTime(kMinSeconds);
  Register(kQueryByName, "bare", "select failed", [&](auto&) {
    return BareQueryByName(bare.select_one, f.bare_read_key, f.values);
  })->MinTime(kMinSeconds);
}

void RegisterWrites(const Fixture& f, const BareStatements& bare) {
  Register(kSetThree, "kxwin", "RegSetValueExA failed", [&f](auto&) {
    return KxwinSetAll(f.write_key.get(), f.writes);
  })->MinTime(kMinSeconds);
  Register(kSetThree, "bare", "upsert failed", [&](auto&) {
    return BareSetAll(bare.upsert, f.bare_write_key, f.writes);
  })->MinTime(kMinSeconds);
  Register(kSetThreeTransacted, "kxwin", "transaction failed", [&f](auto&) {
    return KxwinSetInTransaction(f.writes);
  })->MinTime(kMinSeconds);
  Register(kSetThreeTransacted, "bare", "transaction failed", [&](auto&) {
    return BareSetInTransaction(bare, f.bare_write_key, f.writes);
  })->MinTime(kMinSeconds);
}

void RegisterNotifications(const Fixture& f, WriterProcess& writer) {
  Register(
      kNotify, "kxwin", "no notification",
      [&](benchmark::State& state) { return KxwinRoundTrip(state, f, writer); })
      ->UseManualTime()
      ->Iterations(kRoundTrips);
  Register(
      kNotify, "bare", "no answer",
      [&](benchmark::State& state) { return BareRoundTrip(state, writer); })
      ->UseManualTime()
      ->Iterations(kRoundTrips);
}

// Prints as the console reporter does, and keeps each benchmark's time per
// iteration for the table of ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  RecordingReporter()
      : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      nanoseconds_[run.run_name.function_name] =
          run.GetAdjustedRealTime() * 1e9 /
          benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  std::optional<double> Nanoseconds(const std::string& name) const {
    auto found = nanoseconds_.find(name);
    if (found == nanoseconds_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::string, double> nanoseconds_;
};

void PrintRatios(const RecordingReporter& reporter) {
  std::printf("\n%-32s %12s %12s %8s\n", "operation", "kxwin ns", "bare ns",
              "ratio");
  for (const Pair& pair : kPairs) {
    auto kxwin = reporter.Nanoseconds(BenchmarkName(pair.name, "kxwin"));
    auto bare = reporter.Nanoseconds(BenchmarkName(pair.name, "bare"));
    if (!kxwin || !bare) continue;  // filtered out or failed
    std::printf("%-32s %12.0f %12.0f %8.2f\n", pair.operation, *kxwin, *bare,
                *kxwin / *bare);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* store = std::getenv("KX_REGISTRY");
  if (!store || !*store) {
    std::fprintf(stderr,
                 "registry_bench: set KX_REGISTRY to an empty directory "
                 "(scripts/bench does)\n");
    return 2;
  }
  // A child that ended shows as a failed write, not as a killed parent.
  signal(SIGPIPE, SIG_IGN);
  std::string bare_path = std::string(store) + "/bare.db";
  WriterProcess writer(bare_path);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Fixture fixture(bare_path);
  BareStatements bare(fixture.bare);
  writer.Open();
  RegisterReads(fixture, bare);
  RegisterWrites(fixture, bare);
  RegisterNotifications(fixture, writer);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintRatios(reporter);
  return 0;
}
