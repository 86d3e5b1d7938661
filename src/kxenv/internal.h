// Internal declarations of libkxenv, shared by its subsystems: frame/ (load,
// unload, locks, tracing), access/ (layout, read, write, built-in values,
// enumerate, delete), cache/ (value memory, index, cache, monitor, watch).
// The table loader's own declarations are in table/table.h. Nothing here is
// exported.
//
// Locks, in the only order in which any path holds two of them:
//   1. the machine-wide mutex (MachineMutex, layout::kMutexName;
//      re-entrant for its owner). Every process holds it across a write of
//      the store and the stale marking after it (StoreWrite, which also
//      keeps the change sequence odd meanwhile), and across a locked cache
//      lookup; a hit on the unlocked path takes none (cache/sequence.cpp).
//   2. the "Memory" lock (MemoryLock: a re-entrant critical section of this
//      process). It guards the value index, the links of the var-block
//      chains, the library's one-time set-up and the watcher's start. Its
//      holder also shuts the unlocked readers of the value index out
//      (IndexReader, frame/readers.cpp), which never wait for it.
//   3. live_lock (cache/memory.cpp), which guards the set of live payloads:
//      taken alone or inside the Memory lock, and nothing is taken inside it.
// The profile store linked in (src/kxenvprf/profiles.cpp) has one more,
// list_lock, around its list of open profiles: nothing is taken inside it.
// All of them come before kxwin's locks, since they are held across calls
// into it; fork() takes them in this order (frame/lifecycle.cpp).
// A function below that needs none of them says "No lock"; one that takes a
// lock itself says so, and must not be called with a lock that comes later
// in the order. Where a comment says "call with ... held", the function
// asserts it (AssertMemoryLockHeld, AssertMachineMutexHeld), and
// MachineMutex asserts the order; the checks are kxwin's and kxenvprf's
// (lock_checks.h: on in Debug and sanitizer builds, nothing in a release
// build).
#pragma once

#include <kxenv/kxenv.h>
#include <zrnapi/zrnapi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "holders.h"
#include "lock_checks.h"
#include "store_layout.h"
#include "win32_extra.h"

// ===== frame: process-wide state ===========================================

// The component name of every trace line of the library.
inline constexpr char kTraceComponent[] = "KXENV2";

// A named lock with an entry count (kept only while tracing is verbose).
struct MyCriticalSection {
  char name[32];
  CRITICAL_SECTION section{};
  int32_t count = 0;  // changed only by the thread that holds the lock
  int32_t depth = 0;  // MemoryLock holders nested; likewise
  [[no_unique_address]] kx::LockHolder owner{};  // where locks are checked
};

// Process-wide state of the library frame.
struct LibraryState {
  // Set once at load, then only read.
  HMODULE module = nullptr;
  MyCriticalSection memory_lock{"Memory"};

  // State below is set by Initialize under the Memory lock; the atomics are
  // read without it.
  std::atomic<int> initialised{0};  // set last
  // Set when KXENV_LOUD was in the environment: the verbose trace lines
  // are written. Atomic because a first call on one thread may set it while
  // another thread reads it.
  std::atomic<bool> verbose{false};
  // The handles again while the objects file cannot be used; closed at
  // unload. Atomic: the library's threads read them while an unload closes
  // them.
  std::atomic<HANDLE> mutex{nullptr};
  std::atomic<HANDLE> shutdown_event{nullptr};
  HMODULE message_locale = nullptr;
  // This process may not write the objects file: mutex and shutdown_event
  // stay null.
  std::atomic<bool> read_only{false};
  // The store-wide change sequence (cache/sequence.cpp), in a shared section
  // made with the mutex; null when it could not be made, and then every
  // lookup takes the locked path. Set once, then only read.
  std::atomic<uint64_t*> sequence{nullptr};

  // Set by the unload (no lock): its work has run.
  std::atomic<bool> detached{false};
};
extern LibraryState g_library;

// ===== frame: locks, guards, tracing =======================================

// fork(): the library's locks in their order before the call, given back in
// the parent after it, and made whole in the child (frame/lifecycle.cpp
// hands its three steps to WatchForForks, a platform file's, at load; the
// platform file calls nothing of the library's). No lock.
struct ForkSteps {
  void (*prepare)();
  void (*parent)();
  void (*child)();
};
void WatchForForks(const ForkSteps& steps);

// True when the library may run; false when it may not (the objects file
// cannot be used; traced with its path and why). Takes the Memory lock.
bool Initialize();

// Names the store key to the store's change journal (once per process; a
// no-op where the store keeps none): every change below it is journalled,
// but a set's LastUser and TimeStamp, which each entry carries itself.
void JournalStore();

// The lock rules, checked where lock rules are (lock_checks.h).
inline void AssertMemoryLockHeld() {
  KX_ASSERT_LOCK(g_library.memory_lock.owner.HeldByMe());
}
inline void AssertMemoryLockNotHeld() {
  KX_ASSERT_LOCK(!g_library.memory_lock.owner.HeldByMe());
}
// How many MachineMutex holders of this thread own the mutex.
inline thread_local kx::HoldCount machine_mutex_held;
inline void AssertMachineMutexHeld() {
  KX_ASSERT_LOCK(machine_mutex_held.Held());
}

// The Memory lock's critical section, made once (frame/locks.cpp).
void MakeMemoryLock();
// Enter and leave a lock untraced: before tracing is set up, and in a fork.
void EnterQuietly(MyCriticalSection* lock);
void LeaveQuietly(MyCriticalSection* lock);
// The Memory lock taken and left as MemoryLock does, untraced.
void EnterShutting();
void LeaveShutting();

// Holds the Memory lock for a scope, with the unlocked readers of the value
// index shut out.
class MemoryLock {
 public:
  MemoryLock();
  ~MemoryLock();
  MemoryLock(const MemoryLock&) = delete;
  MemoryLock& operator=(const MemoryLock&) = delete;
};

// Owns the machine-wide mutex for a scope. Take it before the Memory lock.
class MachineMutex {
 public:
  // A reader (read_only) has no mutex and takes none.
  MachineMutex() {
    AssertMemoryLockNotHeld();
    owned_ = g_library.mutex ? GetMutexOwnership(g_library.mutex) : FALSE;
    if (owned_) machine_mutex_held.Add(1);
  }
  ~MachineMutex() {
    if (!owned_) return;
    machine_mutex_held.Add(-1);
    ReleaseMutexOwnership(g_library.mutex);
  }
  MachineMutex(const MachineMutex&) = delete;
  MachineMutex& operator=(const MachineMutex&) = delete;
  bool owned() const { return owned_; }

 private:
  BOOL owned_ = FALSE;
};

// Owns the machine-wide mutex across a write of the store, with the change
// sequence odd from before the write until after it (cache/sequence.cpp).
// Every write of the library goes through one; nested ones count once.
class StoreWrite {
 public:
  StoreWrite();
  ~StoreWrite();
  StoreWrite(const StoreWrite&) = delete;
  StoreWrite& operator=(const StoreWrite&) = delete;
  bool owned() const { return mutex_.owned(); }

 private:
  MachineMutex mutex_;
};

// An unlocked reader of the value index for a scope (frame/readers.cpp):
// entered, with no write to memory that other threads read, unless a
// thread holds the Memory lock, which the reader then does not wait for.
// No lock.
class IndexReader {
 public:
  IndexReader();
  ~IndexReader();
  IndexReader(const IndexReader&) = delete;
  IndexReader& operator=(const IndexReader&) = delete;
  bool entered() const { return slot_ >= 0; }

 private:
  int slot_;
};
// For the Memory lock's outermost holder: readers are kept out until it
// lets them in, and those inside have left when it returns.
void ShutReadersOut();
void LetReadersIn();
// In a forked child: no reader of the parent is inside, or holds a slot.
void ForgetParentReaders();

// Brackets registry work with the support library's message stack while
// tracing is verbose. No lock.
class MessageFrame {
 public:
  MessageFrame() : pushed_(g_library.verbose) {
    if (pushed_) PushMsgStack();
  }
  ~MessageFrame() {
    if (pushed_) PopMsgStack();
  }
  MessageFrame(const MessageFrame&) = delete;
  MessageFrame& operator=(const MessageFrame&) = delete;

 private:
  bool pushed_;
};

// Runs the body of the operation `name` so that no exception leaves it: an
// exception (memory ran out) writes the trace line "<name>: exception
// occurred!" and gives `failure`. Every exported function runs its body
// through it, as do the stretches that walk shared structures.
template <typename Result, typename Body>
Result Guarded(const char* name, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    SetTraceStringA(kTraceComponent, "%s: exception occurred!\n", name);
    return failure;
  }
}
// The same for a body that gives nothing: false when it was cut short.
template <typename Body>
bool Guarded(const char* name, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
    SetTraceStringA(kTraceComponent, "%s: exception occurred!\n", name);
    return false;
  }
}

// The options block of every registry request: the support library's quiet
// flag in bit 0 unless tracing is verbose. No lock.
RegistryOptions QuietOptions();

// A registry transaction that the requests of a scope join (through their
// options): rolled back unless committed, and closed, on every way out.
// When none can be had, each request is a transaction of its own.
class RegistryTransaction {
 public:
  explicit RegistryTransaction(DWORD create_options)
      : handle_(CreateTransaction(nullptr, nullptr, create_options, 0, 0, 0,
                                  nullptr)) {
    if (!handle_) handle_.release();  // INVALID_HANDLE_VALUE: none, as null
  }
  ~RegistryTransaction() {
    if (handle_ && !committed_) RollbackTransaction(handle_.get());
  }
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  // Null when there is none.
  HANDLE handle() const { return handle_.get(); }
  // True when committed, or when there was none to commit.
  bool Commit() {
    committed_ = !handle_ || CommitTransaction(handle_.get());
    return committed_;
  }

 private:
  kx::UniqueHandle handle_;
  bool committed_ = false;
};

// The local time of day as "%H:%M:%S" and its milliseconds, for traces.
struct TimeOfDay {
  char text[32];
  int milliseconds;
};
// Now. No lock.
TimeOfDay CurrentTimeOfDay();

// A pointer as the 32-bit number that the trace formats print.
inline unsigned TraceAddress(const void* pointer) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

// Texts equal without regard to case, multi-byte aware; a null text equals
// nothing.
inline bool SameNoCase(const char* a, const char* b) {
  return a && b &&
         _mbsicmp(reinterpret_cast<const unsigned char*>(a),
                  reinterpret_cast<const unsigned char*>(b)) == 0;
}
// The same for two texts that are not null, ASCII compared in place: at the
// first byte from 128 on, both have gone through whole characters, and the
// rest is SameNoCase's. What a cache hit compares.
inline bool SameName(const char* a, const char* b) {
  for (;; ++a, ++b) {
    auto x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if ((x | y) >= 0x80) return SameNoCase(a, b);
    if (x >= 'a' && x <= 'z') x -= 'a' - 'A';
    if (y >= 'a' && y <= 'z') y -= 'a' - 'A';
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// ===== access: classes and registry layout (no lock) =======================

// Key paths, value names and the mutex's name: store_layout.h.
namespace layout = kx::layout;
using layout::kKeyPathSize;
using layout::kProductKey;
using layout::kStoreKey;

// The class key below HKEY_LOCAL_MACHINE; "" for no class.
const char* ClassKeyPath(int variable_class);
// "APP", "ENV", "LCL", "GBL" or "OPT"; "" for no class.
const char* ClassShortName(int variable_class);
// The value a set writes ("Local" or "Global"); null: sets fail.
const char* ClassValueName(int variable_class);
// "%s\\%s" from the class key path and the name into `path`; false when it
// would not fit.
bool VariableKeyPath(int variable_class, const char* name,
                     char (&path)[kKeyPathSize]);
// True when a caller's (non-null) name can be one key name below a class or
// application key. An empty name would name the class key itself, one with
// a backslash another key, one with a control character (a line break
// above all) a key that no save file can carry. Otherwise writes the trace
// line "<function>: "<name>" is no variable name; refused.".
bool IsKeyName(const char* name, const char* function);

// ===== cache: value memory =================================================

struct BlockHeader {
  char label[12];  // "KXENV2-VAR", "KXENV2-IDX" or "KXENV2-LNK"
  uint32_t size;   // of the whole block, header included
};

// A var block: the header, the chain links, then the payload that callers
// see.
struct VarBlock {
  BlockHeader header;
  // State below is protected by the Memory lock.
  VarBlock* prev;
  VarBlock* next;
  // payload follows
};

// A zero-filled payload of `size` bytes in a var block of its own; null when
// memory ran out. No lock (takes live_lock).
void* GetVarMemory(size_t size);
// Links the block of `second` into the chain of `first`, right behind it;
// false when either carries no var-block label. Only for payloads the
// library made: a caller's pointer is checked with IsVarPayload first.
// Takes the Memory lock.
bool ChainVarMemory(void* first, void* second);
// Unlinks one var block from its chain and frees it; false when it carries
// no var-block label. Likewise. Takes the Memory lock.
bool UnChainVarMemory(void* block);
// A copy of `text` chained to `record` (when not null); null when `text` is
// null or memory ran out. Takes the Memory lock.
char* CopyToRecord(void* record, const char* text);
// Replaces `*source` (a level-99 record) by a record of `level` in
// `*target`; false for an unknown level or when memory ran out. Takes the
// Memory lock.
bool ConvertVarRecord(VariableRecord** source, VariableRecord** target,
                      int level);
// The lock of the set of live payloads, for the at-fork handler.
std::mutex& LivePayloadsLock();
// True when `payload` is the payload of a live var block that this process
// made; such a pointer may be inspected. Call with the Memory lock held.
bool IsVarPayload(const void* payload);
// The var block of a payload that IsVarPayload accepted.
inline VarBlock* BlockOf(void* payload) {
  return static_cast<VarBlock*>(payload) - 1;
}
// Frees a var block and every block after it in its chain. Call with the
// Memory lock held.
void FreeVarChain(VarBlock* block);
// Number of fields a record of a level carries; 0 for an unknown level.
// No lock.
int FieldsOfLevel(int level);

// ===== cache: the index ====================================================

// One record of a name's chain in an index.
struct VarLink {
  BlockHeader header;
  // State below is protected by the lock of the index (the Memory lock for
  // the value index).
  VarLink* prev;
  VarLink* next;
  VariableRecord* record;
  uint32_t flags;
};
inline constexpr uint32_t kLinkStale = 1u << 0;   // not to be served
inline constexpr uint32_t kLinkAbsent = 1u << 1;  // the variable has no key

struct NameTable;  // index.cpp: the chains again, by a hash of the name

// Records sorted by name without regard to case: one chain of links per
// name in `slots`, found again through `names`.
struct VarIndex {
  BlockHeader header;
  int32_t count;
  int32_t capacity;
  NameTable* names;   // null until the first name
  VarLink* slots[1];  // capacity + 1 of them; the last is always null
};

// The cache of this process's gets. Protected by the Memory lock (the
// pointer and the index behind it).
extern VarIndex* g_value_index;
// The values carried over from profile files. No lock: only the table load
// and the unload use it, one at a time.
extern VarIndex* g_copied_value_index;

// The slot of `name` in `index`, or null. The value index is searched under
// the Memory lock; the table loader's indexes are its own.
VarLink** GetVarIndex(VarIndex* index, const char* name);
// The first link of `name`'s chain, or null, by its hash: as cheap with a
// hundred thousand names as with ten. Searched under the Memory lock or by
// an IndexReader.
VarLink* FindChain(const VarIndex* index, const char* name);
// Links `record` into `index` (which must have room); false when either is
// null or memory ran out. Takes the Memory lock.
bool AddVarIndex(VarIndex* index, VariableRecord* record, bool absent);
// Takes `record`'s link out of `index`, if it is there. Takes the Memory
// lock.
void UnIndexVar(VarIndex* index, VariableRecord* record);
// Takes the record that `pointer` belongs to (the record or any string of
// it) out of `index` and frees the record's whole chain; false when either
// is null or `pointer` is no live payload of this process. The work of
// KXfreememEx, and traced as it ("KXfreememEx: enter ..." and "...: exited
// successfully." while tracing is verbose) whichever caller releases: a get
// whose record equals a cached one, the unload. Takes the Memory lock.
bool ReleaseRecord(VarIndex* index, void* pointer);
// Frees a record that the library made itself, cached or not (even before
// the value index exists): no check and no trace line. Takes the Memory
// lock.
void FreeRecord(VariableRecord* record);
// Releases every record of the index (ReleaseRecord) and the index, and
// empties the reference; false when there was none. Takes the Memory
// lock.
bool FreeIndex(VarIndex** index);
// Applies the growth rule before an insertion: a missing or full index is
// grown by 25 slots. Returns the index to insert into, or null when memory
// ran out (the reference then keeps the index as it was). Call with the
// Memory lock held when it is the value index.
VarIndex* EnsureRoom(VarIndex** index);

// ===== cache: the value cache ==============================================

// The cache lookup: true, with `*record` set, when the cache may serve a
// record of that class, name and level; never reads the store. Takes the
// machine-wide mutex, then the Memory lock.
bool GetCachedValue(int variable_class, const char* name,
                    VariableRecord** record, int level);
// The number of stale markings so far. A get notes it before it reads the
// store; CacheValue then knows whether a marking came between the read and
// the insertion, in which case the record may already be out of date
// (index.cpp, beside CacheDirty). No lock.
uint64_t DirtyGeneration();
// Caches a record read by a get, or frees it when an equal one is cached;
// returns the record to hand out. Takes the Memory lock.
VariableRecord* CacheValue(VariableRecord* record, bool absent,
                           uint64_t read_generation);
// Marks every cached record stale (index.cpp, which owns the links, so that
// the monitor and the sequence call down to it). Takes the Memory lock.
void CacheDirty();

// ===== cache: the change sequence (sequence.cpp) ===========================

// True when no write of the store has begun since this process's cache was
// last known current: a hit may then be served without any lock. No lock.
bool CacheIsCurrent();
// The sequence now; the watcher reads it after arming, before it marks. No
// lock.
uint64_t StoreSequence();
// The watcher has marked the cache after reading `seen`: the cache is
// current up to it when it is even. Call with the Memory lock held.
void NoteMarked(uint64_t seen);
// The cache is current up to no sequence (the watcher stopped waiting).
// Call with the Memory lock held.
void ForgetValidation();
// A locked lookup found no change pending and the watcher armed: the cache
// is current up to the sequence now, marked again first unless the watcher
// has marked after every write it counts. Call with the machine-wide mutex
// and the Memory lock held.
void Revalidate();

// ===== cache: the store change monitor and watches =========================

// True when the watcher thread runs with its notification armed (starting it
// when it does not run). Takes the Memory lock.
bool CheckMonitor();
// True when no change of the store is pending and the watcher is armed: the
// cache may serve. No lock of its own: the lookup that asks owns the
// machine-wide mutex across this check and its search.
bool CheckTabChangeEvent();
// True when a watcher's change event exists and it and the shutdown event
// are clear, by one poll without a trace line or a system call. No lock.
bool NoChangePending();
// Set while the table loader writes the store: the watcher holds back
// its stale marking (and gets bypass the cache) until it clears.
extern std::atomic<bool> g_table_load;

// One watch of a key: owned by whoever waits on it.
struct WatchRequest {
  kx::UniqueKey key;                 // open while the notification is armed
  char key_path[kKeyPathSize] = "";  // below HKEY_LOCAL_MACHINE
  HANDLE event = nullptr;            // what the notification signals
  kx::UniqueHandle own_event;        // `event` when the watch made it
  HANDLE caller_thread = nullptr;    // asynchronous mode: the suspended caller
};

// Watches a variable's key (or a class key, with a null name) until it
// changes (synchronous) or arms the watch and returns (asynchronous); false
// when the watch cannot be armed (or, synchronous, ends without a change).
// No lock.
bool WatchVarForChange(int variable_class, const char* name, HANDLE event,
                       int synchronous);
// Opens the request's key, unless it is open already, and arms its
// notification; false when it cannot. No lock.
bool WatchVarForChangeNotify(WatchRequest* request);
// Waits for the notification; true when it came, false at shutdown or on
// failure. No lock.
bool WatchVarForChangeWait(WatchRequest* request);
// Closes the request's key. No lock.
void WatchVarForChangeClose(WatchRequest* request);

// ===== frame: release ======================================================

// KXfreemem against a given index: Initialize, then ReleaseRecord; 0, or -1
// when either is null or `pointer` is no live payload. Takes the Memory
// lock.
int KXfreememEx(VarIndex* index, void* pointer);

// ===== access: reading and writing (no lock held by the caller) ============

// A get has one read per layer: GetCachedValue asks the cache only,
// GetValue reads the store only (never the cache), and GetIdxValue, the
// dispatcher every get goes through, asks the first and falls back to the
// second, caching what it read.
//
// The value of a variable, served from the cache or read from the store
// and cached; null when it has none. With `record_out` the caller takes the
// record (and gives it back with KXfreemem); without, it gets the value of
// a level-1 record that only the cache holds. Takes the machine-wide mutex
// and the Memory lock.
char* GetIdxValue(int variable_class, const char* name,
                  VariableRecord** record_out, int level);
// The value read from the store, bypassing the cache, with its new record
// (the caller's) in `*record_out`;
// `*not_found` set when the variable has no key (nor, for an
// environment variable, a legacy value). Takes the machine-wide mutex.
char* GetValue(int variable_class, const char* name,
               VariableRecord** record_out, int level, bool* not_found);
// True when set, false when refused or the write failed. Takes the
// machine-wide mutex.
bool SetValue(int variable_class, const char* name, const char* value);
// True when `value_name` of the variable's key was written (with LastUser
// and TimeStamp). Takes the machine-wide mutex.
bool SetRegValue(int variable_class, const char* name, const char* value_name,
                 const char* value);

// ===== access: enumeration =================================================

// The name at `position` in a class or an application's membership key,
// with its record in `*holder`; null past the end. No lock held by the
// caller.
char* EnumValues(int variable_class, unsigned position, const char* application,
                 VariableRecord** holder, int level);

// ===== access: built-in values =============================================
// No lock held by the caller: a %NAME% reference is a get of its own.

// The effective value of each class, from the record's texts, legacy places,
// the environment and computed values; null when none.
char* SelectAppValue(VariableRecord* record);
char* SelectEnvValue(VariableRecord* record, bool* not_found);
char* SelectLocalValue(VariableRecord* record);
char* SelectGlobalValue(VariableRecord* record);
// How many expansions this thread has left unexpanded at the depth limit; a
// record read while it grew is never served from the cache, so that every
// get of a variable in a reference cycle gives the same text.
int CutExpansions();
