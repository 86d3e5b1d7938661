// Registry change notification across processes.
//
// A watch armed by RegNotifyChangeKeyValue is a slot on the board of the
// shared objects file: the folded path of the watched key, the subtree flag,
// the filter and the event to signal. Every call that writes the store
// collects what it changed and, after its transaction commits and before it
// returns to its caller, signals and disarms every watch that the changes
// match. A writer that holds a mutex across its write therefore releases it
// only after every watcher's event is signalled.
//
// What a change matches, for a watch on key W:
//  - values of key K set or deleted (LAST_SET): W is K, or W is an ancestor
//    of K and watches its subtree;
//  - key K created (NAME): W is K's parent, or an ancestor watching its
//    subtree;
//  - key K deleted: a NAME change of its parent, as Windows reports it
//    (not a deletion of K's values); a watch on K itself or on any key
//    below K always fires, since its key is gone.
//
// A watch ends signalled, as on Windows, when its key handle is closed and,
// unless armed with REG_NOTIFY_THREAD_AGNOSTIC, when the thread that armed
// it ends.
#pragma once

#include <string>
#include <vector>

#include "kxwin/kxwin.h"

namespace kxwin {

struct Change {
  enum Kind { kValues, kCreated, kDeleted, kEmptied } kind;
  std::string folded_path;
};
using Changes = std::vector<Change>;

// Signals and disarms every watch that one of the changes matches.
void SignalChanges(const Changes& changes);

// Arms a watch for a key handle; ERROR_SUCCESS or a Win32 code.
LSTATUS ArmWatch(const std::string& folded_path, bool subtree, DWORD filter,
                 HANDLE event, uint64_t key_handle_id);

// Signals and drops the watches armed through a key handle of this process.
void DropWatches(uint64_t key_handle_id);

// True when a watch on `watched` (subtree or not, with `filter`) fires on
// the change; exposed for tests.
bool WatchMatches(const std::string& watched, bool subtree, DWORD filter,
                  const Change& change);

}  // namespace kxwin
