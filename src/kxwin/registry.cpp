// Registry keys: paths, handles, opening, creating, deleting and closing,
// the read and write brackets of every registry call, transactions, and
// change notification.
#include "registry.h"

#include <cstring>
#include <new>
#include <vector>

#include "handles.h"
#include "internal.h"
#include "objects.h"

namespace kxwin {
namespace {

std::atomic<uint64_t> next_handle_id{1};

// Never destroyed: threads of the libraries above may still use the root
// while the process runs its exit handlers.
const std::shared_ptr<KeyObject>& RootKey() {
  static const auto& root = *new std::shared_ptr<KeyObject>([] {
    auto key = std::make_shared<KeyObject>();
    key->id = kRootKeyId;
    key->access = KEY_ALL_ACCESS;
    return key;
  }());
  return root;
}

// Splits a subkey path into its names, skipping empty ones (a leading,
// trailing or doubled backslash); they point into `path`.
std::vector<std::string_view> SplitPath(const char* path) {
  std::vector<std::string_view> names;
  if (!path) return names;
  names.reserve(16);  // a store's paths are a dozen names deep
  for (const char* p = path; *p;) {
    const char* end = std::strchr(p, '\\');
    if (!end) end = p + std::strlen(p);
    if (end > p) names.emplace_back(p, static_cast<size_t>(end - p));
    p = *end ? end + 1 : end;
  }
  return names;
}

// Joins the names to `base`; an over-long name or path is refused.
LSTATUS JoinPath(const std::string& base,
                 const std::vector<std::string_view>& names, std::string* out) {
  std::string path;
  path.reserve(KXWIN_MAX_KEY_PATH + 1);
  path = base;
  for (const auto& name : names) {
    if (name.size() > KXWIN_MAX_KEY_NAME) return ERROR_INVALID_PARAMETER;
    if (!path.empty()) path += '\\';
    path += name;
  }
  if (path.size() > KXWIN_MAX_KEY_PATH) return ERROR_INVALID_PARAMETER;
  *out = std::move(path);
  return ERROR_SUCCESS;
}

// Finds a key by path; ERROR_FILE_NOT_FOUND when there is none.
LSTATUS FindKey(Connection& connection, const std::string& path, int64_t* id,
                std::string* stored_path) {
  if (path.empty()) {
    *id = kRootKeyId;
    stored_path->clear();
    return ERROR_SUCCESS;
  }
  Query query(connection, kFindKey);
  int rc = query.BindInPlace(1, FoldCase(path)).Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return StoreError(connection, rc);
  *id = query.Int(0);
  *stored_path = query.Text(1);
  return ERROR_SUCCESS;
}

// Creates every missing key along `names` below the root.
LSTATUS CreatePath(Connection& connection,
                   const std::vector<std::string_view>& names, Changes& changes,
                   int64_t* id, std::string* stored_path, bool* created) {
  int64_t parent = kRootKeyId;
  std::string parent_path;
  *created = false;
  for (std::string_view view : names) {
    std::string name(view);
    std::string path = parent_path.empty() ? name : parent_path + '\\' + name;
    LSTATUS status = FindKey(connection, path, &parent, &parent_path);
    if (status == ERROR_FILE_NOT_FOUND) {
      Query insert(connection, kInsertKey);
      int rc = insert.Bind(1, parent)
                   .Bind(2, name)
                   .Bind(3, path)
                   .Bind(4, FoldCase(name))
                   .Bind(5, FoldCase(path))
                   .Step();
      if (rc != SQLITE_DONE) return StoreError(connection, rc);
      parent = sqlite3_last_insert_rowid(connection.db);
      parent_path = path;
      changes.push_back({Change::kCreated, FoldCase(path)});
      *created = true;
    } else if (status != ERROR_SUCCESS) {
      return status;
    }
  }
  *id = parent;
  *stored_path = parent_path;
  return ERROR_SUCCESS;
}

LSTATUS MakeKeyHandle(int64_t id, const std::string& path, REGSAM access,
                      std::shared_ptr<Transaction> transaction, PHKEY out) {
  auto key = std::make_shared<KeyObject>();
  key->id = id;
  key->path = path;
  key->folded = FoldCase(path);
  key->access = access;
  key->handle_id = next_handle_id.fetch_add(1);
  key->transaction = std::move(transaction);
  HANDLE handle = InsertHandle(HandleKind::kKey, std::move(key));
  if (!handle) return ERROR_NOT_ENOUGH_MEMORY;
  *out = static_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

// Takes the store's write lock at a transaction's first operation, so that
// everything it reads and writes is one snapshot. Call with its connection
// locked.
LSTATUS BeginTransaction(Transaction& transaction) {
  KX_ASSERT_LOCK(transaction.connection.lock.HeldByMe());
  if (transaction.finished) return ERROR_TRANSACTION_NOT_ACTIVE;
  if (transaction.begun) return ERROR_SUCCESS;
  // A read-only transaction's snapshot starts with its first read.
  LSTATUS status =
      BeginStoreTransaction(transaction.connection, transaction.read_only);
  transaction.begun = status == ERROR_SUCCESS;
  return status;
}

// One step of a transaction, inside a savepoint so that a failed step
// leaves the transaction as it was before it.
LSTATUS TransactionStep(Transaction& transaction, WriteBody body) {
  if (transaction.read_only) return ERROR_ACCESS_DENIED;
  Connection& connection = transaction.connection;
  ConnectionLock lock(connection);
  if (lock.error()) return lock.error();
  LSTATUS begun = BeginTransaction(transaction);
  if (begun != ERROR_SUCCESS) return begun;
  // Prepared once per connection: a step is often a single value's write,
  // and parsing these each time cost as much as the write.
  LSTATUS saved = BeginStep(connection);
  if (saved != ERROR_SUCCESS) return saved;
  Changes changes;
  LSTATUS status = body(connection, changes);
  if (status == ERROR_SUCCESS) {
    transaction.pending.insert(transaction.pending.end(), changes.begin(),
                               changes.end());
  }
  EndStep(connection, status != ERROR_SUCCESS);
  return status;
}

LSTATUS OpenKey(HKEY parent, LPCSTR sub_key, REGSAM access, PHKEY result,
                std::shared_ptr<Transaction> transaction) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (sub_key && sub_key[0] == '\\') return ERROR_BAD_PATHNAME;  // as Windows
  LSTATUS status;
  auto base = ResolveKey(parent, &status);
  if (!base) return status;
  std::string path;
  if ((status = SubkeyPath(*base, sub_key, &path))) return status;
  if (!transaction) transaction = base->transaction;
  Connection& connection =
      transaction ? transaction->connection : ProcessConnection();
  ConnectionLock lock(connection);
  if (lock.error()) return lock.error();
  // A read-only transaction's snapshot holds the key's existence too; a
  // writing one takes the write lock only when it writes.
  if (transaction && transaction->read_only &&
      (status = BeginTransaction(*transaction))) {
    return status;
  }
  // Nothing opens through a handle to a deleted key, also where a key of
  // the same path has been made since.
  if ((status = MissingOr(connection, *base, ERROR_SUCCESS))) return status;
  int64_t id;
  std::string stored;
  if ((status = FindKey(connection, path, &id, &stored))) return status;
  return MakeKeyHandle(id, stored, access, std::move(transaction), result);
}

LSTATUS CreateKey(HKEY parent, LPCSTR sub_key, REGSAM access, PHKEY result,
                  LPDWORD disposition,
                  std::shared_ptr<Transaction> transaction) {
  if (!result || !sub_key) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (sub_key[0] == '\\') return ERROR_BAD_PATHNAME;  // as Windows answers
  LSTATUS status;
  auto base = ResolveKey(parent, &status);
  if (!base) return status;
  // As on Windows, the rights of the parent's handle do not matter here.
  std::string path;
  std::vector<std::string_view> names = SplitPath(base->path.c_str());
  for (std::string_view name : SplitPath(sub_key)) names.push_back(name);
  if ((status = JoinPath({}, names, &path))) return status;
  if (!transaction) transaction = base->transaction;
  // The path is made from the root, so a deleted parent would come back:
  // a handle to a deleted key is refused here as by every other call.
  KeyObject scope;
  scope.id = base->id;
  scope.transaction = transaction;
  auto parent_exists = [&](Connection& connection) -> LSTATUS {
    return MissingOr(connection, scope, ERROR_SUCCESS);
  };
  // The root is never deleted: no read needed.
  if (scope.id != kRootKeyId && (status = ReadCall(scope, parent_exists))) {
    return status;
  }
  // Open it when it exists, without taking the store's write lock.
  status =
      OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), access, result, transaction);
  if (status != ERROR_FILE_NOT_FOUND) {
    if (status == ERROR_SUCCESS && disposition) {
      *disposition = REG_OPENED_EXISTING_KEY;
    }
    return status;
  }
  int64_t id = 0;
  std::string stored;
  bool created = false;
  status = WriteCall(
      scope, [&](Connection& connection, Changes& changes) -> LSTATUS {
        LSTATUS exists = parent_exists(connection);
        if (exists != ERROR_SUCCESS) return exists;
        return CreatePath(connection, names, changes, &id, &stored, &created);
      });
  if (status != ERROR_SUCCESS) return status;
  if (disposition) {
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return MakeKeyHandle(id, stored, access, std::move(transaction), result);
}

// Deletes the key at `sub_key` below `parent`: only when it has no subkeys,
// or with its whole subtree.
LSTATUS DeleteKey(HKEY parent, LPCSTR sub_key, bool whole_tree) {
  LSTATUS status;
  auto base = ResolveKey(parent, &status);
  if (!base) return status;
  // As on Windows, the rights of the parent's handle do not matter here.
  std::string path;
  if ((status = SubkeyPath(*base, sub_key, &path))) return status;
  return WriteCall(*base,
                   [&](Connection& connection, Changes& changes) -> LSTATUS {
                     int64_t id;
                     std::string stored;
                     LSTATUS found = FindKey(connection, path, &id, &stored);
                     if (found != ERROR_SUCCESS) return found;
                     if (id == kRootKeyId) return ERROR_ACCESS_DENIED;
                     if (!whole_tree) {
                       Query children(connection, kCountChildren);
                       int rc = children.Bind(1, id).Step();
                       if (rc != SQLITE_ROW) return StoreError(connection, rc);
                       if (children.Int(0) > 0) return ERROR_ACCESS_DENIED;
                     }
                     Query remove(connection, kDeleteKey);
                     int rc = remove.Bind(1, id).Step();
                     if (rc != SQLITE_DONE) return StoreError(connection, rc);
                     changes.push_back({Change::kDeleted, FoldCase(stored)});
                     return ERROR_SUCCESS;
                   });
}

// Deletes the values and subkeys of a key, keeping the key.
LSTATUS EmptyKey(HKEY handle) {
  LSTATUS status;
  auto key = ResolveKey(handle, &status);
  if (!key) return status;
  if (!Allowed(*key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return WriteCall(
      *key, [&](Connection& connection, Changes& changes) -> LSTATUS {
        LSTATUS exists = MissingOr(connection, *key, ERROR_SUCCESS);
        if (exists != ERROR_SUCCESS) return exists;
        for (Statement which : {kDeleteValues, kDeleteChildren}) {
          Query query(connection, which);
          int rc = query.Bind(1, key->id).Step();
          if (rc != SQLITE_DONE) return StoreError(connection, rc);
        }
        changes.push_back({Change::kEmptied, key->folded});
        return ERROR_SUCCESS;
      });
}

}  // namespace

Connection& ConnectionOf(const KeyObject& key) {
  return key.transaction ? key.transaction->connection : ProcessConnection();
}

bool IsRootHandle(HKEY handle) {
  // Windows looks at the low 32 bits of a predefined key only: its SDK
  // sign-extends HKEY_LOCAL_MACHINE in 64-bit code. No handle of the table
  // looks like it (theirs are multiples of four).
  return (reinterpret_cast<uintptr_t>(handle) & 0xFFFFFFFFu) ==
         reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE);
}

std::shared_ptr<KeyObject> ResolveKey(HKEY handle, LSTATUS* status) {
  if (IsRootHandle(handle)) return RootKey();
  auto key = Lookup<KeyObject>(handle, HandleKind::kKey);
  if (!key) *status = ERROR_INVALID_HANDLE;
  return key;
}

bool Allowed(const KeyObject& key, REGSAM needed) {
  return (key.access & MAXIMUM_ALLOWED) || (key.access & needed) == needed;
}

LSTATUS SubkeyPath(const KeyObject& base, LPCSTR sub_key, std::string* path) {
  return JoinPath(base.path, SplitPath(sub_key), path);
}

LSTATUS MissingOr(Connection& connection, const KeyObject& key,
                  LSTATUS when_key_exists) {
  KX_ASSERT_LOCK(connection.lock.HeldByMe());
  if (key.id == kRootKeyId) return when_key_exists;  // never deleted
  Query query(connection, kKeyExists);
  int rc = query.Bind(1, key.id).Step();
  if (rc == SQLITE_ROW) return when_key_exists;
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  return StoreError(connection, rc);
}

LSTATUS ReadCall(const KeyObject& key, ReadBody body) {
  Connection& connection = ConnectionOf(key);
  ConnectionLock lock(connection);
  if (lock.error()) return lock.error();
  if (key.transaction) {
    LSTATUS begun = BeginTransaction(*key.transaction);
    if (begun != ERROR_SUCCESS) return begun;
  }
  return body(connection);
}

LSTATUS WriteCall(const KeyObject& key, WriteBody body) {
  // A write must signal the watches of every process: without the objects
  // file it is refused, not made unseen.
  if (!Objects()) return static_cast<LSTATUS>(GetLastError());
  if (key.transaction) return TransactionStep(*key.transaction, body);
  Changes changes;
  {
    Connection& connection = ProcessConnection();
    ConnectionLock lock(connection);
    if (lock.error()) return lock.error();
    LSTATUS status = BeginStoreTransaction(connection, false);
    if (status != ERROR_SUCCESS) return status;
    status = body(connection, changes);
    if (status != ERROR_SUCCESS) {
      RollBackStoreTransaction(connection);
      return status;
    }
    status = CommitStoreTransaction(connection);
    if (status != ERROR_SUCCESS) return status;
  }
  SignalChanges(changes);
  return ERROR_SUCCESS;
}

LSTATUS RegistryCall(BodyRef<LSTATUS()> body) {
  try {
    return body();
  } catch (...) {
    return static_cast<LSTATUS>(ErrorFromException());
  }
}

Transaction::~Transaction() {
  {
    ConnectionLock lock(connection);
    if (!lock.error() && begun && !finished) {
      RollBackStoreTransaction(connection);
    }
  }
  ReturnConnection(connection);
}

void AbandonTransaction(const std::shared_ptr<void>& object) {
  auto transaction = std::static_pointer_cast<Transaction>(object);
  ConnectionLock lock(transaction->connection);
  if (!lock.error() && transaction->begun && !transaction->finished) {
    RollBackStoreTransaction(transaction->connection);
  }
  transaction->finished = true;
}

}  // namespace kxwin

using namespace kxwin;

LSTATUS RegOpenKeyExA(HKEY parent, LPCSTR sub_key, DWORD, REGSAM access,
                      PHKEY result) {
  return RegistryCall(
      [&] { return OpenKey(parent, sub_key, access, result, nullptr); });
}

LSTATUS RegCreateKeyExA(HKEY parent, LPCSTR sub_key, DWORD, LPSTR, DWORD,
                        REGSAM access, const SECURITY_ATTRIBUTES*, PHKEY result,
                        LPDWORD disposition) {
  return RegistryCall([&]() -> LSTATUS {
    return CreateKey(parent, sub_key, access, result, disposition, nullptr);
  });
}

LSTATUS RegDeleteKeyA(HKEY parent, LPCSTR sub_key) {
  if (!sub_key) return ERROR_INVALID_PARAMETER;
  return RegistryCall(
      [&]() -> LSTATUS { return DeleteKey(parent, sub_key, false); });
}

LSTATUS RegDeleteTreeA(HKEY parent, LPCSTR sub_key) {
  return RegistryCall([&]() -> LSTATUS {
    return sub_key && *sub_key ? DeleteKey(parent, sub_key, true)
                               : EmptyKey(parent);
  });
}

LSTATUS RegCloseKey(HKEY handle) {
  if (IsRootHandle(handle)) return ERROR_SUCCESS;
  return RegistryCall([&]() -> LSTATUS {
    auto key = std::static_pointer_cast<KeyObject>(
        RemoveHandle(handle, HandleKind::kKey));
    if (!key) return ERROR_INVALID_HANDLE;
    if (key->watched.load()) DropWatches(key->handle_id);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegNotifyChangeKeyValue(HKEY handle, BOOL subtree, DWORD filter,
                                HANDLE event, BOOL asynchronous) {
  constexpr DWORD kLegalFilter = 0xF | REG_NOTIFY_THREAD_AGNOSTIC;
  if ((filter & ~kLegalFilter) || !(filter & 0xF)) {
    return ERROR_INVALID_PARAMETER;
  }
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    auto key = ResolveKey(handle, &status);
    if (!key) return status;
    if (!Allowed(*key, KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
    status = ReadCall(*key, [&](Connection& connection) -> LSTATUS {
      return MissingOr(connection, *key, ERROR_SUCCESS);
    });
    if (status != ERROR_SUCCESS) return status;
    HANDLE wait_event =
        asynchronous ? event : CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wait_event)
      return static_cast<LSTATUS>(asynchronous ? ERROR_INVALID_HANDLE
                                               : GetLastError());
    key->watched.store(true);
    status = ArmWatch(key->folded, subtree, filter, wait_event, key->handle_id);
    if (!asynchronous) {
      if (status == ERROR_SUCCESS &&
          WaitForSingleObject(wait_event, INFINITE) != WAIT_OBJECT_0) {
        status = GetLastError();
      }
      RemoveHandle(wait_event, HandleKind::kEvent);
    }
    return status;
  });
}

HANDLE CreateTransaction(LPSECURITY_ATTRIBUTES, void*, DWORD options, DWORD,
                         DWORD, DWORD, void*) {
  HANDLE handle = Guarded<HANDLE>(nullptr, [&] {
    auto transaction = std::make_shared<Transaction>();
    transaction->read_only = (options & KXWIN_TRANSACTION_READ_ONLY) != 0;
    return InsertHandle(HandleKind::kTransaction, std::move(transaction));
  });
  return handle ? handle : INVALID_HANDLE_VALUE;
}

BOOL CommitTransaction(HANDLE handle) {
  auto transaction = Lookup<Transaction>(handle, HandleKind::kTransaction);
  if (!transaction) return FALSE;
  LSTATUS status = RegistryCall([&]() -> LSTATUS {
    Changes committed;
    {
      ConnectionLock lock(transaction->connection);
      if (lock.error()) return lock.error();
      if (transaction->finished) {
        return ERROR_TRANSACTION_NOT_ACTIVE;
      }
      transaction->finished = true;
      if (!transaction->begun) return ERROR_SUCCESS;
      LSTATUS commit = CommitStoreTransaction(transaction->connection);
      if (commit != ERROR_SUCCESS) return commit;
      committed.swap(transaction->pending);
    }
    SignalChanges(committed);
    return ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS) SetLastError(status);
  return status == ERROR_SUCCESS;
}

BOOL RollbackTransaction(HANDLE handle) {
  auto transaction = Lookup<Transaction>(handle, HandleKind::kTransaction);
  if (!transaction) return FALSE;
  if (transaction->finished) {
    SetLastError(ERROR_TRANSACTION_NOT_ACTIVE);
    return FALSE;
  }
  AbandonTransaction(transaction);
  return TRUE;
}

LSTATUS RegOpenKeyTransactedA(HKEY parent, LPCSTR sub_key, DWORD, REGSAM access,
                              PHKEY result, HANDLE transaction_handle, void*) {
  auto transaction =
      Lookup<Transaction>(transaction_handle, HandleKind::kTransaction);
  if (!transaction) return ERROR_INVALID_HANDLE;
  return RegistryCall(
      [&] { return OpenKey(parent, sub_key, access, result, transaction); });
}

LSTATUS RegCreateKeyTransactedA(HKEY parent, LPCSTR sub_key, DWORD, LPSTR,
                                DWORD, REGSAM access,
                                const SECURITY_ATTRIBUTES*, PHKEY result,
                                LPDWORD disposition, HANDLE transaction_handle,
                                void*) {
  auto transaction =
      Lookup<Transaction>(transaction_handle, HandleKind::kTransaction);
  if (!transaction) return ERROR_INVALID_HANDLE;
  return RegistryCall([&]() -> LSTATUS {
    return CreateKey(parent, sub_key, access, result, disposition, transaction);
  });
}
