// The library answers a store it cannot use as it answers a variable that
// is not there, so after a failed get, set or list the tool asks the store
// itself, through kxwin: a read of the root key opens the database and
// reads its schema and the root's rows; for a write, a value set in a
// transaction that is rolled back. Damage that lies deeper than these
// reach shows only in the trace.
#include "store.h"

#include <cstdlib>

#include "holders.h"
#include "kxwin/kxwin.h"

namespace kxtool {
namespace {

// Where kxwin keeps the store when KX_REGISTRY names no directory.
constexpr char kDefaultStore[] = "/var/lib/kx-orrery/registry";

struct Trouble {
  LSTATUS code;
  const char* words;
};

constexpr Trouble kTroubles[] = {
    {ERROR_BADDB,
     "is damaged: not a database of this store, or its pages are malformed"},
    {ERROR_CANTOPEN,
     "cannot be opened: it is no file, or its -wal and -shm files cannot be "
     "made"},
    {ERROR_ACCESS_DENIED, "is read-only to this user"},
    {ERROR_WRITE_PROTECT, "is on a read-only file system"},
    {ERROR_DISK_FULL, "cannot grow: the disk is full"},
    {ERROR_REGISTRY_IO_FAILED, "cannot be read or written: an I/O error"},
    {ERROR_PATH_NOT_FOUND, "has no directory, and none can be made there"},
};

// A read of the root key; for a write, a value set on it in a transaction
// that is rolled back, so that nothing is written and no watch fires.
LSTATUS Probe(bool write) {
  if (!write) {
    return RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr);
  }
  // Closing the transaction uncommitted rolls it back.
  kx::UniqueHandle transaction(
      CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
  if (!transaction) return static_cast<LSTATUS>(GetLastError());
  kx::UniqueKey key;
  LSTATUS status =
      RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, "", 0, KEY_SET_VALUE, key.out(),
                            transaction.get(), nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExA(key.get(), "kxenv write probe", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(""), 1);
  }
  return status;
}

}  // namespace

std::string StoreTrouble(bool write) {
  LSTATUS status = Probe(write);
  if (status == ERROR_SUCCESS) return "";
  const char* dir = std::getenv("KX_REGISTRY");
  std::string what = "the store " +
                     std::string(dir && *dir ? dir : kDefaultStore) +
                     "/registry.db ";
  for (const Trouble& trouble : kTroubles) {
    if (trouble.code == status) return what + trouble.words;
  }
  return what + "cannot be used (error " + std::to_string(status) + ")";
}

std::string UseChosenStore() {
  return "";
}

}  // namespace kxtool
