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
// them again, the agent rewrites an application's memberships. Each
// connection keeps, for its open transaction, the id of the entry it wrote
// for each value (kx_journal_note and kx_journal_noted note them as an
// INSERT adds them, kx_journal_mine finds them; the commit and rollback
// hooks forget them): a trigger whose UPDATE of that entry changes a row
// adds none, and drops the entry once the value is back as it was. So a
// change writes its entry and nothing else: the table's index by key name
// is filled afterwards, away from the writes (journal_keep.cpp).
//
// What is journalled: the values below the journalled key and the key's
// own, as stored (a sensitive value scrambled), but not the values the
// layers above name as bookkeeping (a set's LastUser and TimeStamp: the
// entry carries both). The agent's own state and the journal are outside it.
#include "journal.h"

#include <errno.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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
      // The entries by key, up to journal_settings.indexed.
      "CREATE TABLE journal_names(fkey TEXT NOT NULL, id INTEGER NOT NULL,"
      " PRIMARY KEY(fkey, id)) WITHOUT ROWID;"
      // One row: the journalled key (folded; '' while none is), the value
      // names left out (an SQL list), the version of the triggers made for
      // them, the bounds, the greatest id forgotten so far, and the greatest
      // id whose entries journal_names holds.
      "CREATE TABLE journal_settings(one INTEGER PRIMARY KEY CHECK(one = 1),"
      " fkey TEXT NOT NULL, skipped TEXT NOT NULL, triggers INTEGER NOT NULL,"
      " keep_entries INTEGER NOT NULL, keep_days INTEGER NOT NULL,"
      " pruned INTEGER NOT NULL, indexed INTEGER NOT NULL);"
      "INSERT INTO journal_settings VALUES(1, '', '', 0, " +
      std::to_string(KXWIN_JOURNAL_KEEP_ENTRIES) + ", " +
      std::to_string(KXWIN_JOURNAL_KEEP_DAYS) +
      ", 0, 0);"
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

// The entries of a connection's open transaction, and who made them.
// Touched only by SQLite's calls of the functions and hooks below, which
// run inside the connection's statements, under its lock.
struct OpenEntries {
  bool open = false;  // the transaction has journalled
  int64_t first = 0;  // the id of its first entry
  // Its entry of each value: "fkey\0fname" to id.
  std::unordered_map<std::string, int64_t> ids;
  // The values of the entries the statement under way adds, in order.
  std::vector<std::string> noted;
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

// An SQL value's text; empty for NULL.
std::string_view TextOf(sqlite3_value* value) {
  const unsigned char* text = sqlite3_value_text(value);
  if (!text) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<size_t>(sqlite3_value_bytes(value))};
}

std::string ValueId(sqlite3_value* fkey, sqlite3_value* fname) {
  std::string id(TextOf(fkey));
  id += '\0';
  id += TextOf(fname);
  return id;
}

// Opens the transaction's entries: who makes them, and when.
void Open(OpenEntries& entries) {
  entries.user = UserName(geteuid());
  MachineName();  // made here, where an exception is caught
  entries.open = true;
  entries.first = 0;
  entries.time = MicrosecondsNow();
  entries.uid = geteuid();
  entries.pid = getpid();
}

// kx_journal_note(fkey, fname): notes that the statement under way adds an
// entry of the value, and gives the fkey for it. No exception may cross
// SQLite's frames: one fails the statement.
void NoteFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  OpenEntries& entries = EntriesOf(context);
  try {
    if (!entries.open) Open(entries);
    entries.noted.push_back(ValueId(argv[0], argv[1]));
    sqlite3_result_value(context, argv[0]);
  } catch (...) {
    sqlite3_result_error_nomem(context);
  }
}

// kx_journal_noted(last id, count): the INSERT just done added the last
// `count` entries noted, with ids up to `last` one after another. Those
// noted before them were not added (their statement failed).
void NotedFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  OpenEntries& entries = EntriesOf(context);
  int64_t added = std::min<int64_t>(sqlite3_value_int64(argv[1]),
                                    static_cast<int64_t>(entries.noted.size()));
  int64_t id = sqlite3_value_int64(argv[0]) - added;
  try {
    for (auto value = entries.noted.end() - added; value != entries.noted.end();
         ++value) {
      entries.ids[std::move(*value)] = ++id;
      if (!entries.first) entries.first = id;
    }
  } catch (...) {
    sqlite3_result_error_nomem(context);
  }
  entries.noted.clear();
}

// kx_journal_below(fpath, scope): the folded key path `fpath` below the
// folded path `scope`, '' for the scope itself; NULL for a key outside it.
void BelowFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
  std::string_view path = TextOf(argv[0]), scope = TextOf(argv[1]);
  if (!path.starts_with(scope)) return;
  if (path.size() == scope.size()) {
    return sqlite3_result_text(context, "", 0, SQLITE_STATIC);
  }
  if (path[scope.size()] != '\\') return;
  path.remove_prefix(scope.size() + 1);
  sqlite3_result_text(context, path.data(), static_cast<int>(path.size()),
                      SQLITE_TRANSIENT);
}

// kx_journal_any(): whether the transaction has written entries yet (else
// none of its entries need be looked for).
void AnyFunction(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_int(context, !EntriesOf(context).ids.empty());
}

// kx_journal_mine(fkey, fname): the id of the transaction's entry of the
// value, or NULL.
void MineFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  OpenEntries& entries = EntriesOf(context);
  if (entries.ids.empty() || sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    return;
  }
  try {
    auto found = entries.ids.find(ValueId(argv[0], argv[1]));
    if (found != entries.ids.end()) {
      sqlite3_result_int64(context, found->second);
    }
  } catch (...) {
    sqlite3_result_error_nomem(context);
  }
}

void ResultText(sqlite3_context* context, const char* text) {
  sqlite3_result_text(context, text, -1, SQLITE_TRANSIENT);
}

// A text that may be absent: NULL when empty.
void ResultOptional(sqlite3_context* context, const std::string& text) {
  if (!text.empty()) ResultText(context, text.c_str());
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
  OpenEntries& entries = EntriesOf(context);
  switch (sqlite3_value_int(argv[0])) {
    case kTime:  // the first field of the transaction's first entry opens it
      try {
        if (!entries.open) Open(entries);
      } catch (...) {
        return sqlite3_result_error_nomem(context);
      }
      return sqlite3_result_int64(context, entries.time);
    case kUser:
      return ResultText(context, entries.user.c_str());
    case kUid:
      return sqlite3_result_int64(context, entries.uid);
    case kProgram:
      return ResultText(context, program_invocation_short_name);
    case kPid:
      return sqlite3_result_int64(context, entries.pid);
    case kMachine:
      return ResultText(context, MachineName().c_str());
    case kFleet:
      return ResultOptional(context, source.fleet);
    case kRevision:
      if (!source.fleet.empty()) sqlite3_result_int64(context, source.revision);
      return;
    case kOrigin:
      return ResultOptional(context, source.origin);
  }
}

void EndTransaction(OpenEntries& entries) {
  entries.open = false;
  entries.ids.clear();
  entries.noted.clear();
}

int CommitHook(void* data) {
  auto& entries = *static_cast<OpenEntries*>(data);
  if (entries.open) NoteJournalledCommit(entries.first);
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
// for the journalled key itself, NULL for a key outside it.
std::string Below(const std::string& scope, const std::string& id) {
  return "kx_journal_below((SELECT fpath FROM keys WHERE id = " + id + "), " +
         scope + ")";
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

// The id of this transaction's entry of that value, or NULL; the key is
// looked up only once the transaction has entries to look through.
std::string Mine(const std::string& below, const std::string& fname) {
  return "CASE WHEN kx_journal_any() THEN kx_journal_mine(" + below + ", " +
         fname + ") END";
}

// An entry whose value is back as it was records no change.
constexpr char kUnchanged[] = "old_type IS new_type AND old IS new";

// Notes the entries the INSERT before it added.
constexpr char kNoted[] =
    "SELECT kx_journal_noted(last_insert_rowid(), changes());";

// The body of a trigger on `vals`: the value `value` (OLD or NEW) of key
// `id` changed from (old type, old data) to (new type, new data). The entry
// that the transaction made of it takes the new data; when there is none
// (no row changed), a new one is added.
std::string ValueChanged(const std::string& scope, const std::string& id,
                         const std::string& value, const std::string& old_type,
                         const std::string& old_data,
                         const std::string& new_type,
                         const std::string& new_data) {
  std::string below = Below(scope, id);
  std::string fname = value + ".fname";
  std::string mine = Mine(below, fname);
  return "UPDATE journal SET new_type = " + new_type + ", new = " + new_data +
         " WHERE id = " + mine + ";" + "INSERT INTO journal(" + kColumns +
         ") SELECT " + Context() + "kx_journal_note(" + below + ", " + fname +
         "), " + value + ".name, " + fname + ", " + old_type + ", " + old_data +
         ", " + new_type + ", " + new_data + " WHERE changes() = 0;" + kNoted +
         "DELETE FROM journal WHERE id = " + mine + " AND " + kUnchanged + ";";
}

// The body of the trigger before a key is deleted: each of its values goes
// (its subkeys' triggers run for theirs, as the cascade deletes them).
std::string KeyDeleted(const std::string& scope, const std::string& skipped) {
  std::string below = Below(scope, "OLD.id");
  std::string mine =
      "(SELECT " + Mine(below, "fname") + " FROM vals WHERE key = OLD.id)";
  return "UPDATE journal SET new_type = NULL, new = NULL WHERE id IN " + mine +
         ";" + "INSERT INTO journal(" + kColumns + ") SELECT " + Context() +
         "kx_journal_note(" + below +
         ", v.fname), v.name, v.fname, v.type, v.data, NULL, NULL FROM vals v "
         "WHERE v.key = OLD.id AND v.fname NOT IN (" +
         skipped +
         ") AND CASE WHEN kx_journal_any() THEN NOT EXISTS (SELECT 1 FROM "
         "journal WHERE id = kx_journal_mine(" +
         below + ", v.fname)) ELSE 1 END;" + kNoted +
         "DELETE FROM journal WHERE id IN " + mine + " AND " + kUnchanged + ";";
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
  // The triggers make every write a statement that SQLite can roll back
  // alone, inside its transaction, from a journal of the pages it changed.
  // Kept in memory, that journal grows by small chunks; else SQLite takes a
  // 64 KiB one for each write and hands it back, and the heap grows and
  // shrinks with every set.
  int rc =
      sqlite3_exec(db, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  auto* entries = new OpenEntries;
  constexpr int kFlags = SQLITE_UTF8;  // not deterministic: per transaction
  rc =
      sqlite3_create_function_v2(db, "kx_journal_note", 2, kFlags, entries,
                                 NoteFunction, nullptr, nullptr, DeleteEntries);
  if (rc != SQLITE_OK) return rc;  // entries freed by SQLite
  rc = sqlite3_create_function_v2(db, "kx_journal_noted", 2, kFlags, entries,
                                  NotedFunction, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_create_function_v2(db, "kx_journal_mine", 2, kFlags, entries,
                                  MineFunction, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_create_function_v2(db, "kx_journal_any", 0, kFlags, entries,
                                    AnyFunction, nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK) {
    rc = sqlite3_create_function_v2(db, "kx_journal_below", 2,
                                    SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                    BelowFunction, nullptr, nullptr, nullptr);
  }
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
