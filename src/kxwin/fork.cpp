// fork(): the child gets kxwin whole, whatever the parent's other threads
// were doing in it.
//
// One handler, registered when the library is loaded, before anything in it
// can be used, takes every process-local lock of kxwin before fork() in the
// order of LockRank (internal.h), and gives them back after it in both
// processes; the child then forgets the parent's SQLite connections. So a
// fork waits until no thread is inside SQLite or halfway through a handle
// table change, and never for a lock whose holder waits for one it took:
// its order is the order in which threads nest the locks, whichever call a
// process made first. (Handlers registered as each part was first used ran
// in the reverse order of that use, and a fork could take the handle
// table's lock and then wait for a connection whose holder was waiting for
// the handle table.)
//
// The libraries above kxwin hold their own locks while they call down into
// it, so their locks come first: each registers one handler of its own when
// it is loaded, and since the loader initialises a library after the
// libraries it needs, theirs are registered after this one and their
// prepare handlers run before it. The shared objects file's locks are not
// taken: a child waits for them like any other process.
#include <pthread.h>

#include <iterator>

#include "internal.h"

namespace kxwin {
namespace {

// The locks after the connections', in rank order.
void LockTheRest(bool lock) {
  OwnedMutex* locks[] = {&HandleTableLock(), &ObjectsLock(), &DataFilesLock(),
                         &CatalogsLock(), &UserNameLock()};
  if (lock) {
    for (OwnedMutex* each : locks) each->lock();
  } else {
    for (auto each = std::rbegin(locks); each != std::rend(locks); ++each) {
      (*each)->unlock();
    }
  }
}

void Prepare() {
  LockConnectionsForFork();
  LockTheRest(true);
}

void Release(bool in_child) {
  LockTheRest(false);
  UnlockConnectionsAfterFork(in_child);
}

__attribute__((constructor)) void WatchForForks() {
  pthread_atfork(
      Prepare, [] { Release(false); }, [] { Release(true); });
}

}  // namespace
}  // namespace kxwin
