// Key handles and transactions of the registry, shared by the files that
// implement the Reg* functions.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "notify.h"
#include "store.h"

namespace kxwin {

// A transaction: a connection of its own that takes the store's write lock
// at its first operation and holds it until commit or rollback; the changes
// it made are signalled when it commits.
struct Transaction {
  Connection& connection = BorrowConnection();  // its lock guards the rest
  bool read_only = false;  // set once, before the handle is handed out
  bool begun = false;
  bool finished = false;
  Changes pending;
  Transaction() = default;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();
};

// An open key. Made once per RegOpenKey/RegCreateKey.
struct KeyObject {
  int64_t id = 0;
  std::string path;    // as stored, below HKEY_LOCAL_MACHINE
  std::string folded;  // FoldCase(path)
  REGSAM access = 0;
  uint64_t handle_id = 0;  // names this handle's watches on the board
  std::shared_ptr<Transaction> transaction;
  std::atomic<bool> watched{false};
};

Connection& ConnectionOf(const KeyObject& key);

// True for HKEY_LOCAL_MACHINE, sign-extended or not.
bool IsRootHandle(HKEY handle);

// The key behind a handle (HKEY_LOCAL_MACHINE included); null with *status
// set when the handle is not an open key.
std::shared_ptr<KeyObject> ResolveKey(HKEY handle, LSTATUS* status);

// The path of `sub_key` below `base`, as a key's path is kept; an
// over-long name or path is refused.
LSTATUS SubkeyPath(const KeyObject& base, LPCSTR sub_key, std::string* path);

// True when the key grants every right of `needed`.
bool Allowed(const KeyObject& key, REGSAM needed);

// What to answer when a key's row was not found: the key may have been
// deleted since the handle was opened (never the root, which is answered
// without a read). Call with the connection locked.
LSTATUS MissingOr(Connection& connection, const KeyObject& key,
                  LSTATUS when_key_exists);

// A callable passed down a call and not kept: unlike std::function it never
// allocates (a registry read is cheap enough for that to show).
template <typename Signature>
class BodyRef;
template <typename Result, typename... Args>
class BodyRef<Result(Args...)> {
 public:
  template <typename Callable, typename = std::enable_if_t<!std::is_same_v<
                                   std::decay_t<Callable>, BodyRef>>>
  BodyRef(Callable&& callable)  // NOLINT: converts like std::function
      : object_(const_cast<void*>(static_cast<const void*>(&callable))),
        call_([](void* object, Args... args) -> Result {
          return (*static_cast<std::remove_reference_t<Callable>*>(object))(
              std::forward<Args>(args)...);
        }) {}
  Result operator()(Args... args) const {
    return call_(object_, std::forward<Args>(args)...);
  }

 private:
  void* object_;
  Result (*call_)(void*, Args...);
};

using ReadBody = BodyRef<LSTATUS(Connection&)>;
using WriteBody = BodyRef<LSTATUS(Connection&, Changes&)>;
// Runs a read with the key's connection locked.
LSTATUS ReadCall(const KeyObject& key, ReadBody body);
// Runs a write as one transaction (or as a step of the key's transaction)
// and signals the matching watches once it has committed.
LSTATUS WriteCall(const KeyObject& key, WriteBody body);
// Runs a registry function's body; an exception becomes its result code.
LSTATUS RegistryCall(BodyRef<LSTATUS()> body);

// Rolls back a transaction whose handle is closed before it committed.
void AbandonTransaction(const std::shared_ptr<void>& transaction);

}  // namespace kxwin
