// Registry values and enumeration.
//
// Enumeration by index is the Win32 contract, but finding the n-th row by
// OFFSET costs n steps, and a walk of n rows n²/2. Each connection therefore
// remembers, per key, the last subkey and value it enumerated, and a call
// for the next index continues from that row through the index, as long as
// the store has not changed since (PRAGMA data_version and the connection's
// own change count tell). Callers open a new handle for every position, so
// the cursor belongs to the connection, not the handle. Subkeys come in
// the order of their folded names, values in the order they were first
// written.
#include <cstring>

#include "handles.h"
#include "internal.h"
#include "registry.h"

namespace kxwin {
namespace {

LSTATUS CheckValueName(LPCSTR name) {
  if (name && std::strlen(name) > KXWIN_MAX_VALUE_NAME) {
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

// Copies data to a caller's buffer with the Win32 size rules: a null buffer
// asks for the size, a short one gets ERROR_MORE_DATA and the size needed.
// `room` is the buffer's size as read before anything was written: a
// caller's type and size may be one DWORD, and Windows reads the size first.
LSTATUS CopyData(const void* data, size_t size, LPBYTE buffer, DWORD room,
                 LPDWORD buffer_size) {
  if (!buffer_size) return ERROR_SUCCESS;
  if (buffer) {
    if (room < size) {
      *buffer_size = static_cast<DWORD>(size);
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(buffer, data, size);
  }
  *buffer_size = static_cast<DWORD>(size);
  return ERROR_SUCCESS;
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Ends a string value stored without its zero when the caller's buffer has
// room for one, as Windows does; the size reported stays the stored one, so
// a reader gets the stored bytes exactly.
void EndString(DWORD type, size_t size, LPBYTE buffer, DWORD room) {
  if (IsString(type) && buffer && size > 0 && size < room &&
      buffer[size - 1] != 0) {
    buffer[size] = 0;
  }
}

// Copies a name with its terminator; *length counts characters without it.
LSTATUS CopyName(const std::string& name, LPSTR buffer, LPDWORD length) {
  if (name.size() + 1 > *length) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// The cursor of a key when it may continue to `index`: the previous index
// was enumerated last, through this connection, and no connection has
// changed the store since. Then the row after the cursor's is exactly the
// row at `index`, found through the index instead of counted to.
EnumCursor* CursorFor(Connection& connection,
                      std::unordered_map<int64_t, EnumCursor>& cursors,
                      int64_t key, DWORD index, EnumCursor* now) {
  Query version(connection, kDataVersion);
  if (version.Step() != SQLITE_ROW) return nullptr;
  now->data_version = version.Int(0);
  now->own_changes = sqlite3_total_changes64(connection.db);
  auto found = cursors.find(key);
  if (found == cursors.end()) return nullptr;
  const EnumCursor& cursor = found->second;
  bool follows = cursor.index + 1 == index &&
                 cursor.data_version == now->data_version &&
                 cursor.own_changes == now->own_changes;
  return follows ? &found->second : nullptr;
}

void Remember(std::unordered_map<int64_t, EnumCursor>& cursors, int64_t key,
              EnumCursor cursor) {
  constexpr size_t kMaxCursors = 256;
  if (cursors.size() >= kMaxCursors) cursors.clear();
  cursors[key] = std::move(cursor);
}

LSTATUS NextSubkey(Connection& connection, KeyObject& key, DWORD index,
                   std::string* name) {
  EnumCursor now;
  EnumCursor* cursor =
      CursorFor(connection, connection.subkey_cursors, key.id, index, &now);
  Query query(connection, cursor ? kChildAfter : kChildAt);
  query.Bind(1, key.id);
  if (cursor) {
    query.Bind(2, FoldCase(cursor->name));
  } else {
    query.Bind(2, static_cast<int64_t>(index));
  }
  int rc = query.Step();
  if (rc == SQLITE_DONE) return MissingOr(connection, key, ERROR_NO_MORE_ITEMS);
  if (rc != SQLITE_ROW) return StoreError(connection, rc);
  *name = query.Text(0);
  now.index = index;
  now.name = *name;
  Remember(connection.subkey_cursors, key.id, std::move(now));
  return ERROR_SUCCESS;
}

struct ValueRow {
  std::string name;
  DWORD type;
  std::vector<unsigned char> data;
};

LSTATUS NextValue(Connection& connection, KeyObject& key, DWORD index,
                  ValueRow* row) {
  EnumCursor now;
  EnumCursor* cursor =
      CursorFor(connection, connection.value_cursors, key.id, index, &now);
  Query query(connection, cursor ? kValueAfter : kValueAt);
  query.Bind(1, key.id);
  query.Bind(2, cursor ? cursor->rowid : static_cast<int64_t>(index));
  int rc = query.Step();
  if (rc == SQLITE_DONE) return MissingOr(connection, key, ERROR_NO_MORE_ITEMS);
  if (rc != SQLITE_ROW) return StoreError(connection, rc);
  row->name = query.Text(1);
  row->type = static_cast<DWORD>(query.Int(2));
  auto* data = static_cast<const unsigned char*>(query.Blob(3));
  row->data.assign(data, data + query.Bytes(3));
  now.index = index;
  now.rowid = query.Int(0);
  Remember(connection.value_cursors, key.id, std::move(now));
  return ERROR_SUCCESS;
}

// Where a listed value lies among the bytes that were read.
struct Listed {
  DWORD type = REG_NONE;
  size_t at = 0, size = 0;
  bool found = false;
};

// Whether a list's missing value fails the read (Windows' call) or is
// marked as missing (this port's own).
enum class Missing { kFails, kMarked };

// A list's values as they are read: its names, and where each value lies
// in `data`, the bytes read one after another.
struct ListedValues {
  std::vector<std::string_view> wanted;
  std::vector<Listed> listed;
  std::string data;

  // ERROR_INVALID_PARAMETER for an over-long name.
  LSTATUS Start(PVALENTA list, DWORD count) {
    wanted.assign(count, {});
    for (DWORD i = 0; i < count; ++i) {
      if (CheckValueName(list[i].ve_valuename)) return ERROR_INVALID_PARAMETER;
      if (list[i].ve_valuename) wanted[i] = list[i].ve_valuename;
    }
    listed.assign(count, Listed{});
    data.reserve(512);  // a variable's values, in one allocation
    return ERROR_SUCCESS;
  }

  // Takes a row's value (folded name, type and data from column `first`)
  // for every listed name it matches.
  void Take(const Query& query, int first) {
    auto* name = static_cast<const char*>(query.Blob(first));
    std::string_view folded(name ? name : "", query.Bytes(first));
    for (size_t i = 0; i < wanted.size(); ++i) {
      Listed& entry = listed[i];
      // Folding keeps a name's length: most names differ there already.
      if (entry.found || wanted[i].size() != folded.size() ||
          CompareNoCase(wanted[i], folded) != 0) {
        continue;
      }
      auto* bytes = static_cast<const char*>(query.Blob(first + 2));
      entry = {static_cast<DWORD>(query.Int(first + 1)), data.size(),
               query.Bytes(first + 2), true};
      if (entry.size) data.append(bytes, entry.size);
    }
  }

  bool AllFound() const {
    for (const Listed& entry : listed) {
      if (!entry.found) return false;
    }
    return true;
  }
};

// The values of a key's handle, read with one statement: the rows of the
// key matched against the listed names. ERROR_FILE_NOT_FOUND when one of
// them is missing and that fails; ERROR_KEY_DELETED when the key was
// deleted.
LSTATUS ReadListed(Connection& connection, KeyObject& key, Missing missing,
                   ListedValues* values) {
  Query query(connection, kKeyValues);
  query.Bind(1, key.id);
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) values->Take(query, 0);
  if (rc != SQLITE_DONE) return StoreError(connection, rc);
  if (values->AllFound()) return ERROR_SUCCESS;
  return MissingOr(
      connection, key,
      missing == Missing::kFails ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
}

// The values of the key at `path`, found and read with one statement (so
// one snapshot without a transaction); ERROR_FILE_NOT_FOUND when there is
// no such key. A missing value is marked.
LSTATUS ReadListedAt(Connection& connection, const std::string& path,
                     ListedValues* values) {
  Query query(connection, kPathValues);
  std::string folded = FoldCase(path);
  query.BindInPlace(1, folded);
  bool key_found = false;
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) {
    key_found = true;
    if (query.Int(1)) values->Take(query, 2);  // 0: a key without values
  }
  if (rc != SQLITE_DONE) return StoreError(connection, rc);
  return key_found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// Lays the values out one after another in the caller's buffer, as Windows
// does, with each entry's type and length; ERROR_MORE_DATA and the size
// needed when they do not fit.
LSTATUS PlaceValues(const ListedValues& values, PVALENTA list, LPSTR buffer,
                    LPDWORD total) {
  const std::vector<Listed>& listed = values.listed;
  const std::string& data = values.data;
  constexpr size_t kLimit = 1024 * 1024;  // what one call may return
  size_t needed = 0;
  for (size_t i = 0; i < listed.size(); ++i) {
    list[i].ve_type = listed[i].type;
    list[i].ve_valuelen = static_cast<DWORD>(listed[i].size);
    needed += listed[i].size;
  }
  if (needed > kLimit) return ERROR_TRANSFER_TOO_LONG;
  if (!buffer || *total < needed) {
    *total = static_cast<DWORD>(needed);
    return ERROR_MORE_DATA;
  }
  char* at = buffer;
  for (size_t i = 0; i < listed.size(); ++i) {
    list[i].ve_valueptr = 0;
    if (!listed[i].found) continue;
    if (listed[i].size)
      std::memcpy(at, data.data() + listed[i].at, listed[i].size);
    list[i].ve_valueptr = reinterpret_cast<DWORD_PTR>(at);
    at += listed[i].size;
  }
  *total = static_cast<DWORD>(needed);
  return ERROR_SUCCESS;
}

// Resolves a key handle that must grant `needed`.
std::shared_ptr<KeyObject> KeyFor(HKEY handle, REGSAM needed, LSTATUS* status) {
  auto key = ResolveKey(handle, status);
  if (key && !Allowed(*key, needed)) {
    *status = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return key;
}

// Reads the listed values of a key, or of its subkey `sub_key`, from one
// snapshot into the caller's buffer.
LSTATUS QueryListed(HKEY handle, LPCSTR sub_key, PVALENTA list, DWORD count,
                    LPSTR buffer, LPDWORD total, Missing missing) {
  if (!list || !total) return ERROR_INVALID_PARAMETER;
  if (sub_key && sub_key[0] == '\\') return ERROR_BAD_PATHNAME;
  bool below = sub_key && *sub_key;
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    // As when a subkey is opened, the rights of the handle do not matter.
    auto key = below ? ResolveKey(handle, &status)
                     : KeyFor(handle, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    std::string path;
    if (below && (status = SubkeyPath(*key, sub_key, &path))) return status;
    ListedValues values;
    if ((status = values.Start(list, count))) return status;
    status = ReadCall(*key, [&](Connection& connection) -> LSTATUS {
      if (!below) return ReadListed(connection, *key, missing, &values);
      // Nothing is read through a handle to a deleted key.
      LSTATUS exists = MissingOr(connection, *key, ERROR_SUCCESS);
      return exists ? exists : ReadListedAt(connection, path, &values);
    });
    if (status != ERROR_SUCCESS) return status;
    return PlaceValues(values, list, buffer, total);
  });
}

}  // namespace
}  // namespace kxwin

using namespace kxwin;

LSTATUS RegQueryValueExA(HKEY handle, LPCSTR name, LPDWORD, LPDWORD type,
                         LPBYTE data, LPDWORD data_size) {
  if ((data && !data_size) || CheckValueName(name)) {
    return ERROR_INVALID_PARAMETER;
  }
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    auto key = KeyFor(handle, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    return ReadCall(*key, [&](Connection& connection) -> LSTATUS {
      Query query(connection, kGetValue);
      int rc = query.Bind(1, key->id)
                   .BindInPlace(2, FoldCase(name ? name : ""))
                   .Step();
      if (rc == SQLITE_DONE) {
        // Windows zeroes the size of a missing value asked without a buffer.
        if (data_size && !data) *data_size = 0;
        return MissingOr(connection, *key, ERROR_FILE_NOT_FOUND);
      }
      if (rc != SQLITE_ROW) return StoreError(connection, rc);
      DWORD room = data_size ? *data_size : 0;
      auto stored_type = static_cast<DWORD>(query.Int(0));
      if (type) *type = stored_type;
      LSTATUS copied =
          CopyData(query.Blob(1), query.Bytes(1), data, room, data_size);
      if (copied == ERROR_SUCCESS) {
        EndString(stored_type, query.Bytes(1), data, room);
      }
      return copied;
    });
  });
}

LSTATUS RegQueryMultipleValuesA(HKEY handle, PVALENTA list, DWORD count,
                                LPSTR buffer, LPDWORD total) {
  return QueryListed(handle, nullptr, list, count, buffer, total,
                     Missing::kFails);
}

LSTATUS KxwinQueryPresentValues(HKEY handle, LPCSTR sub_key, PVALENTA list,
                                DWORD count, LPSTR buffer, LPDWORD total) {
  return QueryListed(handle, sub_key, list, count, buffer, total,
                     Missing::kMarked);
}

LSTATUS RegSetValueExA(HKEY handle, LPCSTR name, DWORD, DWORD type,
                       const BYTE* data, DWORD size) {
  if (CheckValueName(name)) return ERROR_INVALID_PARAMETER;
  if (!data && size) return ERROR_NOACCESS;  // as Windows (Wine's tests)
  return RegistryCall([&]() -> LSTATUS {
    // A string whose count leaves out its zero is stored with the zero when
    // the byte after the count is one, and exactly as given when it is not:
    // Windows reads that byte too (Wine's tests of string termination).
    if (IsString(type) && size && data[size - 1] && !data[size]) ++size;
    LSTATUS status;
    auto key = KeyFor(handle, KEY_SET_VALUE, &status);
    if (!key) return status;
    return WriteCall(*key,
                     [&](Connection& connection, Changes& changes) -> LSTATUS {
                       Query query(connection, kSetValue);
                       int rc = query.Bind(1, key->id)
                                    .Bind(2, name ? name : "")
                                    .Bind(3, FoldCase(name ? name : ""))
                                    .Bind(4, static_cast<int64_t>(type))
                                    .BindBlob(5, data, size)
                                    .Step();
                       if (rc != SQLITE_DONE) return StoreError(connection, rc);
                       changes.push_back({Change::kValues, key->folded});
                       return ERROR_SUCCESS;
                     });
  });
}

LSTATUS RegDeleteValueA(HKEY handle, LPCSTR name) {
  if (CheckValueName(name)) return ERROR_INVALID_PARAMETER;
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    auto key = KeyFor(handle, KEY_SET_VALUE, &status);
    if (!key) return status;
    return WriteCall(
        *key, [&](Connection& connection, Changes& changes) -> LSTATUS {
          Query query(connection, kDeleteValue);
          int rc =
              query.Bind(1, key->id).Bind(2, FoldCase(name ? name : "")).Step();
          if (rc != SQLITE_DONE) return StoreError(connection, rc);
          if (sqlite3_changes(connection.db) == 0) {
            return MissingOr(connection, *key, ERROR_FILE_NOT_FOUND);
          }
          changes.push_back({Change::kValues, key->folded});
          return ERROR_SUCCESS;
        });
  });
}

LSTATUS RegEnumKeyExA(HKEY handle, DWORD index, LPSTR name, LPDWORD length,
                      LPDWORD, LPSTR class_name, LPDWORD class_length,
                      PFILETIME last_write) {
  if (!name || !length) return ERROR_INVALID_PARAMETER;
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    auto key = KeyFor(handle, KEY_ENUMERATE_SUB_KEYS, &status);
    if (!key) return status;
    std::string found;
    status = ReadCall(*key, [&](Connection& connection) -> LSTATUS {
      return NextSubkey(connection, *key, index, &found);
    });
    if (status != ERROR_SUCCESS) return status;
    if ((status = CopyName(found, name, length))) return status;
    // Keys carry no class and no write time in this store.
    if (class_name && class_length && *class_length) *class_name = '\0';
    if (class_length) *class_length = 0;
    if (last_write) *last_write = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyA(HKEY handle, DWORD index, LPSTR name, DWORD length) {
  return RegEnumKeyExA(handle, index, name, &length, nullptr, nullptr, nullptr,
                       nullptr);
}

LSTATUS RegEnumValueA(HKEY handle, DWORD index, LPSTR name, LPDWORD length,
                      LPDWORD, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  if (!name || !length || (data && !data_size)) return ERROR_INVALID_PARAMETER;
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    auto key = KeyFor(handle, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    ValueRow row;
    status = ReadCall(*key, [&](Connection& connection) -> LSTATUS {
      return NextValue(connection, *key, index, &row);
    });
    if (status != ERROR_SUCCESS) return status;
    // As on Windows: the caller learns the data's type and size, the data
    // is written when it fits (also when the name does not), and the name
    // only when both fit; the name's length is never told.
    if (type) *type = row.type;
    DWORD room = data_size ? *data_size : 0;
    status = CopyData(row.data.data(), row.data.size(), data, room, data_size);
    if (status == ERROR_SUCCESS) {
      EndString(row.type, row.data.size(), data, room);
    }
    if (row.name.size() + 1 > *length) return ERROR_MORE_DATA;
    if (status == ERROR_SUCCESS) CopyName(row.name, name, length);
    return status;
  });
}

LSTATUS RegQueryInfoKeyA(HKEY handle, LPSTR class_name, LPDWORD class_length,
                         LPDWORD, LPDWORD subkeys, LPDWORD max_subkey_length,
                         LPDWORD max_class_length, LPDWORD values,
                         LPDWORD max_value_name_length,
                         LPDWORD max_value_length, LPDWORD security_size,
                         PFILETIME last_write) {
  return RegistryCall([&]() -> LSTATUS {
    LSTATUS status;
    auto key = KeyFor(handle, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    DWORD counts[5] = {};
    status = ReadCall(*key, [&](Connection& connection) -> LSTATUS {
      Query query(connection, kKeyInfo);
      int rc = query.Bind(1, key->id).Step();
      if (rc != SQLITE_ROW) return StoreError(connection, rc);
      for (int i = 0; i < 5; ++i) counts[i] = static_cast<DWORD>(query.Int(i));
      return MissingOr(connection, *key, ERROR_SUCCESS);
    });
    if (status != ERROR_SUCCESS) return status;
    DWORD* outputs[5] = {subkeys, max_subkey_length, values,
                         max_value_name_length, max_value_length};
    for (int i = 0; i < 5; ++i) {
      if (outputs[i]) *outputs[i] = counts[i];
    }
    if (class_name && class_length && *class_length) *class_name = '\0';
    if (class_length) *class_length = 0;
    if (max_class_length) *max_class_length = 0;
    if (security_size) *security_size = 0;
    if (last_write) *last_write = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}
