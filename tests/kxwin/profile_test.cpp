#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kxwin/kxwin.h"
#include "testing.h"

using namespace std::string_literals;

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

const std::string kSample =
    "; leading comment\n"
    "[Section1]\n"
    "name1=val1\n"
    "  Name2  =  \"val2\"  \n"
    "name3\n"
    ";hidden=yes\n"
    "name4='single'\n"
    "name5=\"unbalanced'\n"
    "NAME1=second\n"
    "empty=\n"
    "inline=a ; not a comment\n"
    "[ Section2 ]\n"
    "name1=s2\n"
    "[section1]\n"
    "late=in a duplicate section\n";

struct ReadCase {
  const char* what;
  std::string content;
  const char* section;
  const char* key;
  const char* fallback;
  DWORD size;
  DWORD expected_return;
  std::string expected;  // leading bytes of the buffer, zeros included
};

const std::vector<ReadCase> kReadCases = {
    {"names ignore case", kSample, "SECTION1", "NAME1", "d", 64, 4, "val1\0"s},
    {"blanks and quotes go", kSample, "section1", "name2", "d", 64, 4,
     "val2\0"s},
    {"single quotes go", kSample, "section1", "name4", "d", 64, 6, "single\0"s},
    {"unmatched quotes stay", kSample, "section1", "name5", "d", 64, 12,
     "\"unbalanced'\0"s},
    {"semicolon inside a value stays", kSample, "section1", "inline", "d", 64,
     17, "a ; not a comment\0"s},
    {"empty value is not the default", kSample, "section1", "empty", "d", 64, 0,
     "\0"s},
    {"blanks inside brackets go", kSample, "Section2", "name1", "d", 64, 2,
     "s2\0"s},
    {"missing section", kSample, "nope", "name1", "default", 64, 7,
     "default\0"s},
    {"null default is empty", kSample, "nope", "name1", nullptr, 64, 0, "\0"s},
    {"default loses trailing blanks", kSample, "nope", "k", "one two  ", 64, 7,
     "one two\0"s},
    {"crlf line endings", "[a]\r\nk = v \r\n", "a", "k", "d", 64, 1, "v\0"s},
    {"keys before any section", "k=top\n[a]\n", "a", "k", "d", 64, 1, "d\0"s},
    {"key list, each once", kSample, "section1", nullptr, "d", 64, 37,
     "name1\0Name2\0name4\0name5\0empty\0inline\0\0"s},
    {"section list, each once", kSample, nullptr, nullptr, "d", 64, 18,
     "Section1\0Section2\0\0"s},
    {"key list of a missing section", kSample, "nope", nullptr, "d", 64, 1,
     "d\0"s},
    {"empty section list", "; nothing\n", nullptr, nullptr, "d", 64, 0,
     "\0\0"s},
    {"value cut", kSample, "section1", "name1", "d", 4, 3, "val\0"s},
    {"value in one byte", kSample, "section1", "name1", "d", 1, 0, "\0"s},
    {"section list cut", kSample, nullptr, nullptr, "d", 16, 14,
     "Section1\0Secti\0\0"s},
    {"key list cut", kSample, "section1", nullptr, "d", 9, 7, "name1\0N\0\0"s},
    {"list in two bytes", kSample, nullptr, nullptr, "d", 2, 0, "\0\0"s},
    {"zero size writes nothing", kSample, "section1", "name1", "d", 0, 0, ""},
};

TEST(ProfileFile, ReadsFollowTheWindowsRules) {
  std::string path = kxtest::MakeTempDir("profile") + "/read.ini";
  for (const ReadCase& c : kReadCases) {
    WriteText(path, c.content);
    std::vector<char> buffer(c.size + 8, '#');
    DWORD got = GetPrivateProfileStringA(c.section, c.key, c.fallback,
                                         buffer.data(), c.size, path.c_str());
    EXPECT_EQ(got, c.expected_return) << c.what;
    EXPECT_EQ(std::string(buffer.data(), c.expected.size()), c.expected)
        << c.what;
    for (size_t i = c.size; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], '#') << c.what << ": wrote past the buffer";
    }
  }
}

TEST(ProfileFile, MissingFileGivesTheDefaultAndFileNotFound) {
  std::string path = kxtest::MakeTempDir("profile") + "/missing.ini";
  char buffer[16];
  SetLastError(0);
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "dflt", buffer, sizeof buffer,
                                     path.c_str()),
            4u);
  EXPECT_STREQ(buffer, "dflt");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(ProfileFile, BadArgumentsFailAndAllNullsFlush) {
  char buffer[16];
  SetLastError(0);
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "d", buffer, 16, nullptr), 1u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(GetPrivateProfileStringA("a", "k", "d", nullptr, 16, "x.ini"), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WritePrivateProfileStringA("a", "k", "v", nullptr));
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "k", "v", "x.ini"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, nullptr));
  std::string lost = kxtest::MakeTempDir("profile") + "/no/such.ini";
  EXPECT_FALSE(WritePrivateProfileStringA("a", "k", "v", lost.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

struct WriteCase {
  const char* what;
  std::optional<std::string> before;  // nullopt: no file
  const char* section;
  const char* key;
  const char* value;
  std::optional<std::string> after;
};

const std::vector<WriteCase> kWriteCases = {
    {"replaced value keeps all else",
     "; top\n[a]\nK = 1 ; old\n; note\n\n[b]\nk=3\n", "A", "k", "9",
     "; top\n[a]\nK=9\n; note\n\n[b]\nk=3\n"},
    {"only the first duplicate key changes", "[a]\nk=1\nk=2\n", "a", "k", "3",
     "[a]\nk=3\nk=2\n"},
    {"new key goes before trailing blank lines", "[a]\nx=1\n\n\n[b]\n", "a",
     "y", "2", "[a]\nx=1\ny=2\n\n\n[b]\n"},
    {"new key after a last line without newline", "[a]\nx=1", "a", "y", "2",
     "[a]\nx=1\ny=2\n"},
    {"new section at the end", "[a]\nx=1", "b", "y", "", "[a]\nx=1\n[b]\ny=\n"},
    {"crlf file stays crlf", "[a]\r\nx=1\r\n", "a", "y", "2",
     "[a]\r\nx=1\r\ny=2\r\n"},
    {"crlf file gets a crlf section", "[a]\r\nx=1\r\n", "c", "z", "3",
     "[a]\r\nx=1\r\n[c]\r\nz=3\r\n"},
    {"missing file is created", std::nullopt, "a", "k", "v", "[a]\nk=v\n"},
    {"null value deletes the key", "[a]\nx=1\ny=2\n[b]\nx=3\n", "a", "x",
     nullptr, "[a]\ny=2\n[b]\nx=3\n"},
    {"deleting a missing key changes nothing", "[a]\nx=1", "a", "q", nullptr,
     "[a]\nx=1"},
    {"null key deletes the section", "; c\n[a]\nx=1\n\n[b]\ny=2\n", "A",
     nullptr, nullptr, "; c\n[b]\ny=2\n"},
    {"last section deleted", "[a]\nx=1\n[b]\ny=2", "b", nullptr, "ignored",
     "[a]\nx=1\n"},
    {"deleting from a missing file creates none", std::nullopt, "a", "k",
     nullptr, std::nullopt},
};

TEST(ProfileFile, WritesChangeOnlyTheLinesTheyMust) {
  std::string dir = kxtest::MakeTempDir("profile");
  std::string path = dir + "/write.ini";
  for (const WriteCase& c : kWriteCases) {
    std::filesystem::remove(path);
    if (c.before) WriteText(path, *c.before);
    EXPECT_TRUE(
        WritePrivateProfileStringA(c.section, c.key, c.value, path.c_str()))
        << c.what;
    EXPECT_EQ(ReadText(path), c.after) << c.what;
  }
  // Temporary files never outlive a write.
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename(), "write.ini");
  }
}

TEST(ProfileFile, WriteKeepsTheModeAndTheSymbolicLink) {
  std::string dir = kxtest::MakeTempDir("profile");
  std::string real = dir + "/real.ini", link = dir + "/link.ini";
  WriteText(real, "[a]\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WritePrivateProfileStringA("a", "k", "v", link.c_str()));
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadText(real), "[a]\nk=v\n");
}

KX_ROLE(profile_writer) {
  for (int i = 0; i < 40; ++i) {
    std::string key = args[1] + std::to_string(i);
    if (!WritePrivateProfileStringA("s", key.c_str(), "v", args[0].c_str())) {
      return 1;
    }
  }
  return 0;
}

TEST(ProfileFile, ConcurrentWritersInTwoProcessesLoseNoKey) {
  std::string path = kxtest::MakeTempDir("profile") + "/shared.ini";
  kxtest::Child first("profile_writer", {path, "a"});
  kxtest::Child second("profile_writer", {path, "b"});
  ASSERT_EQ(first.Wait(), 0);
  ASSERT_EQ(second.Wait(), 0);
  std::vector<char> keys(4096);
  DWORD n = GetPrivateProfileStringA("s", nullptr, "", keys.data(), keys.size(),
                                     path.c_str());
  EXPECT_EQ(std::count(keys.begin(), keys.begin() + n, '\0'), 80);
}

}  // namespace
