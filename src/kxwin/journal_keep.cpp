// Reading the change journal, and keeping it bounded.
//
// Pruning. The journal keeps its newest keep_entries entries and every
// entry younger than keep_days days (whichever are more), and never the
// newest entry's id. Forgetting the rest costs page writes that no set
// should wait for, so it runs in steps of at most kPruneStep entries, each
// its own short transaction, on a thread of its own: a commit that wrote
// entries asks for it when it is the first such commit of the process and
// every kPruneEvery-th after (NoteJournalledCommit, called from the commit
// hook), and the thread runs steps until one finds nothing to forget. A
// process that exits while its pruning runs waits for the step under way
// (one step at least, so a program that only ever makes one set still does
// its share); a process killed meanwhile loses only its step's transaction.
// A step that finds the store busy gives up at once: the next one will do.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "internal.h"
#include "journal.h"

namespace kxwin {

JournalStatement::JournalStatement(Connection& connection,
                                   const std::string& sql) {
  KXWIN_ASSERT_HELD(connection.lock.HeldHere());
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

constexpr int kPruneStep = 256;
constexpr uint64_t kPruneEvery = 64;
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

// One step: forgets what it may of the oldest kPruneStep entries beyond
// the last keep_entries ids and older than keep_days days. The number of
// entries forgotten, or -1 when the step could not run.
int PruneStep(Connection& connection) {
  JournalTransaction transaction(connection);
  if (transaction.Begin() != ERROR_SUCCESS) return -1;
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
      "(SELECT id FROM journal WHERE id <= ?1 ORDER BY id LIMIT ?2) "
      "AND time < ?3";
  JournalStatement greatest(
      connection, "SELECT max(id) FROM journal WHERE id IN " + oldest);
  if (greatest.Bind(1, last).Bind(2, kPruneStep).Bind(3, before).Step() !=
          SQLITE_ROW ||
      greatest.IsNull(0)) {
    return 0;
  }
  JournalStatement forget(connection,
                          "DELETE FROM journal WHERE id IN " + oldest);
  JournalStatement note(connection,
                        "UPDATE journal_settings SET pruned = max(pruned, ?1)");
  if (forget.Bind(1, last).Bind(2, kPruneStep).Bind(3, before).Step() !=
      SQLITE_DONE) {
    return -1;
  }
  int forgotten = sqlite3_changes(connection.db);
  if (note.Bind(1, greatest.Int(0)).Step() != SQLITE_DONE) return -1;
  return transaction.Commit() == ERROR_SUCCESS ? forgotten : -1;
}

// Whether the journal may hold more than its entry bound: else there is
// nothing to forget, and no step needs the write lock. A read may still
// see the store from before the commit that asked (`seen`, an id it
// wrote), which is only certain under the write lock: then it may.
bool MayBeOverBound(Connection& connection, int64_t seen) {
  JournalStatement over(connection,
                        "SELECT max(id) < ?1 OR max(id) - (SELECT "
                        "keep_entries FROM journal_settings) >= min(id) "
                        "FROM journal");
  return over.Bind(1, seen).Step() != SQLITE_ROW || over.Int(0) != 0;
}

// Steps until one finds nothing to forget (or fails), at most `steps`.
DWORD Prune(int steps, int busy_ms, int64_t seen) {
  BorrowedConnection borrowed;
  ConnectionLock lock(borrowed.connection);
  if (lock.error()) return lock.error();
  if (!MayBeOverBound(borrowed.connection, seen)) return ERROR_SUCCESS;
  sqlite3* db = borrowed.connection.db;
  sqlite3_busy_timeout(db, busy_ms);
  int forgotten = 0;
  for (int step = 0; step < steps; ++step) {
    if ((forgotten = PruneStep(borrowed.connection)) <= 0) break;
  }
  int rc = sqlite3_errcode(db);
  sqlite3_busy_timeout(db, kStoreBusyTimeoutMs);
  return forgotten < 0 ? ErrorFromSqlite(rc == SQLITE_OK ? SQLITE_ERROR : rc)
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

void ForkPrepare() {
  pruner.lock.lock();
}
void ForkParent() {
  pruner.lock.unlock();
}
void ForkChild() {
  // The thread stays behind in the parent.
  pruner.running = pruner.again = false;
  pruner.lock.unlock();
}

// A run: steps until nothing is left, or up to a bound when the process is
// exiting.
void PruneThread() {
  constexpr int kStepsPerRun = 1 << 12;
  for (;;) {
    int64_t seen;
    {
      std::lock_guard guard(pruner.lock);
      seen = pruner.seen;
    }
    Prune(kStepsPerRun, kPruneBusyMs, seen);
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
    pthread_atfork(ForkPrepare, ForkParent, ForkChild);
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

constexpr char kSelectEntries[] =
    "SELECT id, time, user, uid, program, pid, machine, fkey, name, "
    "old_type, old, new_type, new, fleet, revision, origin FROM journal";

// A key path below the journalled key as its entries carry it: folded, no
// backslash at either end.
std::string EntryKey(const char* key) {
  std::string folded = FoldCase(key);
  size_t first = folded.find_first_not_of('\\');
  size_t last = folded.find_last_not_of('\\');
  return first == std::string::npos ? ""
                                    : folded.substr(first, last - first + 1);
}

// The statement that reads what `filter` selects, newest first: by the
// key's index when it names a key.
std::string EntriesQuery(const KXWIN_JOURNAL_FILTER& filter) {
  std::string where;
  auto add = [&where](const char* condition) {
    where += where.empty() ? " WHERE " : " AND ";
    where += condition;
  };
  if (filter.key && filter.subtree) {
    add("(fkey = ?1 OR (fkey > ?1 || '\\' AND fkey < ?1 || ']'))");
  } else if (filter.key) {
    add("fkey = ?1");
  }
  if (filter.before) add("id < ?2");
  if (filter.since) add("time >= ?3");
  if (filter.until) add("time <= ?4");
  if (filter.user) add("user = ?5");
  return kSelectEntries + where + " ORDER BY id DESC";
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
  return Prune(INT32_MAX, kStoreBusyTimeoutMs, 0);
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
