// Reading the change journal, indexing it by key, and keeping it bounded.
//
// Away from the writes. A change writes its entry only; the work that
// follows runs in short steps, each its own transaction, on a thread of
// the writing process (a commit that wrote entries asks for it when it is
// the first such commit of the process and every kPruneEvery-th after,
// through NoteJournalledCommit from the commit hook). A step enters up to
// kStep new entries in journal_names, the index by key, and forgets up to
// kStep of the oldest: the journal keeps its newest keep_entries entries
// and every entry younger than keep_days days (whichever are more), and
// never the newest entry's id. The thread runs steps until one finds
// nothing to do. A reader takes the indexed entries of a key from
// journal_names and those after journal_settings.indexed from the journal
// itself: a short stretch of ids, read in one statement with the rest.
//
// A process that exits while its thread runs waits for the step under way
// (one step at least, so a program that only ever makes one set still does
// its share); a process killed meanwhile loses only its step's
// transaction. A step that finds the store busy gives up after a short
// wait (kPruneBusyMs): the next run will do it.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "internal.h"
#include "journal.h"
#include "registry.h"

namespace kxwin {

JournalStatement::JournalStatement(Connection& connection,
                                   const std::string& sql) {
  KX_ASSERT_LOCK(connection.lock.HeldByMe());
  prepared_ =
      sqlite3_prepare_v2(connection.db, sql.c_str(), -1, &statement_, nullptr);
}

JournalStatement::~JournalStatement() {
  sqlite3_finalize(statement_);
}

JournalStatement& JournalStatement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

JournalStatement& JournalStatement::Bind(int index, const std::string& text) {
  sqlite3_bind_text(statement_, index, text.data(),
                    static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

int JournalStatement::Step() {
  return statement_ ? sqlite3_step(statement_)
                    : (prepared_ != SQLITE_OK ? prepared_ : SQLITE_ERROR);
}

bool JournalStatement::IsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

int64_t JournalStatement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

const char* JournalStatement::Text(int column) const {
  return reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
}

const void* JournalStatement::Blob(int column) const {
  return sqlite3_column_blob(statement_, column);
}

size_t JournalStatement::Bytes(int column) const {
  return static_cast<size_t>(sqlite3_column_bytes(statement_, column));
}

DWORD JournalTransaction::Begin() {
  int rc = sqlite3_exec(connection_.db, "BEGIN IMMEDIATE", nullptr, nullptr,
                        nullptr);
  open_ = rc == SQLITE_OK;
  return ErrorFromSqlite(rc);
}

DWORD JournalTransaction::Commit() {
  int rc = sqlite3_exec(connection_.db, "COMMIT", nullptr, nullptr, nullptr);
  open_ = rc != SQLITE_OK;
  return ErrorFromSqlite(rc);
}

JournalTransaction::~JournalTransaction() {
  if (open_)
    sqlite3_exec(connection_.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

namespace {

constexpr int kStep = 256;
constexpr uint64_t kPruneEvery = 256;
// A pruning step waits this long for a writer, then leaves it to the next.
constexpr int kPruneBusyMs = 100;
constexpr int64_t kMicrosecondsPerDay = 86400LL * 1000 * 1000;
// More days than any clock can count back from now.
constexpr int64_t kMaxKeepDays = 1000000;

int64_t MicrosecondsNow() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch())
      .count();
}

// Forgets what it may of the oldest kStep entries beyond the last
// keep_entries ids and older than keep_days days; the number forgotten, or
// -1 on failure. Call inside a write transaction.
int Forget(Connection& connection) {
  JournalStatement bounds(connection,
                          "SELECT min((SELECT max(id) FROM journal) - "
                          "keep_entries, (SELECT max(id) FROM journal) - 1), "
                          "keep_days FROM journal_settings");
  if (bounds.Step() != SQLITE_ROW) return -1;
  if (bounds.IsNull(0)) return 0;  // no entry
  int64_t last = bounds.Int(0);
  int64_t days = std::min<int64_t>(bounds.Int(1), kMaxKeepDays);
  int64_t before = MicrosecondsNow() - days * kMicrosecondsPerDay;
  const std::string oldest =
      "(SELECT id FROM journal WHERE id IN (SELECT id FROM journal WHERE id "
      "<= ?1 ORDER BY id LIMIT ?2) AND time < ?3)";
  JournalStatement greatest(
      connection, "SELECT max(id) FROM journal WHERE id IN " + oldest);
  if (greatest.Bind(1, last).Bind(2, kStep).Bind(3, before).Step() !=
          SQLITE_ROW ||
      greatest.IsNull(0)) {
    return 0;
  }
  JournalStatement names(connection,
                         "DELETE FROM journal_names WHERE (fkey, id) IN "
                         "(SELECT fkey, id FROM journal WHERE id IN " +
                             oldest + ")");
  JournalStatement forget(connection,
                          "DELETE FROM journal WHERE id IN " + oldest);
  JournalStatement note(connection,
                        "UPDATE journal_settings SET pruned = max(pruned, ?1)");
  if (names.Bind(1, last).Bind(2, kStep).Bind(3, before).Step() !=
          SQLITE_DONE ||
      forget.Bind(1, last).Bind(2, kStep).Bind(3, before).Step() !=
          SQLITE_DONE) {
    return -1;
  }
  int forgotten = sqlite3_changes(connection.db);
  return note.Bind(1, greatest.Int(0)).Step() == SQLITE_DONE ? forgotten : -1;
}

// Enters up to kStep entries after journal_settings.indexed in
// journal_names; the number entered, or -1 on failure. Call inside a
// write transaction.
int Index(Connection& connection) {
  const char kNew[] = "id > (SELECT indexed FROM journal_settings)";
  JournalStatement upto(connection, std::string("SELECT max(id) FROM (SELECT "
                                                "id FROM journal WHERE ") +
                                        kNew + " ORDER BY id LIMIT ?1)");
  if (upto.Bind(1, kStep).Step() != SQLITE_ROW) return -1;
  if (upto.IsNull(0)) return 0;
  JournalStatement enter(connection,
                         std::string("INSERT OR IGNORE INTO journal_names "
                                     "SELECT fkey, id FROM journal WHERE ") +
                             kNew + " AND id <= ?1");
  JournalStatement note(connection, "UPDATE journal_settings SET indexed = ?1");
  if (enter.Bind(1, upto.Int(0)).Step() != SQLITE_DONE) return -1;
  int entered = sqlite3_changes(connection.db);
  return note.Bind(1, upto.Int(0)).Step() == SQLITE_DONE ? entered : -1;
}

// One step: forgets, then indexes; how much it did, or -1 on failure.
int KeepStep(Connection& connection) {
  JournalTransaction transaction(connection);
  if (transaction.Begin() != ERROR_SUCCESS) return -1;
  int forgotten = Forget(connection);
  int entered = forgotten < 0 ? -1 : Index(connection);
  if (entered < 0) return -1;
  if (forgotten + entered == 0) return 0;
  return transaction.Commit() == ERROR_SUCCESS ? forgotten + entered : -1;
}

// Whether a step may find work: entries to index or to forget. A read may
// still see the store from before the commit that asked (`seen`, an id it
// wrote), which only the write lock makes certain: then it may.
bool MayHaveWork(Connection& connection, int64_t seen) {
  JournalStatement work(
      connection,
      "SELECT max(id) < ?1 OR max(id) > indexed OR max(id) - keep_entries >= "
      "min(id) FROM journal, journal_settings");
  return work.Bind(1, seen).Step() != SQLITE_ROW || work.Int(0) != 0;
}

// Steps until one finds nothing to do (or fails), or `stop` says so after
// a step.
DWORD Keep(int busy_ms, int64_t seen, BodyRef<bool()> stop) {
  BorrowedConnection borrowed;
  ConnectionLock lock(borrowed.connection);
  if (lock.error()) return lock.error();
  if (!MayHaveWork(borrowed.connection, seen)) return ERROR_SUCCESS;
  sqlite3* db = borrowed.connection.db;
  sqlite3_busy_timeout(db, busy_ms);
  int done = 0;
  do {
    done = KeepStep(borrowed.connection);
  } while (done > 0 && !stop());
  int rc = sqlite3_errcode(db);
  sqlite3_busy_timeout(db, kStoreBusyTimeoutMs);
  return done < 0 ? ErrorFromSqlite(rc == SQLITE_OK ? SQLITE_ERROR : rc)
                  : ERROR_SUCCESS;
}

// The pruning of this process: at most one thread at a time, started on
// request.
struct Pruner {
  std::mutex lock;
  std::condition_variable ended;
  bool running = false;  // lock: the thread runs
  bool again = false;    // lock: asked for while it ran
  bool exiting = false;  // lock: the process exits; no new run
  int64_t seen = 0;      // lock: an id of the latest commit that asked
};
Pruner& pruner = *new Pruner;  // lives as long as the process

// Once the process exits, it waits for the run under way.
void WaitForPruning() {
  std::unique_lock guard(pruner.lock);
  pruner.exiting = true;
  pruner.ended.wait(guard, [] { return !pruner.running; });
}

// A forked child starts with no pruning of its own: the thread stays
// behind in the parent, which may have held the lock. No handler takes the
// lock before a fork: a thread that commits takes its connection's lock and
// then this one, and the store's handlers take the connections' locks.
void ForkChild() {
  new (&pruner) Pruner;
}

// A run: steps until nothing is left, or, once the process exits, until
// the step under way is done.
void PruneThread() {
  auto exiting = [] {
    std::lock_guard guard(pruner.lock);
    return pruner.exiting;
  };
  for (;;) {
    int64_t seen;
    {
      std::lock_guard guard(pruner.lock);
      seen = pruner.seen;
    }
    Keep(kPruneBusyMs, seen, exiting);
    std::lock_guard guard(pruner.lock);
    if (!pruner.again || pruner.exiting) {
      pruner.running = false;
      pruner.ended.notify_all();
      return;
    }
    pruner.again = false;
  }
}

void RequestPrune(int64_t seen) {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork(nullptr, nullptr, ForkChild);
    std::atexit(WaitForPruning);
  });
  std::lock_guard guard(pruner.lock);
  if (pruner.exiting) return;
  pruner.seen = std::max(pruner.seen, seen);
  if (pruner.running) {
    pruner.again = true;
    return;
  }
  try {
    std::thread(PruneThread).detach();
    pruner.running = true;
  } catch (const std::system_error&) {
    // No thread now: a later commit asks again.
  }
}

// ---- Reading ---------------------------------------------------------------

constexpr char kColumns[] =
    "j.id, j.time, j.user, j.uid, j.program, j.pid, j.machine, j.fkey, "
    "j.name, j.old_type, j.old, j.new_type, j.new, j.fleet, j.revision, "
    "j.origin";

// A key path below the journalled key as its entries carry it: folded, no
// backslash at either end.
std::string EntryKey(const char* key) {
  std::string folded = FoldCase(key);
  size_t first = folded.find_first_not_of('\\');
  size_t last = folded.find_last_not_of('\\');
  return first == std::string::npos ? ""
                                    : folded.substr(first, last - first + 1);
}

// The condition that a filter's key puts on `table`.fkey.
std::string KeyCondition(const KXWIN_JOURNAL_FILTER& filter,
                         const std::string& table) {
  std::string fkey = table + ".fkey";
  if (!filter.subtree) return fkey + " = ?1";
  return "(" + fkey + " = ?1 OR (" + fkey + " > ?1 || '\\' AND " + fkey +
         " < ?1 || ']'))";
}

// The statement that reads what `filter` selects, newest first. The
// entries of a key come from its index, and from the journal after the
// indexed ones.
std::string EntriesQuery(const KXWIN_JOURNAL_FILTER& filter) {
  std::string more;
  if (filter.before) more += " AND j.id < ?2";
  if (filter.since) more += " AND j.time >= ?3";
  if (filter.until) more += " AND j.time <= ?4";
  if (filter.user) more += " AND j.user = ?5";
  std::string select = std::string("SELECT ") + kColumns;
  if (!filter.key) {
    return select + " FROM journal j WHERE 1" + more + " ORDER BY j.id DESC";
  }
  return select + " FROM journal_names n JOIN journal j ON j.id = n.id WHERE " +
         KeyCondition(filter, "n") + more + " UNION ALL " + select +
         " FROM journal j WHERE j.id > (SELECT indexed FROM journal_settings) "
         "AND " +
         KeyCondition(filter, "j") + more + " ORDER BY 1 DESC";
}

KXWIN_JOURNAL_DATA DataOf(const JournalStatement& row, int type, int data) {
  if (row.IsNull(data)) return {FALSE, REG_NONE, nullptr, 0};
  return {TRUE, static_cast<DWORD>(row.Int(type)),
          static_cast<const BYTE*>(row.Blob(data)),
          static_cast<DWORD>(row.Bytes(data))};
}

KXWIN_JOURNAL_ENTRY EntryOf(const JournalStatement& row) {
  KXWIN_JOURNAL_ENTRY entry{};
  entry.id = row.Int(0);
  entry.time = row.Int(1);
  entry.user = row.Text(2);
  entry.uid = static_cast<DWORD>(row.Int(3));
  entry.program = row.Text(4);
  entry.pid = static_cast<DWORD>(row.Int(5));
  entry.machine = row.Text(6);
  entry.key = row.Text(7);
  entry.value_name = row.Text(8);
  entry.old_value = DataOf(row, 9, 10);
  entry.new_value = DataOf(row, 11, 12);
  entry.fleet = row.Text(13);
  entry.revision = row.Int(14);
  entry.origin = row.Text(15);
  return entry;
}

DWORD ReadEntries(const KXWIN_JOURNAL_FILTER& filter,
                  KXWIN_JOURNAL_CALLBACK callback, void* context) {
  BorrowedConnection borrowed;
  ConnectionLock lock(borrowed.connection);
  if (lock.error()) return lock.error();
  JournalStatement query(borrowed.connection, EntriesQuery(filter));
  if (filter.key) query.Bind(1, EntryKey(filter.key));
  if (filter.before) query.Bind(2, filter.before);
  if (filter.since) query.Bind(3, filter.since);
  if (filter.until) query.Bind(4, filter.until);
  if (filter.user) query.Bind(5, std::string(filter.user));
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) {
    KXWIN_JOURNAL_ENTRY entry = EntryOf(query);
    if (!callback(&entry, context)) return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

DWORD ReadInfo(KXWIN_JOURNAL_INFO* info) {
  BorrowedConnection borrowed;
  ConnectionLock lock(borrowed.connection);
  if (lock.error()) return lock.error();
  JournalStatement query(
      borrowed.connection,
      "SELECT fkey, keep_entries, keep_days, pruned, (SELECT min(id) FROM "
      "journal), (SELECT max(id) FROM journal) FROM journal_settings");
  int rc = query.Step();
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *info = KXWIN_JOURNAL_INFO{};
  std::strncpy(info->key, query.Text(0), sizeof info->key - 1);
  info->keep_entries = static_cast<DWORD>(query.Int(1));
  info->keep_days = static_cast<DWORD>(query.Int(2));
  info->pruned = query.Int(3);
  info->oldest = query.Int(4);
  info->newest = query.Int(5);
  return ERROR_SUCCESS;
}

DWORD SetBounds(DWORD entries, DWORD days) {
  {
    BorrowedConnection borrowed;
    ConnectionLock lock(borrowed.connection);
    if (lock.error()) return lock.error();
    JournalStatement update(borrowed.connection,
                            "UPDATE journal_settings SET keep_entries = ?1, "
                            "keep_days = ?2");
    int rc = update.Bind(1, entries).Bind(2, days).Step();
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  return Keep(kStoreBusyTimeoutMs, 0, [] { return false; });
}

}  // namespace

void NoteJournalledCommit(int64_t first) {
  static std::atomic<uint64_t> commits{0};
  uint64_t count = commits.fetch_add(1, std::memory_order_relaxed) + 1;
  if (count == 1 || count % kPruneEvery == 0) RequestPrune(first);
}

}  // namespace kxwin

using namespace kxwin;

DWORD KxwinReadJournal(const KXWIN_JOURNAL_FILTER* filter,
                       KXWIN_JOURNAL_CALLBACK callback, void* context) {
  if (!callback) return Fail(ERROR_INVALID_PARAMETER);
  KXWIN_JOURNAL_FILTER all{};
  DWORD status = Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&] {
    return ReadEntries(filter ? *filter : all, callback, context);
  });
  return status == ERROR_SUCCESS ? status : Fail(status);
}

DWORD KxwinJournalInfo(KXWIN_JOURNAL_INFO* info) {
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  DWORD status =
      Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&] { return ReadInfo(info); });
  return status == ERROR_SUCCESS ? status : Fail(status);
}

DWORD KxwinJournalBounds(DWORD entries, DWORD days) {
  DWORD status = Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY,
                                [&] { return SetBounds(entries, days); });
  return status == ERROR_SUCCESS ? status : Fail(status);
}
