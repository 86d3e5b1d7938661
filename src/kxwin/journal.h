// The change journal's part in the store: its tables, made with the rest of
// the schema, what every connection needs before its first write so that
// the triggers that write the entries can run in it (journal.cpp), and what
// the journal's reading and pruning share (journal_keep.cpp).
#pragma once

#include <sqlite3.h>

#include <string>

#include "store.h"

namespace kxwin {

// The journal's tables and the schema version that has them; run by the
// transaction that makes a store or brings an older one up to date.
std::string JournalSchema();

// Registers, on a connection just opened, the functions that the journal's
// triggers call and the hooks that end a transaction's entries; an SQLite
// result code.
int OpenJournal(sqlite3* db);

// Counts a commit that wrote entries from the id `first` on; now and then
// it asks for pruning, which runs on a thread of its own
// (journal_keep.cpp). Called inside a connection's commit, before others
// can see it: it takes no connection's lock.
void NoteJournalledCommit(int64_t first);

// A connection for one call, given back on every way out (after its lock).
struct BorrowedConnection {
  Connection& connection = BorrowConnection();
  BorrowedConnection() = default;
  BorrowedConnection(const BorrowedConnection&) = delete;
  BorrowedConnection& operator=(const BorrowedConnection&) = delete;
  ~BorrowedConnection() { ReturnConnection(connection); }
};

// A statement of the journal's own, prepared for one use and finalized on
// every way out; made with the connection locked.
class JournalStatement {
 public:
  JournalStatement(Connection& connection, const std::string& sql);
  ~JournalStatement();
  JournalStatement(const JournalStatement&) = delete;
  JournalStatement& operator=(const JournalStatement&) = delete;

  JournalStatement& Bind(int index, int64_t value);
  JournalStatement& Bind(int index, const std::string& text);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  bool IsNull(int column) const;
  int64_t Int(int column) const;
  const char* Text(int column) const;  // null for NULL
  const void* Blob(int column) const;
  size_t Bytes(int column) const;

 private:
  sqlite3_stmt* statement_ = nullptr;
  int prepared_;
};

// A write transaction of the journal's own on a locked connection, rolled
// back unless committed.
class JournalTransaction {
 public:
  explicit JournalTransaction(Connection& connection)
      : connection_(connection) {}
  ~JournalTransaction();
  JournalTransaction(const JournalTransaction&) = delete;
  JournalTransaction& operator=(const JournalTransaction&) = delete;
  DWORD Begin();
  DWORD Commit();

 private:
  Connection& connection_;
  bool open_ = false;
};

}  // namespace kxwin
