// Registry requests: arrays of keys, each with a list of values, read or
// written as one unit.
//
// Every write call runs in one registry transaction, so a reader or a
// watcher in any process sees all of a call or none of it. A query of more
// than one value reads from one snapshot: one key's values in one call,
// several keys' in a read-only transaction; a single value or a test of a
// key needs neither. A caller
// that names a transaction of its own in the options makes several calls
// one unit: each call joins it, and the caller commits it (or rolls it
// back after a failed call).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "internal.h"

using namespace zrnapi;

namespace {

bool IsEnd(const RegistryRequest& request) {
  return !request.root && !request.path && !request.values &&
         !request.options && !request.reserved;
}

bool Quiet(const RegistryRequest& request) {
  return request.options && (request.options->flags & REGISTRY_OPTION_QUIET);
}

// Every entry names HKEY_LOCAL_MACHINE and a path; false with the failure
// recorded otherwise.
bool CheckRequests(const char* operation, const RegistryRequest* request) {
  if (!request) {
    RecordFailure(false, "%s: no request", operation);
    return false;
  }
  for (; !IsEnd(*request); ++request) {
    if (request->root != HKEY_LOCAL_MACHINE || !request->path) {
      RecordFailure(Quiet(*request),
                    "%s: a request names no path below "
                    "HKEY_LOCAL_MACHINE",
                    operation);
      return false;
    }
  }
  return true;
}

size_t CountValues(const RegistryRequest* request) {
  size_t count = 0;
  for (; !IsEnd(*request); ++request) {
    for (auto* value = request->values; value && value->name; ++value) {
      ++count;
    }
  }
  return count;
}

// A quiet request keeps quiet only about a key or value that is not there;
// a store that cannot be used is traced always.
bool Failed(const char* operation, const RegistryRequest& request,
            const char* what, LSTATUS status) {
  RecordFailure(Quiet(request) && status == ERROR_FILE_NOT_FOUND,
                "%s: %s %s: %s", operation, what, request.path,
                ErrorText(static_cast<DWORD>(status)).c_str());
  return false;
}

// The caller's transaction, named by the first entry's options.
HANDLE CallersTransaction(const RegistryRequest* request) {
  return request && !IsEnd(*request) && request->options
             ? request->options->transaction
             : nullptr;
}

// Joins the caller's transaction or begins one of the call's own.
bool Begin(const char* operation, const RegistryRequest* request,
           TransactionHolder* transaction, DWORD options = 0) {
  if (transaction->Join(CallersTransaction(request))) return true;
  if (transaction->Begin(options)) return true;
  RecordFailure(false, "%s: cannot begin a transaction: %s", operation,
                ErrorText(GetLastError()).c_str());
  return false;
}

bool Commit(const char* operation, TransactionHolder* transaction) {
  if (transaction->Commit()) return true;
  RecordFailure(false, "%s: cannot commit: %s", operation,
                ErrorText(GetLastError()).c_str());
  return false;
}

// A value that is not there reads as empty: size 0, its buffer an empty
// text, its type as the caller left it.
void ReadAsEmpty(RegistryValue* value) {
  if (value->data && value->size) static_cast<char*>(value->data)[0] = '\0';
  value->size = 0;
}

// Reads one value: its type and size, or at most `size` bytes of it.
LSTATUS ReadValue(HKEY key, RegistryValue* value) {
  DWORD type = 0, size = value->data ? value->size : 0;
  LSTATUS status = RegQueryValueExA(key, value->name, nullptr, &type,
                                    static_cast<BYTE*>(value->data), &size);
  if (status == ERROR_FILE_NOT_FOUND) {
    ReadAsEmpty(value);
    return ERROR_SUCCESS;
  }
  if (status == ERROR_MORE_DATA) {
    std::vector<BYTE> whole(size);
    status =
        RegQueryValueExA(key, value->name, nullptr, &type, whole.data(), &size);
    size = std::min(size, value->size);
    if (status == ERROR_SUCCESS) std::memcpy(value->data, whole.data(), size);
  }
  if (status != ERROR_SUCCESS) return status;
  value->type = type;
  value->size = size;
  return ERROR_SUCCESS;
}

bool IsText(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies one value that KxwinQueryPresentValues read into its item, as
// ReadValue would have: a missing one as empty, a present one cut to the
// item's buffer, and a text that has room after it ended with a zero, as
// RegQueryValueExA ends one.
void TakeValue(const VALENTA& read, RegistryValue* value) {
  if (!read.ve_valueptr) {
    ReadAsEmpty(value);
    return;
  }
  value->type = read.ve_type;
  if (!value->data) {
    value->size = read.ve_valuelen;
    return;
  }
  DWORD size = std::min(read.ve_valuelen, value->size);
  auto* data = static_cast<char*>(value->data);
  if (size) std::memcpy(data, reinterpret_cast<char*>(read.ve_valueptr), size);
  if (IsText(read.ve_type) && size && size < value->size && data[size - 1]) {
    data[size] = '\0';
  }
  value->size = size;
}

// Reads every item of an entry (of `key`, or of its subkey `sub_key`) in one
// call, one snapshot and one statement of the store, a missing value as
// empty. On Windows the call fails when any value is missing, or when a
// subkey is named, and the caller then goes the long way.
LSTATUS ReadValues(HKEY key, LPCSTR sub_key, RegistryValue* values,
                   size_t count) {
  std::vector<VALENTA> list(count);
  for (size_t i = 0; i < count; ++i) {
    list[i].ve_valuename = const_cast<LPSTR>(values[i].name);
  }
  // What a variable's values need, without an allocation; not zero-filled,
  // since only the bytes the call reports are read.
  char small[4096];
  std::unique_ptr<char[]> large;
  char* buffer = small;
  DWORD total = sizeof small;
  LSTATUS status;
  while ((status = KxwinQueryPresentValues(key, sub_key, list.data(),
                                           static_cast<DWORD>(count), buffer,
                                           &total)) == ERROR_MORE_DATA &&
         !large) {
    large.reset(buffer = new char[total]);
  }
  if (status != ERROR_SUCCESS) return status;
  for (size_t i = 0; i < count; ++i) TakeValue(list[i], &values[i]);
  return ERROR_SUCCESS;
}

// Reads the items of an entry: together when there are several, else (and
// when that fails: a value is missing) one by one, which also tells a
// failure of its own.
LSTATUS ReadEntry(HKEY key, RegistryValue* values) {
  size_t count = 0;
  while (values && values[count].name) ++count;
  if (count > 1 && ReadValues(key, nullptr, values, count) == ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  for (size_t i = 0; i < count; ++i) {
    if (LSTATUS status = ReadValue(key, &values[i])) return status;
  }
  return ERROR_SUCCESS;
}

// The size to write: as given, or for 0 the size of the data itself.
DWORD WriteSize(const RegistryValue& value) {
  if (value.size || !value.data) return value.size;
  auto* text = static_cast<const char*>(value.data);
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return static_cast<DWORD>(std::strlen(text) + 1);
    case REG_DWORD:
      return sizeof(DWORD);
    case REG_MULTI_SZ: {
      size_t size = 0;
      while (text[size]) size += std::strlen(text + size) + 1;
      return static_cast<DWORD>(size + 1);
    }
    default:
      return 0;
  }
}

// Opens a request's key, in the transaction when there is one.
LSTATUS OpenKey(const RegistryRequest& request, REGSAM access,
                HANDLE transaction, HKEY* key) {
  return transaction
             ? RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, request.path, 0,
                                     access, key, transaction, nullptr)
             : RegOpenKeyExA(HKEY_LOCAL_MACHINE, request.path, 0, access, key);
}

// Reads a request of one key outside any transaction of the caller's in one
// call, which is one snapshot by itself; false when that cannot be done, and
// the request goes the long way (which also tells why).
bool QueryInOneCall(RegistryRequest* request) {
  size_t count = CountValues(request);
  return count > 1 && IsEnd(request[1]) && !CallersTransaction(request) &&
         ReadValues(HKEY_LOCAL_MACHINE, request->path, request->values,
                    count) == ERROR_SUCCESS;
}

bool Query(RegistryRequest* request) {
  constexpr char kOperation[] = "QueryRegistry";
  if (!CheckRequests(kOperation, request)) return false;
  if (QueryInOneCall(request)) return true;
  TransactionHolder transaction;
  // Several values are read from one snapshot; that takes no write lock.
  if (!transaction.Join(CallersTransaction(request)) &&
      CountValues(request) > 1 &&
      !Begin(kOperation, request, &transaction, KXWIN_TRANSACTION_READ_ONLY)) {
    return false;
  }
  for (; !IsEnd(*request); ++request) {
    kx::UniqueKey key;
    LSTATUS status = OpenKey(*request, KEY_READ, transaction.handle, key.out());
    if (status) return Failed(kOperation, *request, "cannot open", status);
    status = ReadEntry(key.get(), request->values);
    if (status) return Failed(kOperation, *request, "cannot read", status);
  }
  return !transaction.handle || Commit(kOperation, &transaction);
}

bool Write(const char* operation, RegistryRequest* request) {
  TransactionHolder transaction;
  if (!CheckRequests(operation, request) ||
      !Begin(operation, request, &transaction)) {
    return false;
  }
  for (; !IsEnd(*request); ++request) {
    kx::UniqueKey key;
    LSTATUS status = RegCreateKeyTransactedA(
        HKEY_LOCAL_MACHINE, request->path, 0, nullptr, 0, KEY_ALL_ACCESS,
        nullptr, key.out(), nullptr, transaction.handle, nullptr);
    if (status) return Failed(operation, *request, "cannot create", status);
    for (auto* value = request->values; value && value->name; ++value) {
      const void* data = value->data ? value->data : "";
      status =
          RegSetValueExA(key.get(), value->name, 0, value->type,
                         static_cast<const BYTE*>(data), WriteSize(*value));
      if (status) return Failed(operation, *request, "cannot write", status);
    }
  }
  return Commit(operation, &transaction);
}

bool DeleteValues(RegistryRequest* request) {
  constexpr char kOperation[] = "DeleteRegistryValues";
  TransactionHolder transaction;
  if (!CheckRequests(kOperation, request) ||
      !Begin(kOperation, request, &transaction)) {
    return false;
  }
  for (; !IsEnd(*request); ++request) {
    kx::UniqueKey key;
    LSTATUS status =
        OpenKey(*request, KEY_ALL_ACCESS, transaction.handle, key.out());
    if (status == ERROR_FILE_NOT_FOUND) continue;  // nothing to delete
    if (status) return Failed(kOperation, *request, "cannot open", status);
    for (auto* value = request->values; value && value->name; ++value) {
      status = RegDeleteValueA(key.get(), value->name);
      if (status && status != ERROR_FILE_NOT_FOUND) {
        return Failed(kOperation, *request, "cannot delete from", status);
      }
    }
  }
  return Commit(kOperation, &transaction);
}

bool DeleteKeys(RegistryRequest* request) {
  constexpr char kOperation[] = "DeleteRegistry";
  TransactionHolder transaction;
  if (!CheckRequests(kOperation, request) ||
      !Begin(kOperation, request, &transaction)) {
    return false;
  }
  kx::UniqueKey root;
  LSTATUS status =
      RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, "", 0, KEY_ALL_ACCESS,
                            root.out(), transaction.handle, nullptr);
  if (status)
    return Failed(kOperation, *request, "cannot open the root for", status);
  for (; !IsEnd(*request); ++request) {
    // An empty path would name the whole store.
    if (!request->path[strspn(request->path, "\\")]) {
      return Failed(kOperation, *request, "refuses to delete the root",
                    ERROR_ACCESS_DENIED);
    }
    status = RegDeleteTreeA(root.get(), request->path);
    if (status && status != ERROR_FILE_NOT_FOUND) {
      return Failed(kOperation, *request, "cannot delete", status);
    }
  }
  return Commit(kOperation, &transaction);
}

}  // namespace

BOOL QueryRegistry(RegistryRequest* request) {
  return Guarded("QueryRegistry", FALSE, [&] { return Query(request); });
}

BOOL SetRegistry(RegistryRequest* request) {
  return Guarded("SetRegistry", FALSE,
                 [&] { return Write("SetRegistry", request); });
}

BOOL CreateRegistry(RegistryRequest* request) {
  return Guarded("CreateRegistry", FALSE,
                 [&] { return Write("CreateRegistry", request); });
}

BOOL DeleteRegistryValues(RegistryRequest* request) {
  return Guarded("DeleteRegistryValues", FALSE,
                 [&] { return DeleteValues(request); });
}

BOOL DeleteRegistry(RegistryRequest* request) {
  return Guarded("DeleteRegistry", FALSE, [&] { return DeleteKeys(request); });
}
