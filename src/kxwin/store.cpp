#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "internal.h"
#include "journal.h"
#include "objects.h"

namespace kxwin {
namespace {

// Version 2 is the registry's tables alone; 3 adds the journal's.
constexpr int kSchemaVersion = 3;
constexpr int kBusyTimeoutMs = kStoreBusyTimeoutMs;

// SQLite counts its allocations under a global mutex unless told otherwise:
// a lock for every allocation of every statement. Set when the library
// loads, before SQLite starts (refused, and harmless, when the program has
// started it already).
[[maybe_unused]] const int kNoMemoryStatistics =
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

constexpr const char* kSql[kStatementCount] = {
    /* kFindKey */ "SELECT id, path FROM keys WHERE fpath = ?1",
    /* kKeyExists */ "SELECT 1 FROM keys WHERE id = ?1",
    /* kInsertKey */
    "INSERT INTO keys(parent, name, path, fname, fpath) "
    "VALUES(?1, ?2, ?3, ?4, ?5)",
    /* kDeleteKey */ "DELETE FROM keys WHERE id = ?1",
    /* kDeleteChildren */ "DELETE FROM keys WHERE parent = ?1",
    /* kCountChildren */ "SELECT count(*) FROM keys WHERE parent = ?1",
    /* kChildAt */
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY fname LIMIT 1 OFFSET ?2",
    /* kChildAfter */
    "SELECT name FROM keys WHERE parent = ?1 AND fname > ?2 ORDER BY fname "
    "LIMIT 1",
    /* kGetValue */ "SELECT type, data FROM vals WHERE key = ?1 AND fname = ?2",
    /* kKeyValues */ "SELECT fname, type, data FROM vals WHERE key = ?1",
    /* kPathValues */
    "SELECT keys.id, vals.key IS NOT NULL, vals.fname, vals.type, vals.data"
    " FROM keys"
    " LEFT JOIN vals ON vals.key = keys.id WHERE keys.fpath = ?1",
    /* kSetValue */
    "INSERT INTO vals(key, name, fname, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, fname) DO UPDATE SET "
    "type = excluded.type, data = excluded.data",
    /* kDeleteValue */ "DELETE FROM vals WHERE key = ?1 AND fname = ?2",
    /* kDeleteValues */ "DELETE FROM vals WHERE key = ?1",
    /* kValueAt */
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 ORDER BY rowid "
    "LIMIT 1 OFFSET ?2",
    /* kValueAfter */
    "SELECT rowid, name, type, data FROM vals WHERE key = ?1 AND rowid > ?2 "
    "ORDER BY rowid LIMIT 1",
    /* kKeyInfo */
    "SELECT (SELECT count(*) FROM keys WHERE parent = ?1),"
    " (SELECT ifnull(max(length(CAST(name AS BLOB))), 0) FROM keys"
    "  WHERE parent = ?1),"
    " (SELECT count(*) FROM vals WHERE key = ?1),"
    " (SELECT ifnull(max(length(CAST(name AS BLOB))), 0) FROM vals"
    "  WHERE key = ?1),"
    " (SELECT ifnull(max(length(data)), 0) FROM vals WHERE key = ?1)",
    /* kDataVersion */ "PRAGMA data_version",
    /* kBegin */ "BEGIN IMMEDIATE",
    /* kBeginRead */ "BEGIN",
    /* kCommit */ "COMMIT",
    /* kRollback */ "ROLLBACK",
    /* kSavepoint */ "SAVEPOINT step",
    /* kRollbackTo */ "ROLLBACK TO step",
    /* kRelease */ "RELEASE step",
};

// Each name and path is stored as given and folded (FoldCase, computed
// once when it is written); lookups, uniqueness and the order of subkeys use
// the folded copies under SQLite's binary comparison, which orders them as
// CompareNoCase orders the names, so SQLite never calls back into the fold.
#define KX_KEYS_TABLE(name)                  \
  "CREATE TABLE " name                       \
  "(id INTEGER PRIMARY KEY AUTOINCREMENT,"   \
  " parent INTEGER REFERENCES " name         \
  "(id) ON DELETE CASCADE,"                  \
  " name TEXT NOT NULL, path TEXT NOT NULL," \
  " fname TEXT NOT NULL, fpath TEXT NOT NULL UNIQUE);"
#define KX_VALS_TABLE(name, keys)                               \
  "CREATE TABLE " name "(key INTEGER NOT NULL REFERENCES " keys \
  "(id) ON DELETE CASCADE,"                                     \
  " name TEXT NOT NULL, fname TEXT NOT NULL,"                   \
  " type INTEGER NOT NULL, data BLOB NOT NULL,"                 \
  " UNIQUE(key, fname));"
#define KX_KEYS_INDEX "CREATE INDEX keys_children ON keys(parent, fname);"

constexpr const char kSchema[] =
    KX_KEYS_TABLE("keys") KX_KEYS_INDEX KX_VALS_TABLE("vals", "keys")
    "INSERT INTO keys(id, parent, name, path, fname, fpath)"
    " VALUES(1, NULL, '', '', '', '');"
    "PRAGMA user_version = 2;";

// Schema 1 compared names through the KXNOCASE collation. Its tables are
// copied with the folded names added (rowids kept: they are the key ids and
// the order of values), the key ids' sequence is kept, so ids are still
// never reused, and the copies take the old names.
constexpr const char kMigrateFrom1[] =
    KX_KEYS_TABLE("keys2")
    "INSERT INTO keys2(id, parent, name, path, fname, fpath)"
    " SELECT id, parent, name, path, kxfold(name), kxfold(path) FROM keys;"
    KX_VALS_TABLE("vals2", "keys2")
    "INSERT INTO vals2(rowid, key, name, fname, type, data)"
    " SELECT rowid, key, name, kxfold(name), type, data FROM vals;"
    "CREATE TEMP TABLE kxseq AS SELECT seq FROM sqlite_sequence"
    " WHERE name = 'keys';"
    "DROP TABLE vals; DROP TABLE keys;"
    "ALTER TABLE keys2 RENAME TO keys; ALTER TABLE vals2 RENAME TO vals;"
    KX_KEYS_INDEX
    "UPDATE sqlite_sequence SET seq = max(seq, (SELECT seq FROM kxseq))"
    " WHERE name = 'keys';"
    "DROP TABLE kxseq;"
    "PRAGMA user_version = 2;";

#undef KX_KEYS_TABLE
#undef KX_VALS_TABLE
#undef KX_KEYS_INDEX

void FoldFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  auto* text = sqlite3_value_text(argv[0]);
  std::string folded =
      FoldCase({reinterpret_cast<const char*>(text),
                static_cast<size_t>(sqlite3_value_bytes(argv[0]))});
  sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()),
                      SQLITE_TRANSIENT);
}

// The comparison of schema 1, which a store of that schema needs until it
// is migrated; the current schema never calls it.
int CollateNoCase(void*, int left_size, const void* left, int right_size,
                  const void* right) {
  return CompareNoCase(
      {static_cast<const char*>(left), static_cast<size_t>(left_size)},
      {static_cast<const char*>(right), static_cast<size_t>(right_size)});
}

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int UserVersion(sqlite3* db, int* version) {
  sqlite3_stmt* statement = nullptr;
  int rc =
      sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr);
  if (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
    *version = sqlite3_column_int(statement, 0);
    rc = SQLITE_OK;
  }
  sqlite3_finalize(statement);
  return rc;
}

// Makes the schema in a fresh database, or brings one of schema 1 to the
// current one; a database of another schema is refused and left as it is.
// The write lock is taken before the version is read again: another
// process may have done the work while this one waited.
DWORD EnsureSchema(sqlite3* db) {
  int version = 0;
  int rc = UserVersion(db, &version);
  if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
  if (version == kSchemaVersion) return ERROR_SUCCESS;
  if (version < 0 || version > kSchemaVersion) return ERROR_BADDB;
  if ((rc = Exec(db, "BEGIN IMMEDIATE")) != SQLITE_OK) {
    return ErrorFromSqlite(rc);
  }
  if ((rc = UserVersion(db, &version)) == SQLITE_OK && version == 0) {
    sqlite3_stmt* probe = nullptr;
    rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema", -1,
                            &probe, nullptr);
    bool empty = rc == SQLITE_OK && sqlite3_step(probe) == SQLITE_ROW &&
                 sqlite3_column_int(probe, 0) == 0;
    sqlite3_finalize(probe);
    rc = empty ? Exec(db, kSchema) : SQLITE_NOTADB;
  } else if (rc == SQLITE_OK && version == 1) {
    rc = sqlite3_create_function(db, "kxfold", 1,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                 FoldFunction, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = Exec(db, kMigrateFrom1);
  } else if (rc == SQLITE_OK && version != 2 && version != kSchemaVersion) {
    rc = SQLITE_NOTADB;
  }
  if (rc == SQLITE_OK && version != kSchemaVersion) {
    rc = Exec(db, JournalSchema().c_str());
  }
  if (rc != SQLITE_OK) {
    Exec(db, "ROLLBACK");
    return ErrorFromSqlite(rc);
  }
  rc = Exec(db, "COMMIT");
  return ErrorFromSqlite(rc);
}

// Every user reads the store; only its owner writes it (the directory's
// mode is objects.cpp's).
constexpr mode_t kFileMode = 0644;
// A commit that leaves the WAL longer than this many pages copies it into
// registry.db (a passive checkpoint); a WAL file that grew longer than
// kWalSizeLimit is cut back to it once it is reused. A set writes two
// pages, its value's and its journal entry's: a checkpoint comes about
// every 128 sets.
constexpr int kWalCheckpointPages = 256;
constexpr int kWalSizeLimit = 1024 * 1024;

// Makes registry.db, when missing, with the store's file mode whatever the
// umask: SQLite gives the -wal and -shm files it makes the database's mode.
void CreateDatabaseFile(const std::string& path) {
  UniqueFd file(
      open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode));
  if (!file) return;  // there already, or SQLite says why it cannot open it
  fchmod(file.get(), kFileMode);
}

// Keeps the WAL short, and keeps the -wal and -shm files when the last
// connection closes (their mode lets users who may not write the directory
// read the store; SQLite would delete them and such a reader could not make
// them again).
int BoundWal(sqlite3* db) {
  int persist = 1;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  sqlite3_wal_autocheckpoint(db, kWalCheckpointPages);
  return Exec(
      db,
      ("PRAGMA journal_size_limit = " + std::to_string(kWalSizeLimit)).c_str());
}

DWORD OpenDatabaseOnce(sqlite3** out) {
  std::string dir = StoreDirectory();
  if (dir.empty()) return GetLastError();
  std::string path = dir + "/registry.db";
  CreateDatabaseFile(path);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_create_collation_v2(db, "KXNOCASE", SQLITE_UTF8, nullptr,
                                CollateNoCase, nullptr);
    rc = Exec(db,
              "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
              " PRAGMA foreign_keys = ON;");
  }
  if (rc == SQLITE_OK) rc = BoundWal(db);
  if (rc == SQLITE_OK) rc = OpenJournal(db);
  DWORD error = rc == SQLITE_OK ? EnsureSchema(db) : ErrorFromSqlite(rc);
  if (error != ERROR_SUCCESS) {
    sqlite3_close_v2(db);
    return error;
  }
  *out = db;
  return ERROR_SUCCESS;
}

// Processes that open a new store at the same moment contend for the
// switch to WAL and the making of the schema, and SQLite reports some of
// those conflicts as busy without waiting: such an open is tried again, for
// as long as a writer would wait.
DWORD OpenDatabase(sqlite3** out) {
  constexpr DWORD kRetryMs = 10;
  DWORD error = OpenDatabaseOnce(out);
  for (int waited = 0; error == ERROR_BUSY && waited < kBusyTimeoutMs;
       waited += kRetryMs) {
    Sleep(kRetryMs);
    error = OpenDatabaseOnce(out);
  }
  return error;
}

Connection* process_connection = nullptr;

// Guards the connections of finished transactions (idle and outside any
// transaction) and the list of every connection of the process. Like the
// process's connection they live as long as the process.
OwnedMutex pool_lock{LockRank::kPool};
std::vector<Connection*>& pool = *new std::vector<Connection*>;  // pool_lock
std::vector<Connection*>& all = *new std::vector<Connection*>;   // pool_lock

// Closes a connection; call with its lock held (the destructor, its last
// user, takes it too). An idle connection first copies the WAL into
// registry.db and cuts the WAL to nothing (a TRUNCATE checkpoint), so that
// once every process has closed the store, registry.db alone holds every
// committed change. It never waits: with no busy handler, a writer or a
// reader of an older snapshot in another process makes it a passive
// checkpoint that copies what it can, and the next commit or close does
// the rest.
void CloseDatabase(Connection& connection) {
  KX_ASSERT_LOCK(connection.lock.HeldByMe());
  for (auto*& statement : connection.statements) {
    sqlite3_finalize(statement);
    statement = nullptr;
  }
  if (connection.db && sqlite3_get_autocommit(connection.db)) {
    sqlite3_busy_timeout(connection.db, 0);
    sqlite3_wal_checkpoint_v2(connection.db, nullptr,
                              SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  sqlite3_close_v2(connection.db);
  connection.db = nullptr;
  connection.subkey_cursors.clear();
  connection.value_cursors.clear();
}

// Runs at exit, before the libraries' destructors: the process's idle
// connections are closed. A thread still running may open the store again
// afterwards; its reads leave the WAL as it is.
void CloseAtExit() {
  std::vector<Connection*> idle;
  {
    std::lock_guard guard(pool_lock);
    idle.swap(pool);
  }
  for (Connection* connection : idle) delete connection;
  std::lock_guard guard(process_connection->lock);
  CloseDatabase(*process_connection);
}

// In a forked child: the parent's SQLite handles must not be touched, not
// even closed (their locks are the parent's); they are left, and the
// connection opens anew when it is next used. Call with its lock held.
void ForgetParentDatabase(Connection& connection) {
  KX_ASSERT_LOCK(connection.lock.HeldByMe());
  connection.db = nullptr;
  for (auto& statement : connection.statements) statement = nullptr;
  connection.subkey_cursors.clear();  // they speak of the old one
  connection.value_cursors.clear();
}

}  // namespace

Connection::Connection() {
  std::lock_guard guard(pool_lock);
  all.push_back(this);
}

// Leaves the list holding its own lock, taken after pool_lock as the
// at-fork handler takes them, so that a fork never meets it half gone.
Connection::~Connection() {
  std::unique_lock guard(pool_lock);
  lock.lock();
  std::erase(all, this);
  guard.unlock();
  CloseDatabase(*this);
  lock.unlock();
}

Connection& ProcessConnection() {
  static std::once_flag once;
  std::call_once(once, [] {
    process_connection = new Connection;  // lives as long as the process
    std::atexit(CloseAtExit);
  });
  return *process_connection;
}

void LockConnectionsForFork() {
  pool_lock.lock();
  for (Connection* connection : all) connection->lock.lock();
}

void UnlockConnectionsAfterFork(bool in_child) {
  std::vector<Connection*> idle;
  for (Connection* connection : all) {
    if (in_child) ForgetParentDatabase(*connection);
    connection->lock.unlock();
  }
  if (in_child) idle.swap(pool);
  pool_lock.unlock();
  for (Connection* connection : idle) delete connection;
}

Connection& BorrowConnection() {
  ProcessConnection();  // installs the exit handler that closes the pool
  {
    std::lock_guard guard(pool_lock);
    if (!pool.empty()) {
      Connection* connection = pool.back();
      pool.pop_back();
      return *connection;
    }
  }
  return *new Connection;
}

void ReturnConnection(Connection& connection) {
  // Only a connection outside any transaction may serve the next one.
  if (connection.db && !sqlite3_get_autocommit(connection.db)) {
    delete &connection;
    return;
  }
  std::lock_guard guard(pool_lock);
  pool.push_back(&connection);
}

ConnectionLock::ConnectionLock(Connection& connection)
    : guard_(connection.lock) {
  if (!connection.db) error_ = OpenDatabase(&connection.db);
}

DWORD StoreError(Connection& connection, int rc) {
  if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) return ERROR_KEY_DELETED;
  (void)connection;
  return ErrorFromSqlite(rc);
}

namespace {

// Runs a statement that gives no rows (the transaction statements).
LSTATUS StepStatement(Connection& connection, Statement which) {
  Query query(connection, which);
  int rc = query.Step();
  return rc == SQLITE_DONE ? ERROR_SUCCESS : StoreError(connection, rc);
}

}  // namespace

LSTATUS BeginStoreTransaction(Connection& connection, bool read_only) {
  return StepStatement(connection, read_only ? kBeginRead : kBegin);
}

LSTATUS CommitStoreTransaction(Connection& connection) {
  LSTATUS status = StepStatement(connection, kCommit);
  if (status != ERROR_SUCCESS) StepStatement(connection, kRollback);
  return status;
}

void RollBackStoreTransaction(Connection& connection) {
  StepStatement(connection, kRollback);
}

LSTATUS BeginStep(Connection& connection) {
  return StepStatement(connection, kSavepoint);
}

void EndStep(Connection& connection, bool undo) {
  if (undo) StepStatement(connection, kRollbackTo);
  StepStatement(connection, kRelease);
}

Query::Query(Connection& connection, Statement which)
    : statement_(connection.statements[which]), connection_(connection) {
  KX_ASSERT_LOCK(connection.lock.HeldByMe());
  if (!statement_) {
    sqlite3_prepare_v3(connection.db, kSql[which], -1,
                       SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
    connection.statements[which] = statement_;
  }
}

Query::~Query() {
  if (!statement_) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Query& Query::Bind(int index, int64_t value) {
  if (statement_) sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Query& Query::Bind(int index, const std::string& text) {
  if (statement_) {
    sqlite3_bind_text(statement_, index, text.data(),
                      static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  return *this;
}

Query& Query::BindInPlace(int index, const std::string& text) {
  if (statement_) {
    sqlite3_bind_text(statement_, index, text.data(),
                      static_cast<int>(text.size()), SQLITE_STATIC);
  }
  return *this;
}

Query& Query::BindBlob(int index, const void* data, size_t size) {
  if (statement_) {
    // An empty value is a zero-length blob, never NULL.
    sqlite3_bind_blob64(statement_, index, size ? data : "", size,
                        SQLITE_TRANSIENT);
  }
  return *this;
}

int Query::Step() {
  if (!statement_)
    return sqlite3_errcode(connection_.db) == SQLITE_OK
               ? SQLITE_ERROR
               : sqlite3_errcode(connection_.db);
  return sqlite3_step(statement_);
}

int64_t Query::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Query::Text(int column) const {
  auto* text = sqlite3_column_text(statement_, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            sqlite3_column_bytes(statement_, column))
              : std::string();
}

const void* Query::Blob(int column) const {
  return sqlite3_column_blob(statement_, column);
}

size_t Query::Bytes(int column) const {
  return static_cast<size_t>(sqlite3_column_bytes(statement_, column));
}

}  // namespace kxwin
