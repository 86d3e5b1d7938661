#include "objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

#include "internal.h"

namespace kxwin {
namespace {

constexpr const char kDefaultStore[] = "/var/lib/kx-orrery/registry";

ObjectsLayout ExpectedLayout() {
  return {kObjectsFormat,      kEventSlots,
          kMutexSlots,         kWatchSlots,
          kSectionSlots,       sizeof(EventSlot),
          sizeof(MutexSlot),   sizeof(WatchSlot),
          sizeof(SectionSlot), sizeof(pthread_mutex_t)};
}

void Initialise(ObjectsFile* objects) {
  std::memset(static_cast<void*>(objects), 0, sizeof *objects);
  objects->layout = ExpectedLayout();
  InitSharedMutex(&objects->table_lock);
  objects->next_ticket.store(1);
  for (auto& slot : objects->mutexes) InitSharedMutex(&slot.lock);
  objects->magic.store(kObjectsMagic, std::memory_order_release);
}

// The kind word of a mutex that InitSharedMutex made. glibc keeps a mutex's
// type, robustness and sharing in __kind, set at initialisation and never
// changed by locking, so a zeroed or scribbled lock shows another kind.
int SharedRobustKind() {
  static const int kind = [] {
    pthread_mutex_t reference;
    InitSharedMutex(&reference);
    int made = reference.__data.__kind;
    pthread_mutex_destroy(&reference);
    return made;
  }();
  return kind;
}

// True when the mapping holds the magic, this layout, and locks that every
// process can wake.
bool Whole(const ObjectsFile* objects) {
  ObjectsLayout expected = ExpectedLayout();
  if (objects->magic.load(std::memory_order_acquire) != kObjectsMagic ||
      std::memcmp(&objects->layout, &expected, sizeof expected) != 0 ||
      objects->table_lock.__data.__kind != SharedRobustKind()) {
    return false;
  }
  for (const MutexSlot& slot : objects->mutexes) {
    if (slot.lock.__data.__kind != SharedRobustKind()) return false;
  }
  return true;
}

ObjectsFile* MapFile(int fd) {
  void* address = mmap(nullptr, sizeof(ObjectsFile), PROT_READ | PROT_WRITE,
                       MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<ObjectsFile*>(address);
}

// The mapping when the file is whole, else null. Only a file of the right
// size is mapped: a page past its end would fault.
ObjectsFile* MapIfWhole(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_size != sizeof(ObjectsFile)) {
    return nullptr;
  }
  ObjectsFile* objects = MapFile(fd);
  if (objects && !Whole(objects)) {
    munmap(objects, sizeof(ObjectsFile));
    return nullptr;
  }
  return objects;
}

// Makes the file whole; call holding the exclusive flock, so that no other
// process maps it. Space that cannot be reserved is given back.
ObjectsFile* Rebuild(int fd) {
  if (ftruncate(fd, 0) != 0) return FailWith(ErrorFromErrno(errno), nullptr);
  if (int rc = posix_fallocate(fd, 0, sizeof(ObjectsFile)); rc != 0) {
    if (ftruncate(fd, 0) != 0) {
      // Nothing more to give back; the next opener rebuilds it anyway.
    }
    return FailWith(ErrorFromErrno(rc), nullptr);
  }
  ObjectsFile* objects = MapFile(fd);
  if (!objects) return FailWith(ErrorFromErrno(errno), nullptr);
  Initialise(objects);
  return objects;
}

// Opens the file for reading and writing, making a missing one with
// kObjectsMode whatever the umask and, where this process may, in the group
// of the store directory.
int OpenObjectsFile(const std::string& dir) {
  std::string path = dir + "/objects";
  int fd =
      open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kObjectsMode);
  if (fd < 0 && errno == EEXIST) return open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct stat directory;
  if (fd >= 0 && (fchmod(fd, kObjectsMode) != 0 ||
                  (stat(dir.c_str(), &directory) == 0 &&
                   fchown(fd, static_cast<uid_t>(-1), directory.st_gid)))) {
    // Best effort: the creator's group and mode still work for the creator.
  }
  return fd;
}

int LockFile(int fd, int operation) {
  int rc;
  while ((rc = flock(fd, operation)) != 0 && errno == EINTR) {
  }
  return rc;
}

// Maps the file (see the protocol in objects.h). The descriptor stays open,
// holding the shared flock, for the life of the process. Null with the last
// error set on failure.
ObjectsFile* MapObjects(const std::string& dir) {
  UniqueFd file(OpenObjectsFile(dir));
  if (!file) return FailWith(ErrorFromErrno(errno), nullptr);
  bool alone = LockFile(file.get(), LOCK_EX | LOCK_NB) == 0;
  if (!alone && LockFile(file.get(), LOCK_SH) != 0) {
    return FailWith(ErrorFromErrno(errno), nullptr);
  }
  ObjectsFile* objects = MapIfWhole(file.get());
  if (!objects && !alone) return FailWith(ERROR_FILE_CORRUPT, nullptr);
  if (!objects && !(objects = Rebuild(file.get()))) return nullptr;
  if (alone && LockFile(file.get(), LOCK_SH) != 0) {
    munmap(objects, sizeof(ObjectsFile));
    return FailWith(ErrorFromErrno(errno), nullptr);
  }
  file.release();  // kept open: the shared flock says the file is in use
  return objects;
}

OwnedMutex objects_lock{LockRank::kObjects};
ObjectsFile* objects_mapping = nullptr;  // guarded by objects_lock

thread_local uint64_t thread_ticket = 0;
// Whether this thread holds table_lock; kept where lock rules are checked.
thread_local kx::HoldCount table_lock_held;

// Every user reads the store; only its owner writes it.
constexpr mode_t kDirectoryMode = 0755;

// Makes the store directory and its missing parents, each with mode 0755
// whatever the umask (an existing one keeps its mode), as
// std::filesystem::create_directories would.
void MakeStoreDirectories(const std::string& dir, std::error_code& error) {
  error.clear();
  std::filesystem::path made;
  for (const auto& part : std::filesystem::path(dir)) {
    made /= part;
    // Made 0755 at most under any umask, then given exactly 0755, so that it
    // is never writable by others, not even for a moment.
    if (mkdir(made.c_str(), kDirectoryMode) == 0) {
      chmod(made.c_str(), kDirectoryMode);
    } else if (errno != EEXIST) {
      error.assign(errno, std::generic_category());
      return;
    }
  }
}

std::string ConfiguredStore() {
  const char* configured = std::getenv("KX_REGISTRY");
  return configured && *configured ? configured : kDefaultStore;
}

}  // namespace

OwnedMutex& ObjectsLock() {
  return objects_lock;
}

std::string StoreDirectory() {
  std::string dir = ConfiguredStore();
  std::error_code error;
  MakeStoreDirectories(dir, error);
  if (error || !std::filesystem::is_directory(dir, error)) {
    Fail(error ? ErrorFromErrno(error.value()) : ERROR_PATH_NOT_FOUND);
    return {};
  }
  return dir;
}

ObjectsFile* Objects() {
  std::lock_guard guard(objects_lock);
  if (objects_mapping) return objects_mapping;
  std::string dir = StoreDirectory();
  if (dir.empty()) return nullptr;
  objects_mapping = MapObjects(dir);
  if (objects_mapping) {
    // A forked child keeps the mapping but is a thread of its own.
    pthread_atfork(nullptr, nullptr, [] { thread_ticket = 0; });
  }
  return objects_mapping;
}

void InitSharedMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

TableLock::TableLock(ObjectsFile* objects) : objects_(objects) {
  if (pthread_mutex_lock(&objects_->table_lock) == EOWNERDEAD) {
    pthread_mutex_consistent(&objects_->table_lock);
  }
  table_lock_held.Add(1);
}

TableLock::~TableLock() {
  table_lock_held.Add(-1);
  pthread_mutex_unlock(&objects_->table_lock);
}

bool TableLockHeld() {
  return table_lock_held.Held();
}

uint64_t ThreadTicket() {
  if (thread_ticket == 0) {
    ObjectsFile* objects = Objects();
    if (objects) thread_ticket = objects->next_ticket.fetch_add(1);
  }
  return thread_ticket;
}

bool OwnedHere(const SlotOwner& owner) {
  const ProcessIdentity& me = ThisProcess();
  return owner.pid == me.pid && owner.start_time == me.start_time;
}

SlotOwner OwnerHere() {
  const ProcessIdentity& me = ThisProcess();
  return {me.pid, 0, me.start_time};
}

bool OwnerGone(const SlotOwner& owner) {
  return !OwnedHere(owner) && !ProcessAlive(owner.pid, owner.start_time);
}

}  // namespace kxwin

using namespace kxwin;

DWORD KxwinObjectsFile(LPSTR path, DWORD size) {
  return Guarded<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
    DWORD status = Objects() ? ERROR_SUCCESS : GetLastError();
    if (path && size) {
      std::snprintf(path, size, "%s/objects", ConfiguredStore().c_str());
    }
    SetLastError(status);
    return status;
  });
}
