// Internal declarations of libkxenv, shared by its subsystems. Nothing here
// is exported.
//
// Locks, in the only order in which any path holds two of them:
//   1. the machine-wide mutex "KX.COMMON.KXENV2.ENV.TAB.MUTEX" (through
//      GetMutexOwnership; re-entrant for its owner);
//   2. the "Memory" lock (a re-entrant critical section of this process),
//      which guards the value index, its links and the var-block chains.
#pragma once

#include <kxenv/kxenv.h>
#include "win32_extra.h"
#include <zrnapi/zrnapi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- frame: lifecycle, locks, tracing ------------------------------------

// The component name of every trace line of the library.
inline constexpr char kTraceComponent[] = "KXENV2";

// A named lock with an entry count (kept only while tracing is verbose).
struct MyCriticalSection {
  char name[32];
  CRITICAL_SECTION section;
  int32_t count;  // changed only by the thread that holds the lock
};

// Process-wide state of the library frame.
//   module, quiet, lock_ready: set once, then only read.
//   initialised: set last by Initialize, under the Memory lock.
//   mutex, shutdown_event, message_locale: set by Initialize under the
//     Memory lock (the handles again while the objects file cannot be
//     used); closed at unload.
//   read_only: set by Initialize when this process may not write the
//     objects file; then mutex and shutdown_event stay null.
struct LibraryState {
  HMODULE module;
  // 1 unless KXENV_LOUD was in the environment; atomic because a first
  // call on one thread may set it while another thread reads it.
  std::atomic<int> quiet;
  std::atomic<int> initialised;
  MyCriticalSection memory_lock;
  // Atomic: the library's threads read them while an unload closes them.
  std::atomic<HANDLE> mutex;
  std::atomic<HANDLE> shutdown_event;
  HMODULE message_locale;
  std::atomic<bool> detached;  // the unload work has run
  std::atomic<bool> read_only;
};
extern LibraryState g_library;

// Runs the one-time initialisation; false when the library may not run
// (the objects file cannot be used; traced with its path and why).
bool Initialize();
void EnterMyCriticalSection(MyCriticalSection* lock);
void LeaveMyCriticalSection(MyCriticalSection* lock);

// Holds the Memory lock for a scope.
class MemoryLock {
 public:
  MemoryLock() { EnterMyCriticalSection(&g_library.memory_lock); }
  ~MemoryLock() { LeaveMyCriticalSection(&g_library.memory_lock); }
  MemoryLock(const MemoryLock&) = delete;
  MemoryLock& operator=(const MemoryLock&) = delete;
};

// Owns the machine-wide mutex for a scope.
class MachineMutex {
 public:
  // A reader (read_only) has no mutex and takes none.
  MachineMutex()
      : owned_(g_library.mutex ? GetMutexOwnership(g_library.mutex) : FALSE) {}
  ~MachineMutex() {
    if (owned_) ReleaseMutexOwnership(g_library.mutex);
  }
  MachineMutex(const MachineMutex&) = delete;
  MachineMutex& operator=(const MachineMutex&) = delete;
  bool owned() const { return owned_; }

 private:
  BOOL owned_;
};

// Brackets registry work with the support library's message stack while
// tracing is verbose.
class MessageFrame {
 public:
  MessageFrame() : pushed_(g_library.quiet == 0) {
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

// Runs an exported function's body: no exception leaves the library, an
// exception (memory ran out) gives the failure value.
template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// The options block of every registry request: the quiet flag in bit 0.
RegistryOptions QuietOptions();

// A registry transaction that the requests of a scope join (through their
// options): rolled back unless committed, and closed, on every way out.
// When none can be had, each request is a transaction of its own.
class RegistryTransaction {
 public:
  explicit RegistryTransaction(DWORD create_options)
      : handle_(CreateTransaction(nullptr, nullptr, create_options, 0, 0, 0,
                                  nullptr)) {
    if (handle_ == INVALID_HANDLE_VALUE) handle_ = nullptr;
  }
  ~RegistryTransaction() {
    if (!handle_) return;
    if (!committed_) RollbackTransaction(handle_);
    CloseHandle(handle_);
  }
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  HANDLE handle() const { return handle_; }
  // True when committed, or when there was none to commit.
  bool Commit() {
    committed_ = !handle_ || CommitTransaction(handle_);
    return committed_;
  }

 private:
  HANDLE handle_;
  bool committed_ = false;
};

// The local time of day as "%H:%M:%S" and its milliseconds, for traces.
struct TimeOfDay {
  char text[32];
  int milliseconds;
};
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

// ---- access: classes and registry layout ---------------------------------

inline constexpr char kStoreKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion\\Components\\COM\\ENV";
inline constexpr char kProductKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion";
// Key paths are built in buffers of this size, terminator included.
inline constexpr size_t kKeyPathSize = MAX_PATH;

const char* ClassKeyPath(int variable_class);
const char* ClassShortName(int variable_class);
const char* ClassValueName(int variable_class);  // null: sets fail
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

// ---- cache: value memory --------------------------------------------------

inline constexpr char kVarLabel[] = "KXENV2-VAR";
inline constexpr char kIndexLabel[] = "KXENV2-IDX";
inline constexpr char kLinkLabel[] = "KXENV2-LNK";

struct BlockHeader {
  char label[12];
  uint32_t size;  // of the whole block, header included
};

// A var block: the header, the chain links, then the payload that callers
// see. The chain links are guarded by the Memory lock.
struct VarBlock {
  BlockHeader header;
  VarBlock* prev;
  VarBlock* next;
  // payload follows
};
inline constexpr size_t kVarHeaderSize = sizeof(VarBlock);

void* GetVarMemory(size_t size);
int ChainVarMemory(void* first, void* second);
int UnChainVarMemory(void* block);
char* CopyToRecord(void* record, const char* text);
int ConvertVarRecord(VariableRecord** source, VariableRecord** target,
                     int level);
// True when `payload` is the payload of a live var block that this process
// made; such a pointer may be inspected. Call with the Memory lock held.
bool IsVarPayload(const void* payload);
// The var block of a payload that IsVarPayload accepted.
inline VarBlock* BlockOf(void* payload) {
  return reinterpret_cast<VarBlock*>(static_cast<char*>(payload) -
                                     kVarHeaderSize);
}
// Frees one var block (no chain handling); the Memory lock is held.
void FreeVarBlock(VarBlock* block);
// Number of fields a record of a level carries; 0 for an unknown level.
int FieldsOfLevel(int level);

// ---- cache: the index -----------------------------------------------------

struct VarLink {
  BlockHeader header;
  VarLink* prev;
  VarLink* next;
  VariableRecord* record;
  uint32_t flags;
};
inline constexpr uint32_t kLinkStale = 1u << 0;
inline constexpr uint32_t kLinkAbsent = 1u << 1;

struct VarIndex {
  BlockHeader header;
  int32_t count;
  int32_t capacity;
  VarLink* slots[1];  // capacity + 1 of them; the last is always null
};
inline constexpr int kIndexGrowth = 25;

extern VarIndex* g_value_index;         // under the Memory lock
extern VarIndex* g_copied_value_index;  // the table loader's

VarLink** GetVarIndex(VarIndex* index, const char* name);
int AddVarIndex(VarIndex* index, VariableRecord* record, int absent);
VarIndex* GrowIndex(int capacity, VarIndex* index);
void SortVarIndex(VarIndex* index);
void UnIndexVar(VarIndex* index, VariableRecord* record);
int FreeIndex(VarIndex** index);
int CompareVarIndex(const void* a, const void* b);
int CompareVarRecord(const VariableRecord* a, const VariableRecord* b,
                     int level);
// Applies the growth rule before an insertion: a missing or full index is
// grown by kIndexGrowth slots. Returns the index to insert into, or null
// when memory ran out (the reference then keeps the index as it was).
VarIndex* EnsureRoom(VarIndex** index);

int GetCachedValue(int variable_class, const char* name,
                   VariableRecord** record, int level);
// The number of stale markings so far. A get notes it before it reads the
// store; CacheValue then knows whether a marking came between the read and
// the insertion, in which case the record may already be out of date.
uint64_t DirtyGeneration();
VariableRecord* CacheValue(VariableRecord* record, int absent,
                           uint64_t read_generation);
void CacheDirty();

// ---- cache: the store change monitor and watches ---------------------------

int CheckMonitor();
int CheckTabChangeEvent();
// Nonzero while the table loader writes the store: the watcher holds back
// its stale marking (and gets bypass the cache) until it clears.
extern std::atomic<int> g_table_load;

// One watch of a key: owned by whoever waits on it.
struct WatchRequest {
  HKEY key;                     // open while the notification is armed
  char key_path[kKeyPathSize];  // below HKEY_LOCAL_MACHINE
  HANDLE event;                 // what the notification signals
  HANDLE caller_thread;         // asynchronous mode: the suspended caller
  bool owns_event;              // the watch made the event and closes it
};

int WatchVarForChange(int variable_class, const char* name, HANDLE event,
                      int synchronous);
int WatchVarForChangeNotify(WatchRequest* request);
int WatchVarForChangeWait(WatchRequest* request);
int WatchVarForChangeClose(WatchRequest* request);
int WatchVarForChangeSync(WatchRequest* request);

// ---- frame: release -------------------------------------------------------

int KXfreememEx(VarIndex* index, void* pointer);
// Frees a record that the library made, cached or not (even before the
// value index exists).
void FreeRecord(VariableRecord* record);

// ---- access: reading and writing ------------------------------------------

char* GetIdxValue(int variable_class, const char* name,
                  VariableRecord** record_out, int level);
char* GetValue(int variable_class, const char* name,
               VariableRecord** record_out, int level, int* not_found);
int ReadVarRecord(int variable_class, const char* name, VariableRecord* record,
                  int* not_found);
int SetValue(int variable_class, const char* name, const char* value);
int SetRegValue(int variable_class, const char* name, const char* value_name,
                const char* value);

// ---- access: enumeration and deletion -------------------------------------

char* EnumValues(int variable_class, unsigned position, const char* application,
                 VariableRecord** holder, int level);
int DelValue(int variable_class, const char* name);
int DelVarKeys(VariableRecord* record);
int DelAppKey(VariableRecord* record);

// ---- access: built-in values ----------------------------------------------

char* SelectAppValue(VariableRecord* record);
char* SelectEnvValue(VariableRecord* record, int* not_found);
char* SelectLocalValue(VariableRecord* record);
char* SelectGlobalValue(VariableRecord* record);
char* ResolveValue(VariableRecord* record, char* text);
char* GetLegacyValue(VariableRecord* record, int* not_found);
// How deep %NAME% references are followed before one is left unexpanded.
inline constexpr int kMaxReferenceDepth = 8;
// How many expansions this thread has left unexpanded at the depth limit; a
// record read while it grew is never served from the cache, so that every
// get of a variable in a reference cycle gives the same text.
int CutExpansions();
