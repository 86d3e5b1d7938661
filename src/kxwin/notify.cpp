#include "notify.h"

#include <vector>

#include "handles.h"
#include "internal.h"
#include "objects.h"
#include "sync.h"

namespace kxwin {
namespace {

// True when `ancestor` is a proper ancestor of `path`; the root is "".
bool IsAncestor(const std::string& ancestor, const std::string& path) {
  if (ancestor.empty()) return !path.empty();
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         path.compare(0, ancestor.size(), ancestor) == 0;
}

std::string ParentOf(const std::string& path) {
  auto slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A NAME change of `parent`'s subkeys, seen from a watch on `watched`.
bool SubkeysChanged(const std::string& watched, bool subtree, DWORD filter,
                    const std::string& child) {
  if (!(filter & REG_NOTIFY_CHANGE_NAME)) return false;
  return watched == ParentOf(child) || (subtree && IsAncestor(watched, child));
}

// A free watch slot, reclaiming stale ones when none is free; call with
// table_lock held. -1 when the board is full.
int FindFreeWatch(ObjectsFile* objects) {
  KX_ASSERT_LOCK(TableLockHeld());
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t i = 0; i < kWatchSlots; ++i) {
      if (!objects->watches[i].in_use) return static_cast<int>(i);
    }
    // Full: reclaim the watches of ended processes and of freed events.
    for (auto& watch : objects->watches) {
      const EventSlot& event = objects->events[watch.event_index % kEventSlots];
      if (watch.in_use && (OwnerGone(watch.owner) || !event.in_use ||
                           event.generation != watch.event_generation)) {
        watch.in_use = 0;
      }
    }
  }
  return -1;
}

// The watches a thread armed without REG_NOTIFY_THREAD_AGNOSTIC; each is
// signalled and dropped when the thread ends, if it is still armed then.
struct ThreadWatch {
  uint32_t index;
  uint64_t key_handle_id;
  uint32_t event_index;
  uint32_t event_generation;
};
struct ThreadWatches {
  std::vector<ThreadWatch> armed;
  ~ThreadWatches();
};
thread_local ThreadWatches thread_watches;

ThreadWatches::~ThreadWatches() {
  if (armed.empty()) return;
  ObjectsFile* objects = Objects();
  if (!objects) return;
  TableLock lock(objects);
  for (const ThreadWatch& mine : armed) {
    WatchSlot& watch = objects->watches[mine.index];
    if (watch.in_use && !(watch.filter & REG_NOTIFY_THREAD_AGNOSTIC) &&
        watch.key_handle_id == mine.key_handle_id &&
        watch.event_index == mine.event_index &&
        watch.event_generation == mine.event_generation &&
        OwnedHere(watch.owner)) {
      SignalEventSlot(objects, watch.event_index, watch.event_generation);
      watch.in_use = 0;
    }
  }
}

}  // namespace

bool WatchMatches(const std::string& watched, bool subtree, DWORD filter,
                  const Change& change) {
  const std::string& path = change.folded_path;
  bool last_set = filter & REG_NOTIFY_CHANGE_LAST_SET;
  switch (change.kind) {
    case Change::kValues:
      return last_set &&
             (watched == path || (subtree && IsAncestor(watched, path)));
    case Change::kCreated:
      return SubkeysChanged(watched, subtree, filter, path);
    case Change::kDeleted:
      // Seen from above, a deleted key is a NAME change only, as Windows
      // reports it: its values are not reported as deleted one by one.
      return watched == path || IsAncestor(path, watched) ||
             SubkeysChanged(watched, subtree, filter, path);
    case Change::kEmptied:
      // The values and every subkey of `path` went, the key stayed.
      return IsAncestor(path, watched) ||
             ((filter &
               (REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME)) &&
              (watched == path || (subtree && IsAncestor(watched, path))));
  }
  return false;
}

void SignalChanges(const Changes& changes) {
  if (changes.empty()) return;
  ObjectsFile* objects = Objects();
  if (!objects) return;
  TableLock lock(objects);
  for (uint32_t i = 0; i < objects->watch_high_water; ++i) {
    WatchSlot& watch = objects->watches[i];
    if (!watch.in_use) continue;
    for (const Change& change : changes) {
      if (WatchMatches(watch.folded_path, watch.subtree, watch.filter,
                       change)) {
        SignalEventSlot(objects, watch.event_index, watch.event_generation);
        watch.in_use = 0;
        break;
      }
    }
  }
}

LSTATUS ArmWatch(const std::string& folded_path, bool subtree, DWORD filter,
                 HANDLE event_handle, uint64_t key_handle_id) {
  auto event = Lookup<EventObject>(event_handle, HandleKind::kEvent);
  if (!event) return ERROR_INVALID_HANDLE;
  if (folded_path.size() >= kWatchPathSize) return ERROR_INVALID_PARAMETER;
  ObjectsFile* objects = event->objects;
  TableLock lock(objects);
  int index = FindFreeWatch(objects);
  if (index < 0) return ERROR_NOT_ENOUGH_MEMORY;
  // Arming resets the event, as on Windows: a signal left from before would
  // wake the waiter for no change.
  event->slot().state.store(0);
  WatchSlot& watch = objects->watches[index];
  watch.subtree = subtree;
  watch.filter = filter;
  watch.event_index = event->index;
  watch.event_generation = event->generation;
  watch.owner = OwnerHere();
  watch.key_handle_id = key_handle_id;
  folded_path.copy(watch.folded_path, folded_path.size());
  watch.folded_path[folded_path.size()] = '\0';
  watch.in_use = 1;
  if (static_cast<uint32_t>(index) >= objects->watch_high_water) {
    objects->watch_high_water = static_cast<uint32_t>(index) + 1;
  }
  if (!(filter & REG_NOTIFY_THREAD_AGNOSTIC)) {
    auto& armed = thread_watches.armed;
    // Forget the watches that have fired or gone since, so that a thread
    // that arms again and again keeps a short list.
    std::erase_if(armed, [&](const ThreadWatch& mine) {
      const WatchSlot& slot = objects->watches[mine.index];
      return !slot.in_use || slot.key_handle_id != mine.key_handle_id;
    });
    armed.push_back({static_cast<uint32_t>(index), key_handle_id, event->index,
                     event->generation});
  }
  return ERROR_SUCCESS;
}

void DropWatches(uint64_t key_handle_id) {
  ObjectsFile* objects = Objects();
  if (!objects) return;
  TableLock lock(objects);
  for (uint32_t i = 0; i < objects->watch_high_water; ++i) {
    WatchSlot& watch = objects->watches[i];
    if (watch.in_use && watch.key_handle_id == key_handle_id &&
        OwnedHere(watch.owner)) {
      SignalEventSlot(objects, watch.event_index, watch.event_generation);
      watch.in_use = 0;
    }
  }
}

}  // namespace kxwin
