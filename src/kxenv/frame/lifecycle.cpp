// Load and unload of the library, and the one-time initialisation that
// every operation runs first.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "internal.h"
#include "kxenvprf.h"

namespace {

// Traces why the machine-wide mutex could not be made, naming the objects
// file when that is the cause: one this process may not write makes it a
// reader (README, "Access model"); any other fault fails every call.
void ReportMutexFailure() {
  DWORD made = GetLastError();
  char path[MAX_PATH] = "";
  DWORD status = KxwinObjectsFile(path, sizeof path);
  SetLastError(status ? status : made);
  if (status == ERROR_SUCCESS) {
    SetTraceStringA(kTraceComponent, "Initialize: CreateMutex failed: %s.\n",
                    SetAndGetLastErrorMsg());
  } else if (status == ERROR_ACCESS_DENIED) {
    g_library.read_only.store(true);
    SetTraceStringA(kTraceComponent,
                    "Initialize: the objects file %s is not writable (%s); "
                    "reading uncached, without the machine-wide mutex; no "
                    "set, delete or watch.\n",
                    path, SetAndGetLastErrorMsg());
  } else {
    SetTraceStringA(kTraceComponent,
                    "Initialize: cannot use the objects file %s: %s; every "
                    "call fails until it can.\n",
                    path, SetAndGetLastErrorMsg());
  }
}

// Maps the change sequence's section, made with the mutex's attributes. The
// handle and the view are kept for the life of the process: a lookup may
// read the view while the library unloads. Without it every lookup takes
// the mutex, as the cache then cannot know cheaply that it is current.
void MapSequence(LPSECURITY_ATTRIBUTES attributes) {
  HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0,
                         sizeof(uint64_t), layout::kSequenceName);
  void* view = section ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0,
                                       sizeof(uint64_t))
                       : nullptr;
  if (!view) {
    SetTraceStringA(kTraceComponent,
                    "Initialize: CreateFileMapping failed: %s; every lookup "
                    "takes the mutex.\n",
                    SetAndGetLastErrorMsg());
    if (section) CloseHandle(section);
    return;
  }
  g_library.sequence.store(static_cast<uint64_t*>(view));
}

// Call with the Memory lock held, as for everything Initialize sets up.
void CreateMachineMutex() {
  AssertMemoryLockHeld();
  LPSECURITY_ATTRIBUTES attributes = nullptr;
  GetSecurityAttributes(&attributes);
  g_library.mutex = CreateMutexA(attributes, FALSE, layout::kMutexName);
  if (!g_library.mutex) ReportMutexFailure();
  if (g_library.mutex && !g_library.sequence.load()) MapSequence(attributes);
  if (attributes) {
    ZRNFreeMemory(attributes->lpSecurityDescriptor);
    ZRNFreeMemory(attributes);
  }
}

// Call with the Memory lock held.
void CreateShutdownEvent() {
  AssertMemoryLockHeld();
  g_library.shutdown_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!g_library.shutdown_event) {
    SetTraceStringA(kTraceComponent, "Initialize: CreateEvent failed: %s.\n",
                    SetAndGetLastErrorMsg());
  }
}

// The library may run: it holds the machine-wide mutex, or may only read,
// or is unloading (whose calls read the store as they can).
bool Runnable() {
  return g_library.mutex.load() || g_library.read_only.load() ||
         g_library.detached.load();
}

// Signals the library's threads to end, frees every cached record and
// closes the handles; runs once. Threads are not waited for: the library
// stays mapped (it pins itself at load), so a thread that is still on its
// way out never runs in unmapped code.
void Detach() {
  if (g_library.detached.exchange(true)) return;
  if (HANDLE event = g_library.shutdown_event.load()) SetEvent(event);
  {
    MemoryLock lock;
    ForgetValidation();  // no hit without the lock from now on
  }
  FreeIndex(&g_value_index);
  FreeIndex(&g_copied_value_index);
  // Closed by holders, which throw nothing: unloading always succeeds.
  kx::UniqueHandle mutex(g_library.mutex.exchange(nullptr));
  kx::UniqueHandle event(g_library.shutdown_event.exchange(nullptr));
}

// Keeps the library loaded until the process ends, whatever unloads it.
void PinLibrary() {
  HMODULE pinned = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
      reinterpret_cast<LPCSTR>(&PinLibrary), &pinned);
}

// fork(): the library's locks in their order before the call, given back
// in the parent after it, and made whole in the child.
void PrepareFork() {
  EnterShutting();
  LivePayloadsLock().lock();
  ProfileListLock().lock();
}

void ParentAfterFork() {
  ProfileListLock().unlock();
  LivePayloadsLock().unlock();
  LeaveShutting();
}

// The child's one thread is the one that forked; the parent's other threads
// are gone, with whatever they held. The Memory lock is made anew: a
// re-entrant lock remembers its holder by a thread id that the child's
// thread no longer has. The cache is kept but not known current: the
// parent's watcher is not the child's, and its first lookup starts one.
void ChildAfterFork() {
  ProfileListLock().unlock();
  LivePayloadsLock().unlock();
  MyCriticalSection& lock = g_library.memory_lock;
  InitializeCriticalSection(&lock.section);
  lock.count = 0;
  lock.depth = 0;
  lock.owner.Forget();
  ForgetParentReaders();
  EnterShutting();
  ForgetValidation();
  LeaveShutting();
}

// `ending` (the loader's reserved argument) is set when Windows ends the
// process: its other threads are gone already, perhaps inside the Memory
// lock or a trace line, so nothing is freed then (the system takes back
// memory and handles); taking the lock would wait for ever.
BOOL WINAPI LibraryMain(HINSTANCE module, DWORD reason, LPVOID ending) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_library.module = module;
    PinLibrary();
    MakeMemoryLock();
    WatchForForks({PrepareFork, ParentAfterFork, ChildAfterFork});
  } else if (reason == DLL_PROCESS_DETACH && !ending) {
    Detach();
  }
  return TRUE;
}

}  // namespace

KXWIN_DLL_ENTRY_POINT(LibraryMain)
// This module's own trace of a registry without transacted calls.
KXWIN_TRACE_TRANSACTED_FALLBACK(SetTraceStringA);

void KxenvProcessDetach(void) {
  Detach();
}

bool Initialize() {
  if (g_library.initialised.load(std::memory_order_acquire) && Runnable()) {
    return true;
  }
  MakeMemoryLock();
  // Untraced: whether tracing is verbose is not known yet.
  EnterQuietly(&g_library.memory_lock);
  struct Leave {
    ~Leave() { LeaveQuietly(&g_library.memory_lock); }
  } leave;
  if (!g_library.initialised.load(std::memory_order_relaxed)) {
    SetTraceStringA(kTraceComponent, "Initialize: enter\n");
    if (std::getenv("KXENV_LOUD")) g_library.verbose = true;
    HMODULE locale = nullptr;
    g_library.message_locale = loadLocaleA("KXENVRC", nullptr, &locale) != 0
                                   ? g_library.module
                                   : locale;
  }
  // Made again on a later call while the objects file could not be used.
  if (!Runnable()) CreateMachineMutex();
  if (g_library.mutex.load() && !g_library.shutdown_event.load()) {
    CreateShutdownEvent();
  }
  if (!g_library.initialised.load(std::memory_order_relaxed)) JournalStore();
  if (!g_library.initialised.exchange(1, std::memory_order_release)) {
    SetTraceStringA(kTraceComponent, "Initialize: exit.\n");
  }
  return Runnable();
}

void JournalStore() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string skipped =
        std::string(layout::kLastUser) + '\0' + layout::kTimeStamp + '\0';
    KxwinJournalKey(kStoreKey, skipped.c_str());
  });
}
