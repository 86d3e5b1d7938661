#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "kxwin/kxwin.h"
#include "testing.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

DWORD Error() {
  return GetLastError();
}

TEST(FileAttributes, ReflectTypeModeNameAndWhatIsMissing) {
  std::string dir = kxtest::MakeTempDir("attrs");
  WriteText(dir + "/plain", "x");
  WriteText(dir + "/locked", "x");
  chmod((dir + "/locked").c_str(), 0444);
  WriteText(dir + "/.dotted", "x");
  EXPECT_EQ(GetFileAttributesA((dir + "/plain").c_str()),
            DWORD{FILE_ATTRIBUTE_NORMAL});
  EXPECT_EQ(GetFileAttributesA((dir + "/locked").c_str()),
            DWORD{FILE_ATTRIBUTE_READONLY});
  EXPECT_EQ(GetFileAttributesA((dir + "/.dotted").c_str()),
            DWORD{FILE_ATTRIBUTE_HIDDEN});
  EXPECT_EQ(GetFileAttributesA((dir + "/").c_str()),
            DWORD{FILE_ATTRIBUTE_DIRECTORY});
  EXPECT_EQ(GetFileAttributesA((dir + "/nope").c_str()),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Error(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(GetFileAttributesA((dir + "/nope/file").c_str()),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Error(), DWORD{ERROR_PATH_NOT_FOUND});
}

TEST(FileFunctions, NullNamesFailWithInvalidParameter) {
  EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Error(), DWORD{ERROR_INVALID_PARAMETER});
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA(nullptr, "x", 0));
  EXPECT_EQ(Error(), DWORD{ERROR_INVALID_PARAMETER});
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA("x", "y", 0x4));  // a flag this layer lacks
  EXPECT_EQ(Error(), DWORD{ERROR_INVALID_PARAMETER});
  SetLastError(0);
  EXPECT_FALSE(CopyFileA("x", nullptr, FALSE));
  EXPECT_EQ(Error(), DWORD{ERROR_INVALID_PARAMETER});
  SetLastError(0);
  EXPECT_FALSE(DeleteFileA(nullptr));
  EXPECT_EQ(Error(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST(MoveFile, ReplacesOnlyWhenAsked) {
  std::string dir = kxtest::MakeTempDir("move");
  std::string from = dir + "/from", to = dir + "/to";
  WriteText(from, "new");
  WriteText(to, "old");
  EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(Error(), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(ReadText(to), "old");
  EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadText(to), "new");
  EXPECT_FALSE(ReadText(from));
  EXPECT_TRUE(MoveFileExA(to.c_str(), nullptr, 0));  // deletes
  EXPECT_FALSE(ReadText(to));
}

TEST(MoveFile, NamesTheMissingEnd) {
  std::string dir = kxtest::MakeTempDir("move");
  EXPECT_FALSE(MoveFileExA((dir + "/f").c_str(), (dir + "/g").c_str(), 0));
  EXPECT_EQ(Error(), DWORD{ERROR_FILE_NOT_FOUND});
  WriteText(dir + "/f", "x");
  EXPECT_FALSE(MoveFileExA((dir + "/f").c_str(), (dir + "/no/g").c_str(), 0));
  EXPECT_EQ(Error(), DWORD{ERROR_PATH_NOT_FOUND});
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
  WriteText(from, "payload");
  EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(ReadText(from), "payload");
  EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_FALSE(ReadText(from));
  EXPECT_EQ(ReadText(to), "payload");
  std::filesystem::remove(to);
}

TEST(CopyFile, CopiesContentAndModeWithoutLeavingTemporaries) {
  std::string dir = kxtest::MakeTempDir("copy");
  std::string from = dir + "/from", to = dir + "/to";
  std::string big(3 << 20, 'z');  // several rounds of the copy loop
  big[12345] = 'a';
  WriteText(from, big);
  chmod(from.c_str(), 0751);
  ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), TRUE));
  EXPECT_EQ(ReadText(to), big);
  struct stat st;
  ASSERT_EQ(stat(to.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
}

TEST(CopyFile, FailIfExistsKeepsTheTarget) {
  std::string dir = kxtest::MakeTempDir("copy");
  std::string from = dir + "/from", to = dir + "/to";
  WriteText(from, "new");
  WriteText(to, "old");
  EXPECT_FALSE(CopyFileA(from.c_str(), to.c_str(), TRUE));
  EXPECT_EQ(Error(), DWORD{ERROR_FILE_EXISTS});
  EXPECT_EQ(ReadText(to), "old");
  EXPECT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE));
  EXPECT_EQ(ReadText(to), "new");
}

TEST(CopyAndDelete, RefuseMissingFilesAndDirectories) {
  std::string dir = kxtest::MakeTempDir("copy");
  EXPECT_FALSE(CopyFileA((dir + "/f").c_str(), (dir + "/g").c_str(), 0));
  EXPECT_EQ(Error(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_FALSE(CopyFileA(dir.c_str(), (dir + "/g").c_str(), FALSE));
  EXPECT_EQ(Error(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_FALSE(DeleteFileA((dir + "/f").c_str()));
  EXPECT_EQ(Error(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_FALSE(DeleteFileA(dir.c_str()));
  EXPECT_EQ(Error(), DWORD{ERROR_ACCESS_DENIED});
  WriteText(dir + "/f", "x");
  EXPECT_TRUE(DeleteFileA((dir + "/f").c_str()));
  EXPECT_FALSE(ReadText(dir + "/f"));
}

}  // namespace
