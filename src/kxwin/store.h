// The registry store: one SQLite database in WAL mode that holds
// HKEY_LOCAL_MACHINE for every process of the machine.
//
//   keys(id, parent, name, path, fname, fpath)
//                                  one row per key; `path` is the full path
//                                  below HKEY_LOCAL_MACHINE in the spelling
//                                  it was created with; the root has id 1
//   vals(key, name, fname, type, data)
//                                  values in the order first written (rowid)
//
// fname and fpath are the names and paths folded by FoldCase when they are
// written; every lookup and the order of subkeys go through them with
// SQLite's binary comparison, which agrees with CompareNoCase, so the store
// and the libraries above agree on what is the same name. Deleting a key
// deletes its subtree and values by cascade. Key ids are never reused
// (AUTOINCREMENT), so a handle to a deleted key can never reach a later key
// of the same name.
//
// Each process has one connection, guarded by its lock; a transaction
// (CreateTransaction) has a connection of its own. A connection belongs to
// the process that opened it: a forked child leaves its parent's connection
// untouched and opens its own. At exit the process closes its idle
// connections, each checkpointing the WAL into registry.db (CloseDatabase).
#pragma once

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "kxwin/kxwin.h"

namespace kxwin {

enum Statement {
  kFindKey,         // (path) -> id, path
  kKeyExists,       // (id) -> 1
  kInsertKey,       // (parent, name, path)
  kDeleteKey,       // (id)
  kDeleteChildren,  // (parent)
  kCountChildren,   // (id) -> count
  kChildAt,         // (parent, offset) -> name
  kChildAfter,      // (parent, name) -> name
  kGetValue,        // (key, name) -> type, data
  kKeyValues,       // (key) -> fname, type, data
  kPathValues,      // (fpath) -> id, has a value, fname, type, data
  kSetValue,        // (key, name, type, data)
  kDeleteValue,     // (key, name)
  kDeleteValues,    // (key)
  kValueAt,         // (key, offset) -> rowid, name, type, data
  kValueAfter,      // (key, rowid) -> rowid, name, type, data
  kKeyInfo,         // (id) -> subkeys, max subkey name, values, max value
                    //         name, max data
  kDataVersion,     // () -> changes by other connections
  kBegin,
  kBeginRead,
  kCommit,
  kRollback,
  kSavepoint,   // one step of a transaction
  kRollbackTo,  // undoes the step
  kRelease,     // ends the step
  kStatementCount
};

// Where the last enumeration of one key by index stopped, and the state of
// the store it was made in.
struct EnumCursor {
  int64_t index = -1;
  std::string name;   // of the subkey there
  int64_t rowid = 0;  // of the value there
  int64_t data_version = -1;
  int64_t own_changes = -1;
};

// A connection and the state kept with it; all fields under `lock`. Every
// connection of the process is on one list (store.cpp), so that a fork can
// wait until no thread is inside SQLite.
struct Connection {
  OwnedMutex lock{LockRank::kConnection};
  sqlite3* db = nullptr;
  sqlite3_stmt* statements[kStatementCount] = {};
  // By key id; emptied when they grow past a few hundred keys.
  std::unordered_map<int64_t, EnumCursor> subkey_cursors;
  std::unordered_map<int64_t, EnumCursor> value_cursors;
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

// A prepared statement, reset and unbound on every way out; made with the
// connection locked.
class Query {
 public:
  Query(Connection& connection, Statement which);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Query& Bind(int index, int64_t value);
  Query& Bind(int index, const std::string& text);
  // Binds without a copy: `text` must outlive the Step (bind and step in
  // one expression).
  Query& BindInPlace(int index, const std::string& text);
  Query& BindBlob(int index, const void* data, size_t size);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  int64_t Int(int column) const;
  std::string Text(int column) const;
  const void* Blob(int column) const;
  size_t Bytes(int column) const;

 private:
  sqlite3_stmt* statement_;
  Connection& connection_;
};

// Locks a connection and opens it where needed; `error()` is nonzero when
// the store cannot be used.
class ConnectionLock {
 public:
  explicit ConnectionLock(Connection& connection);
  ConnectionLock(const ConnectionLock&) = delete;
  ConnectionLock& operator=(const ConnectionLock&) = delete;
  DWORD error() const { return error_; }

 private:
  std::lock_guard<OwnedMutex> guard_;
  DWORD error_ = ERROR_SUCCESS;
};

// The connection of this process.
Connection& ProcessConnection();
// A connection for a transaction, taken from the connections that earlier
// transactions of this process gave back (opening one costs as much as a
// hundred writes), and given back when the transaction is done.
Connection& BorrowConnection();
void ReturnConnection(Connection& connection);
// The last SQLite failure of a connection as a Win32 code.
DWORD StoreError(Connection& connection, int rc);

// A connection's transaction, each call one statement; call with the
// connection locked. A writer's transaction takes the store's write lock
// when it begins; a reader's (read_only) snapshot starts with its first
// read. A commit that fails is rolled back, so that no connection is left
// inside a transaction it cannot end.
LSTATUS BeginStoreTransaction(Connection& connection, bool read_only);
LSTATUS CommitStoreTransaction(Connection& connection);
void RollBackStoreTransaction(Connection& connection);
// One step of a transaction, in a savepoint: EndStep with `undo` leaves
// the transaction as it was before BeginStep.
LSTATUS BeginStep(Connection& connection);
void EndStep(Connection& connection, bool undo);

constexpr int64_t kRootKeyId = 1;
// How long a statement waits for another process's write to end.
constexpr int kStoreBusyTimeoutMs = 30000;

}  // namespace kxwin
