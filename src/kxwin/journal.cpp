// The change journal: an entry for every change of a value below one key
// (the journalled key, which the layers above name), written in the same
// SQLite transaction as the change itself.
//
// Who writes. Every writer of the store goes through a kxwin connection,
// but not all through one function: a set, a request of the support
// library, a restore, the fleet agent, a key deleted with its subtree (the
// values go by the foreign keys' cascade). So the entries are written by
// triggers on the `vals` and `keys` tables, kept in the schema itself
// (journal_settings says which key they were made for): a change cannot
// reach the tables without its trigger running inside the same statement,
// and SQLite commits or rolls back both together. A process killed at any
// moment, or a full disk, leaves the change with its entry or neither. The
// triggers call functions that each connection registers when it opens
// (OpenJournal): the time, who and where (user, program, machine, and the
// fleet source that the agent sets for its thread), and the bookkeeping
// below. A connection without them (an older kxwin, the sqlite3 shell)
// cannot change a journalled value at all.
//
// One entry per value and transaction. A transaction may change a value
// twice: a restore that replaces the store deletes every key and writes
// them again, the agent rewrites an application's memberships. The entries
// of a transaction are those from its first one on (ids only grow, and the
// store's write lock keeps transactions apart), so each trigger first looks
// for an entry of its value at or after that id: found, it takes the new
// data there instead of adding one, and drops the entry if the value is
// back as it was. kx_journal_open tells a connection where its transaction's
// entries begin; kx_journal_floor answers, for later changes of the same
// transaction, from where to look (NULL in the first one, so that a lone
// change costs no lookup); the commit and rollback hooks end it.
//
// What is journalled: the values below the journalled key and the key's
// own, as stored (a sensitive value scrambled), but not the values the
// layers above name as bookkeeping (a set's LastUser and TimeStamp: the
// entry carries both). The agent's own state and the journal are outside it.
#include "journal.h"

#include <errno.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "store.h"

namespace kxwin {

std::string JournalSchema() {
  return
      // id: one more than the greatest so far; the newest entry is never
      // forgotten, so an id is never given twice. time: microseconds since
      // 1970 UTC, one per transaction. fkey: the key below the journalled
      // one, folded, '' for that key itself. old and new are NULL (with
      // their types) for a value that was not there.
      "CREATE TABLE journal(id INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
      " user TEXT NOT NULL, uid INTEGER NOT NULL, program TEXT NOT NULL,"
      " pid INTEGER NOT NULL, machine TEXT NOT NULL, fleet TEXT,"
      " revision INTEGER, origin TEXT, fkey TEXT NOT NULL,"
      " name TEXT NOT NULL, fname TEXT NOT NULL, old_type INTEGER, old BLOB,"
      " new_type INTEGER, new BLOB);"
      "CREATE INDEX journal_keys ON journal(fkey, id);"
      // One row: the journalled key (folded; '' while none is), the value
      // names left out (an SQL list), the version of the triggers made for
      // them, the bounds, and the greatest id forgotten so far.
      "CREATE TABLE journal_settings(one INTEGER PRIMARY KEY CHECK(one = 1),"
      " fkey TEXT NOT NULL, skipped TEXT NOT NULL, triggers INTEGER NOT NULL,"
      " keep_entries INTEGER NOT NULL, keep_days INTEGER NOT NULL,"
      " pruned INTEGER NOT NULL);"
      "INSERT INTO journal_settings VALUES(1, '', '', 0, " +
      std::to_string(KXWIN_JOURNAL_KEEP_ENTRIES) + ", " +
      std::to_string(KXWIN_JOURNAL_KEEP_DAYS) +
      ", 0);"
      "PRAGMA user_version = 3;";
}

namespace {

// Bumped whenever the triggers below change: a store whose triggers are
// older gets new ones from the next KxwinJournalKey.
constexpr int kTriggerVersion = 1;

// ---- Who and where -------------------------------------------------------

// The fleet change that this thread writes, if any (KxwinJournalSource).
struct Source {
  std::string fleet;  // empty: local
  int64_t revision = 0;
  std::string origin;
};
thread_local Source source;

// The name of a user, looked up once per user: a transaction must not read
// the password database.
std::string UserName(uid_t uid) {
  static std::mutex lock;
  static uid_t cached_uid = static_cast<uid_t>(-1);
  static std::string& cached = *new std::string;  // lock
  std::lock_guard guard(lock);
  if (uid != cached_uid) {
    char name[256] = "";
    DWORD size = sizeof name;
    cached = GetUserNameA(name, &size) ? name : std::to_string(uid);
    cached_uid = uid;
  }
  return cached;
}

const std::string& MachineName() {
  static const std::string& name = *new std::string([] {
    char text[256] = "";
    DWORD size = sizeof text;
    return GetComputerNameA(text, &size) ? std::string(text) : std::string();
  }());
  return name;
}

// ---- A connection's open transaction -------------------------------------

// Where the entries of a connection's open transaction begin, and who made
// it. Touched only by SQLite's calls of the functions and hooks below,
// which run inside the connection's statements, under its lock.
struct OpenEntries {
  bool open = false;     // the transaction has journalled
  bool earlier = false;  // ... before the trigger that runs now
  int64_t floor = 0;     // the id of its first entry
  int64_t time = 0;
  uid_t uid = 0;
  pid_t pid = 0;
  std::string user;
};

OpenEntries& EntriesOf(sqlite3_context* context) {
  return *static_cast<OpenEntries*>(sqlite3_user_data(context));
}

int64_t MicrosecondsNow() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch())
      .count();
}

// kx_journal_open(next id): called by each trigger that journals, first.
void OpenFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  OpenEntries& entries = EntriesOf(context);
  if (entries.open) {
    entries.earlier = true;
    return;
  }
  entries.open = true;
  entries.earlier = false;
  entries.floor = sqlite3_value_int64(argv[0]);
  entries.time = MicrosecondsNow();
  entries.uid = geteuid();
  entries.pid = getpid();
  entries.user = UserName(entries.uid);
}

// kx_journal_floor(): the first id of the transaction's entries, or NULL
// while the trigger that runs now is its first.
void FloorFunction(sqlite3_context* context, int, sqlite3_value**) {
  OpenEntries& entries = EntriesOf(context);
  if (entries.earlier) sqlite3_result_int64(context, entries.floor);
}

void ResultText(sqlite3_context* context, const std::string& text) {
  if (text.empty()) return;  // NULL
  sqlite3_result_text(context, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

// kx_journal_context(field): one field of who made the change, and where.
enum Field {
  kTime,
  kUser,
  kUid,
  kProgram,
  kPid,
  kMachine,
  kFleet,
  kRevision,
  kOrigin,
  kFieldCount
};

void ContextFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  const OpenEntries& entries = EntriesOf(context);
  switch (sqlite3_value_int(argv[0])) {
    case kTime:
      return sqlite3_result_int64(context, entries.time);
    case kUser:
      return ResultText(context, entries.user);
    case kUid:
      return sqlite3_result_int64(context, entries.uid);
    case kProgram:
      return ResultText(context, program_invocation_short_name);
    case kPid:
      return sqlite3_result_int64(context, entries.pid);
    case kMachine:
      return ResultText(context, MachineName());
    case kFleet:
      return ResultText(context, source.fleet);
    case kRevision:
      if (!source.fleet.empty()) sqlite3_result_int64(context, source.revision);
      return;
    case kOrigin:
      return ResultText(context, source.origin);
  }
}

void EndTransaction(OpenEntries& entries) {
  entries.open = false;
  entries.earlier = false;
}

int CommitHook(void* data) {
  auto& entries = *static_cast<OpenEntries*>(data);
  if (entries.open) NoteJournalledCommit(entries.floor);
  EndTransaction(entries);
  return 0;  // commit
}

void RollbackHook(void* data) {
  EndTransaction(*static_cast<OpenEntries*>(data));
}

void DeleteEntries(void* data) {
  delete static_cast<OpenEntries*>(data);
}

// ---- The triggers ----------------------------------------------------------

// An SQL text literal.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

// The key of id `id` below the journalled key `scope` (quoted), folded: ''
// for the journalled key itself, NULL for a key outside it. Folded paths
// below it all lie between "scope\" and "scope]", as ']' follows '\'.
std::string Below(const std::string& scope, const std::string& id) {
  return "(SELECT CASE WHEN fpath = " + scope + " THEN '' WHEN fpath > " +
         scope + " || '\\' AND fpath < " + scope +
         " || ']' THEN substr(fpath, length(" + scope +
         ") + 2) END FROM keys WHERE id = " + id + ")";
}

constexpr char kColumns[] =
    "time, user, uid, program, pid, machine, fleet, revision, origin, fkey, "
    "name, fname, old_type, old, new_type, new";

std::string Context() {
  std::string fields;
  for (int field = kTime; field < kFieldCount; ++field) {
    fields += "kx_journal_context(" + std::to_string(field) + "), ";
  }
  return fields;
}

// The entries of this transaction for the key `below`, matching `more`.
std::string Mine(const std::string& below, const std::string& more) {
  return "id >= kx_journal_floor() AND fkey = " + below + " AND " + more;
}

constexpr char kOpen[] =
    "SELECT kx_journal_open((SELECT ifnull(max(id), 0) + 1 FROM journal));";
// An entry whose value is back as it was records no change.
constexpr char kUnchanged[] = "old_type IS new_type AND old IS new";

// The body of a trigger on `vals`: the value `value` (OLD or NEW) of key
// `id` changed from (old type, old data) to (new type, new data).
std::string ValueChanged(const std::string& scope, const std::string& id,
                         const std::string& value, const std::string& old_type,
                         const std::string& old_data,
                         const std::string& new_type,
                         const std::string& new_data) {
  std::string below = Below(scope, id);
  std::string same = Mine(below, "fname = " + value + ".fname");
  return std::string(kOpen) + "UPDATE journal SET new_type = " + new_type +
         ", new = " + new_data + " WHERE " + same + ";" +
         "INSERT INTO journal(" + kColumns + ") SELECT " + Context() + below +
         ", " + value + ".name, " + value + ".fname, " + old_type + ", " +
         old_data + ", " + new_type + ", " + new_data +
         " WHERE NOT EXISTS (SELECT 1 FROM journal WHERE " + same + ");" +
         "DELETE FROM journal WHERE " + Mine(below, kUnchanged) + ";";
}

// The body of the trigger before a key is deleted: each of its values goes
// (its subkeys' triggers run for theirs, as the cascade deletes them).
std::string KeyDeleted(const std::string& scope, const std::string& skipped) {
  std::string below = Below(scope, "OLD.id");
  return std::string(kOpen) +
         "UPDATE journal SET new_type = NULL, new = NULL WHERE " +
         Mine(below, "fname IN (SELECT fname FROM vals WHERE key = OLD.id)") +
         ";" + "INSERT INTO journal(" + kColumns + ") SELECT " + Context() +
         below +
         ", v.name, v.fname, v.type, v.data, NULL, NULL FROM vals v "
         "WHERE v.key = OLD.id AND v.fname NOT IN (" +
         skipped + ") AND NOT EXISTS (SELECT 1 FROM journal WHERE " +
         Mine(below, "fname = v.fname") + ");" + "DELETE FROM journal WHERE " +
         Mine(below, kUnchanged) + ";";
}

constexpr const char* kTriggerNames[] = {
    "journal_value_set", "journal_value_changed", "journal_value_deleted",
    "journal_key_deleted"};

std::string DropTriggers() {
  std::string sql;
  for (const char* name : kTriggerNames) {
    sql += std::string("DROP TRIGGER IF EXISTS ") + name + ";";
  }
  return sql;
}

// The triggers for the journalled key `scope` and the value names
// `skipped` (both quoted), each on a line of its own for sqlite3's .schema.
std::string MakeTriggers(const std::string& scope, const std::string& skipped) {
  auto journalled = [&](const char* value) {
    return std::string(value) + ".fname NOT IN (" + skipped + ") AND " +
           Below(scope, std::string(value) + ".key") + " IS NOT NULL";
  };
  return "CREATE TRIGGER journal_value_set AFTER INSERT ON vals WHEN " +
         journalled("NEW") + "\nBEGIN " +
         ValueChanged(scope, "NEW.key", "NEW", "NULL", "NULL", "NEW.type",
                      "NEW.data") +
         " END;\nCREATE TRIGGER journal_value_changed AFTER UPDATE ON vals "
         "WHEN (OLD.type IS NOT NEW.type OR OLD.data IS NOT NEW.data) AND " +
         journalled("NEW") + "\nBEGIN " +
         ValueChanged(scope, "NEW.key", "NEW", "OLD.type", "OLD.data",
                      "NEW.type", "NEW.data") +
         " END;\nCREATE TRIGGER journal_value_deleted AFTER DELETE ON vals "
         "WHEN " +
         journalled("OLD") + "\nBEGIN " +
         ValueChanged(scope, "OLD.key", "OLD", "OLD.type", "OLD.data", "NULL",
                      "NULL") +
         " END;\nCREATE TRIGGER journal_key_deleted BEFORE DELETE ON keys "
         "WHEN " +
         Below(scope, "OLD.id") + " IS NOT NULL\nBEGIN " +
         KeyDeleted(scope, skipped) + " END;";
}

// A key path as the store keeps it: names joined by single backslashes.
std::string StoredPath(const char* path) {
  std::string stored;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' && (stored.empty() || stored.back() == '\\')) continue;
    stored += *p;
  }
  if (!stored.empty() && stored.back() == '\\') stored.pop_back();
  return stored;
}

// The folded names of a multi-string, as an SQL list.
std::string SkippedList(const char* names) {
  std::string list;
  for (const char* name = names; name && *name; name += std::strlen(name) + 1) {
    if (!list.empty()) list += ", ";
    list += Quoted(FoldCase(name));
  }
  return list;
}

// Whether the store's triggers are those for `scope` and `skipped`.
DWORD TriggersMatch(Connection& connection, const std::string& scope,
                    const std::string& skipped, bool* match) {
  JournalStatement query(connection,
                         "SELECT fkey = ?1 AND skipped = ?2 AND triggers = ?3 "
                         "FROM journal_settings");
  query.Bind(1, scope).Bind(2, skipped).Bind(3, kTriggerVersion);
  int rc = query.Step();
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *match = query.Int(0) != 0;
  return ERROR_SUCCESS;
}

DWORD NameKey(Connection& connection, const std::string& scope,
              const std::string& skipped) {
  bool match = false;
  DWORD status = TriggersMatch(connection, scope, skipped, &match);
  if (status != ERROR_SUCCESS || match) return status;
  JournalTransaction transaction(connection);
  // Looked at again under the write lock: another process may have just
  // made them.
  if ((status = transaction.Begin()) ||
      (status = TriggersMatch(connection, scope, skipped, &match)) || match) {
    return status;
  }
  std::string sql = DropTriggers() + MakeTriggers(Quoted(scope), skipped);
  if ((status = ErrorFromSqlite(sqlite3_exec(connection.db, sql.c_str(),
                                             nullptr, nullptr, nullptr)))) {
    return status;
  }
  JournalStatement update(connection,
                          "UPDATE journal_settings SET fkey = ?1, "
                          "skipped = ?2, triggers = ?3");
  int rc =
      update.Bind(1, scope).Bind(2, skipped).Bind(3, kTriggerVersion).Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  return transaction.Commit();
}

}  // namespace

int OpenJournal(sqlite3* db) {
  auto* entries = new OpenEntries;
  constexpr int kFlags = SQLITE_UTF8;  // not deterministic: per transaction
  int rc =
      sqlite3_create_function_v2(db, "kx_journal_open", 1, kFlags, entries,
                                 OpenFunction, nullptr, nullptr, DeleteEntries);
  if (rc != SQLITE_OK) return rc;  // entries freed by SQLite
  rc = sqlite3_create_function_v2(db, "kx_journal_floor", 0, kFlags, entries,
                                  FloorFunction, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    rc =
        sqlite3_create_function_v2(db, "kx_journal_context", 1, kFlags, entries,
                                   ContextFunction, nullptr, nullptr, nullptr);
  }
  sqlite3_commit_hook(db, CommitHook, entries);
  sqlite3_rollback_hook(db, RollbackHook, entries);
  return rc;
}

}  // namespace kxwin

using namespace kxwin;

DWORD KxwinJournalKey(LPCSTR path, LPCSTR skipped_values) {
  if (!path || !*path) return Fail(ERROR_INVALID_PARAMETER);
  return Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
    std::string scope = FoldCase(StoredPath(path));
    std::string skipped = SkippedList(skipped_values);
    BorrowedConnection borrowed;
    ConnectionLock lock(borrowed.connection);
    DWORD status = lock.error();
    if (status == ERROR_SUCCESS) {
      status = NameKey(borrowed.connection, scope, skipped);
    }
    return status == ERROR_SUCCESS ? status : Fail(status);
  });
}

void KxwinJournalSource(LPCSTR fleet, LONGLONG revision, LPCSTR origin) {
  Guarded(0, [&] {
    source.fleet = fleet ? fleet : "";
    source.revision = source.fleet.empty() ? 0 : revision;
    source.origin = origin && !source.fleet.empty() ? origin : "";
    return 0;
  });
}
