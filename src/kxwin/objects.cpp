#include "objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
  return {kObjectsFormat,    kEventSlots,
          kMutexSlots,       kWatchSlots,
          sizeof(EventSlot), sizeof(MutexSlot),
          sizeof(WatchSlot), sizeof(pthread_mutex_t)};
}

// Closes a descriptor on every way out.
struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

void Initialise(ObjectsFile* objects) {
  std::memset(static_cast<void*>(objects), 0, sizeof *objects);
  objects->layout = ExpectedLayout();
  InitSharedMutex(&objects->table_lock);
  objects->next_ticket.store(1);
  for (auto& slot : objects->mutexes) InitSharedMutex(&slot.lock);
  objects->magic.store(kObjectsMagic, std::memory_order_release);
}

// Maps the file, initialising it under an exclusive flock when it holds no
// magic yet. Null with the last error set on failure.
ObjectsFile* MapObjects(const std::string& path) {
  FileDescriptor file;
  file.fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (file.fd < 0) return Fail(ErrorFromErrno(errno)), nullptr;
  if (flock(file.fd, LOCK_EX) != 0) return Fail(ErrorFromErrno(errno)), nullptr;
  struct stat info;
  if (fstat(file.fd, &info) != 0) return Fail(ErrorFromErrno(errno)), nullptr;
  bool fresh = static_cast<size_t>(info.st_size) < sizeof(ObjectsFile);
  if (fresh && ftruncate(file.fd, sizeof(ObjectsFile)) != 0) {
    return Fail(ErrorFromErrno(errno)), nullptr;
  }
  void* address = mmap(nullptr, sizeof(ObjectsFile), PROT_READ | PROT_WRITE,
                       MAP_SHARED, file.fd, 0);
  if (address == MAP_FAILED) return Fail(ErrorFromErrno(errno)), nullptr;
  auto* objects = static_cast<ObjectsFile*>(address);
  if (objects->magic.load(std::memory_order_acquire) != kObjectsMagic) {
    Initialise(objects);
  } else {
    ObjectsLayout expected = ExpectedLayout();
    if (static_cast<size_t>(info.st_size) != sizeof(ObjectsFile) ||
        std::memcmp(&objects->layout, &expected, sizeof expected) != 0) {
      munmap(address, sizeof(ObjectsFile));
      return Fail(ERROR_INVALID_DATA), nullptr;
    }
  }
  flock(file.fd, LOCK_UN);
  return objects;
}

std::mutex objects_lock;
ObjectsFile* objects_mapping = nullptr;  // guarded by objects_lock

thread_local uint64_t thread_ticket = 0;

}  // namespace

std::string StoreDirectory() {
  const char* configured = std::getenv("KX_REGISTRY");
  std::string dir = configured && *configured ? configured : kDefaultStore;
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
  objects_mapping = MapObjects(dir + "/objects");
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
}

TableLock::~TableLock() {
  pthread_mutex_unlock(&objects_->table_lock);
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
