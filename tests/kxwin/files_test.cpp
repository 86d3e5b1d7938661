// File attributes, moves, copies and deletes, and the reason each refusal
// gives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "kxwin_test_util.h"
#include "testing.h"

using kxtest::ReadFile;
using kxtest::WriteFile;

namespace {

TEST(FileAttributes, ReflectTypeModeAndName) {
  KX_LINUX_ONLY("Windows marks new files ARCHIVE, and hides no dot file");
  std::string dir = kxtest::MakeTempDir("attrs");
  for (const char* name : {"/plain", "/locked", "/.dotted"}) {
    WriteFile(dir + name, "x");
  }
  chmod((dir + "/locked").c_str(), 0444);
  for (auto [name, attributes] : {std::pair("/plain", FILE_ATTRIBUTE_NORMAL),
                                  {"/locked", FILE_ATTRIBUTE_READONLY},
                                  {"/.dotted", FILE_ATTRIBUTE_HIDDEN},
                                  {"/", FILE_ATTRIBUTE_DIRECTORY}}) {
    EXPECT_EQ(GetFileAttributesA((dir + name).c_str()), DWORD(attributes))
        << name;
  }
}

TEST(FileFunctions, RefusalsLeaveTheFilesAndNameTheirReason) {
  std::string dir = kxtest::MakeTempDir("refusals");
  std::string file = dir + "/file", other = dir + "/other";
  std::string absent = dir + "/absent", deep = dir + "/no/g";
  WriteFile(file, "new");
  WriteFile(other, "old");
  const char *f = file.c_str(), *o = other.c_str(), *a = absent.c_str();
  struct Row {
    const char* name;
    std::function<bool()> call;  // true when the call succeeded
    DWORD error;
  } rows[] = {
      {"attributes of a missing file",
       [&] { return GetFileAttributesA(a) != INVALID_FILE_ATTRIBUTES; },
       ERROR_FILE_NOT_FOUND},
      {"attributes below a missing directory",
       [&] {
         return GetFileAttributesA(deep.c_str()) != INVALID_FILE_ATTRIBUTES;
       },
       ERROR_PATH_NOT_FOUND},
      {"move a missing file", [&] { return MoveFileExA(a, o, 0); },
       ERROR_FILE_NOT_FOUND},
      {"move into a missing directory",
       [&] { return MoveFileExA(f, deep.c_str(), 0); }, ERROR_PATH_NOT_FOUND},
      {"move onto a file", [&] { return MoveFileExA(f, o, 0); },
       ERROR_ALREADY_EXISTS},
      {"copy a missing file", [&] { return CopyFileA(a, o, FALSE); },
       ERROR_FILE_NOT_FOUND},
      {"copy a directory", [&] { return CopyFileA(dir.c_str(), a, FALSE); },
       ERROR_ACCESS_DENIED},
      {"copy onto a file that must not exist",
       [&] { return CopyFileA(f, o, TRUE); }, ERROR_FILE_EXISTS},
      {"delete a missing file", [&] { return DeleteFileA(a); },
       ERROR_FILE_NOT_FOUND},
      {"delete a directory", [&] { return DeleteFileA(dir.c_str()); },
       ERROR_ACCESS_DENIED},
#ifndef _WIN32  // kxwin's: Wine takes a null path for a missing one and
                // has every flag
      {"attributes of null",
       [] { return GetFileAttributesA(nullptr) != INVALID_FILE_ATTRIBUTES; },
       ERROR_INVALID_PARAMETER},
      {"move from null", [] { return MoveFileExA(nullptr, "x", 0); },
       ERROR_INVALID_PARAMETER},
      {"move with a flag this layer lacks",
       [] { return MoveFileExA("x", "y", 0x4); }, ERROR_INVALID_PARAMETER},
      {"copy to null", [] { return CopyFileA("x", nullptr, FALSE); },
       ERROR_INVALID_PARAMETER},
      {"delete null", [] { return DeleteFileA(nullptr); },
       ERROR_INVALID_PARAMETER},
#endif
  };
  for (const Row& row : rows) {
    SetLastError(0);
    EXPECT_FALSE(row.call()) << row.name;
    EXPECT_EQ(GetLastError(), row.error) << row.name;
    EXPECT_EQ(ReadFile(file) + ReadFile(other), "newold") << row.name;
  }
}

TEST(MoveFile, ReplacesWhenAskedAndDeletesWithoutATarget) {
  std::string dir = kxtest::MakeTempDir("move");
  std::string from = dir + "/from", to = dir + "/to";
  WriteFile(from, "new");
  WriteFile(to, "old");
  EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(from) + ReadFile(to), "<missing>new");
  EXPECT_TRUE(MoveFileExA(to.c_str(), nullptr, 0));
  EXPECT_EQ(ReadFile(to), "<missing>");
}

TEST(MoveFile, CopiesAcrossDevicesOnlyWhenAllowed) {
  std::string dir = kxtest::MakeTempDir("move");
  struct stat here, shm;
  if (stat(dir.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second writable file system";
  }
  std::string from = dir + "/from";
  std::string to = "/dev/shm/kxwin_move_" + std::to_string(getpid());
  WriteFile(from, "payload");
  EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(ReadFile(from), "payload");
  EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(ReadFile(from) + ReadFile(to), "<missing>payload");
  std::filesystem::remove(to);
}

TEST(CopyFile, CopiesContentAndModeWithoutLeavingTemporaries) {
  std::string dir = kxtest::MakeTempDir("copy");
  std::string from = dir + "/from", to = dir + "/to";
  std::string big(3 << 20, 'z');  // several rounds of the copy loop
  big[12345] = 'a';
  WriteFile(from, big);
  chmod(from.c_str(), 0751);
  WriteFile(to, "old");
  ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE));
  EXPECT_EQ(ReadFile(to), big);
  struct stat st;
  ASSERT_EQ(stat(to.c_str(), &st), 0);
  if (kxtest::kKxwin) {  // Linux modes
    EXPECT_EQ(st.st_mode & 07777, 0751u);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
  EXPECT_TRUE(DeleteFileA(to.c_str()));
  EXPECT_EQ(ReadFile(to), "<missing>");
}

}  // namespace
