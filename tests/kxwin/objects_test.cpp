// The objects file damaged, on a full filesystem: each case ends in a clear
// error or a safe rebuild, never in a hang.
#include "objects.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>

#include "kxwin_test_util.h"
#include "testing.h"

namespace {

// Takes a mutex and makes an event in the store args[0] and says the error
// code (0: both worked); a hang ends with SIGALRM, a failure in the parent.
KX_ROLE(use_objects) {
  alarm(10);
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  kxtest::Handle mutex(CreateMutexA(nullptr, FALSE, "KX.TEST.OBJECTS"));
  bool used = mutex && WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0 &&
              ReleaseMutex(mutex) && kxtest::Handle(kxtest::MakeEvent());
  kxtest::Say(std::to_string(used ? 0 : GetLastError()));
  return 0;
}

void Zero(std::string& file, size_t offset, size_t size) {
  file.replace(offset, size, size, '\0');
}

TEST(ObjectsFile, ADamagedFileIsRebuiltWhenUnusedAndRefusedWhenInUse) {
  std::string made = kxtest::MakeTempDir("objects");
  ASSERT_EQ(kxtest::FirstLine("use_objects", {made}), "0");
  const std::string whole = kxtest::ReadFile(made + "/objects");
  ASSERT_EQ(whole.size(), sizeof(kxwin::ObjectsFile));
  const size_t table_lock = offsetof(kxwin::ObjectsFile, table_lock);
  const size_t last_lock =
      offsetof(kxwin::ObjectsFile, mutexes[kxwin::kMutexSlots - 1]);
  struct Row {
    const char* name;
    std::function<void(std::string&)> damage;
    bool in_use;  // another process holds the file
    DWORD expected;
  } rows[] = {
      {"cut to 40 bytes", [](auto& f) { f.resize(40); }, false, 0},
      {"cut to 40 bytes, in use", [](auto& f) { f.resize(40); }, true,
       ERROR_FILE_CORRUPT},
      {"zeroed, in use", [](auto& f) { Zero(f, 0, f.size()); }, true,
       ERROR_FILE_CORRUPT},
      {"another layout, in use", [](auto& f) { f[8] ^= 0x7f; }, true,
       ERROR_FILE_CORRUPT},
      {"garbage", [](auto& f) { std::memset(f.data(), 0x5a, f.size()); }, false,
       0},
      {"a page too long, in use", [](auto& f) { f.append(4096, '\0'); }, true,
       ERROR_FILE_CORRUPT},
      {"table lock zeroed, in use",
       [&](auto& f) { Zero(f, table_lock, sizeof(pthread_mutex_t)); }, true,
       ERROR_FILE_CORRUPT},
      {"last mutex's lock zeroed, in use",
       [&](auto& f) { Zero(f, last_lock, sizeof(pthread_mutex_t)); }, true,
       ERROR_FILE_CORRUPT},
  };
  for (const Row& row : rows) {
    std::string dir = kxtest::MakeTempDir("damaged");
    std::string file = whole;
    row.damage(file);
    kxtest::WriteFile(dir + "/objects", file);
    int holder = open((dir + "/objects").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(row.in_use ? flock(holder, LOCK_SH) : 0, 0) << row.name;
    EXPECT_EQ(kxtest::FirstLine("use_objects", {dir}),
              std::to_string(row.expected))
        << row.name;
    close(holder);
  }
}

TEST(ObjectsFile, ANewOneOnAFullFilesystemIsRefusedWithDiskFull) {
  std::string dir = kxtest::MakeTempDir("full");
  if (mount("kxtest", dir.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                 << "); run as root to test a full filesystem";
  }
  std::string said = kxtest::FirstLine("use_objects", {dir});
  umount(dir.c_str());
  EXPECT_EQ(said, std::to_string(ERROR_DISK_FULL));
}

}  // namespace
