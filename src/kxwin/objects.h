// The shared objects file: events, named mutexes and the board of armed
// registry watches, shared by every process that uses one store directory.
//
// Protocol. The file `objects` in the store directory is mapped MAP_SHARED
// by every process, and every process that maps it holds a shared flock on
// it for as long as it runs. An opener first tries for the exclusive flock
// without waiting. Holding it, it knows that no process uses the file, so a
// file that is not whole (another size, no magic, another layout, a lock
// that is not process-shared and robust) is rebuilt: its space reserved
// with posix_fallocate (pages of a sparse file that cannot be backed kill
// the process with SIGBUS), every byte initialised, the magic written last;
// then the exclusive flock is traded for a shared one. An opener that cannot
// have the exclusive flock waits for a shared one (an initialiser holds the
// exclusive one until the file is whole) and only checks: a file that is
// not whole while other processes use it is refused with ERROR_FILE_CORRUPT,
// never rebuilt under them, and never used (a waiter on a lock that is not
// process-shared would sleep for ever). A crash during initialisation leaves
// no magic, so the next opener initialises again.
//
// Access: a process that may not write the file (open fails) gets no mutex,
// event or watch, and no registry write either (a write must signal the
// watches); README's "Access model" says what such a reader may do.
//
// What a dead process leaves behind:
//  - `table_lock`, if it died holding it: the lock is robust, the next
//    locker makes it consistent. Slots are published by writing `in_use`
//    last, so a half-written slot is never in use.
//  - event slots and watches it owned: each records its owner's process id
//    and start time; when a table is full, slots whose owner no longer runs
//    are reclaimed.
//  - a named mutex it owned: robust; the next waiter gets WAIT_ABANDONED
//    with the ownership.
//
// A watch names its event by slot index and generation; freeing an event
// bumps the generation, so a stale watch can never signal the slot's next
// user.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "kxwin/kxwin.h"

namespace kxwin {

constexpr uint64_t kObjectsMagic = 0x314A424F4E57584Bull;  // "KXWNOBJ1"
// 2: holders keep a shared flock; 3: shared sections
constexpr uint32_t kObjectsFormat = 3;
constexpr uint32_t kEventSlots = 4096;
constexpr uint32_t kMutexSlots = 256;
constexpr uint32_t kWatchSlots = 2048;
constexpr uint32_t kSectionSlots = 32;
constexpr uint32_t kSectionSize = 256;
constexpr uint32_t kMutexNameSize = MAX_PATH;
constexpr uint32_t kWatchPathSize = KXWIN_MAX_KEY_PATH + 1;

// Owner identity of a slot: the process that made it.
struct SlotOwner {
  int32_t pid;
  uint32_t reserved;
  uint64_t start_time;
};

// Under table_lock: in_use, manual_reset, generation, owner.
// Lock-free: state, the futex word (1 = signalled).
struct EventSlot {
  std::atomic<uint32_t> state;
  uint32_t in_use;
  uint32_t manual_reset;
  uint32_t generation;
  SlotOwner owner;
};

// Under table_lock: in_use, generation, name, creator.
// Under `lock`: owner and recursion; only the owning thread writes them, so
// any thread may compare `owner` with its own ticket without the lock.
struct MutexSlot {
  pthread_mutex_t lock;         // process-shared, robust
  std::atomic<uint64_t> owner;  // ticket of the owning thread, 0 when free
  uint32_t recursion;
  uint32_t in_use;
  uint32_t generation;
  uint32_t named;
  SlotOwner creator;  // an unnamed mutex goes with its creator
  char name[kMutexNameSize];
};

// An armed registry watch; all fields under table_lock.
struct WatchSlot {
  uint32_t in_use;
  uint32_t subtree;
  uint32_t filter;
  uint32_t event_index;
  uint32_t event_generation;
  uint32_t reserved;
  SlotOwner owner;
  uint64_t key_handle_id;            // closing this key handle drops the watch
  char folded_path[kWatchPathSize];  // FoldCase of the key's path
};

// A named shared section (mappings.cpp). Under table_lock: in_use, size,
// name; never freed once made. `data` belongs to the section's users: its
// own cache lines, which no one else in the file writes.
struct SectionSlot {
  uint32_t in_use;
  uint32_t size;
  char name[kMutexNameSize];
  alignas(64) unsigned char data[kSectionSize];
};

struct ObjectsLayout {
  uint32_t format;
  uint32_t event_slots, mutex_slots, watch_slots, section_slots;
  uint32_t event_size, mutex_size, watch_size, section_size;
  uint32_t pthread_mutex_size;
};

struct ObjectsFile {
  std::atomic<uint64_t> magic;
  ObjectsLayout layout;
  pthread_mutex_t table_lock;         // process-shared, robust
  std::atomic<uint64_t> next_ticket;  // thread identities, never reused
  uint32_t watch_high_water;  // under table_lock: slots [0, this) may be used
  uint32_t reserved;
  EventSlot events[kEventSlots];
  MutexSlot mutexes[kMutexSlots];
  WatchSlot watches[kWatchSlots];
  SectionSlot sections[kSectionSlots];
};

// The mapped file, or null with the last error set: ERROR_FILE_CORRUPT (not
// whole and in use), ERROR_DISK_FULL (no space for a new one),
// ERROR_ACCESS_DENIED (not writable), ... A failure is not remembered: the
// next call tries again.
ObjectsFile* Objects();

// Mode of a new objects file, whatever the umask; its group is the store
// directory's.
constexpr mode_t kObjectsMode = 0660;

// The store directory: KX_REGISTRY, else the machine's default; made where
// missing. Empty with the last error set when it cannot be made.
std::string StoreDirectory();

// Holds table_lock; a lock left by a dead process is made consistent.
// Where lock rules are checked it also marks the calling thread as the
// holder, for TableLockHeld.
class TableLock {
 public:
  explicit TableLock(ObjectsFile* objects);
  ~TableLock();
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  ObjectsFile* objects_;
};

// True when the calling thread holds table_lock (only known where lock
// rules are checked: KX_ASSERT_LOCK(TableLockHeld())).
bool TableLockHeld();

// Initialises a process-shared robust mutex in the mapping.
void InitSharedMutex(pthread_mutex_t* mutex);

// A unique identity of the calling thread across all processes of the
// store; 0 when the objects file is not available.
uint64_t ThreadTicket();

// True when the slot's owner is this process.
bool OwnedHere(const SlotOwner& owner);
// Stamps a slot with this process as owner.
SlotOwner OwnerHere();
// True when the owner process has ended.
bool OwnerGone(const SlotOwner& owner);

// events.cpp: signals the event slot if it still has that generation; call
// with table_lock held (asserted).
void SignalEventSlot(ObjectsFile* objects, uint32_t index, uint32_t generation);

}  // namespace kxwin
