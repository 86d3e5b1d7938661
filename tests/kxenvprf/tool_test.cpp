// kxenv-mkprofile run as a program: a record written, printed back, and
// what it says to bad arguments.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "kxenvprf.h"
#include "testing.h"

namespace {

// The exit code and the standard output.
using Result = std::pair<int, std::string>;

Result RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), KX_MKPROFILE);
  kxtest::Ran ran = kxtest::RunProgram(args);
  return {ran.status, ran.out};
}

TEST(MkProfileTool, WritesARecordThatDumpPrintsBack) {
  std::string path = kxtest::MakeTempDir("tool") + "/old.ini";
  Result written = RunTool(
      {path, "Env", "Values", "KX_HOME=/opt/kx", "KX_EMPTY=", "KX_EXPR=a=b"});
  EXPECT_EQ(written.first, 0);
  EXPECT_EQ(RunTool({"--dump", path, "Env", "Values"}),
            Result(0, "KX_HOME=/opt/kx\nKX_EMPTY=\nKX_EXPR=a=b\n"));
  int handle = OpenProfile(path.c_str());
  int count = 0;
  EXPECT_EQ(GetProfileRecordSize(handle, "Env", "Values", &count), 1);
  EXPECT_GT(count, 12);
  CloseProfile(handle);
}

// Bad arguments give usage and 2; a record that is not there gives 1.
TEST(MkProfileTool, BadArgumentsAndMissingRecordsFail) {
  const std::string missing = kxtest::MakeTempDir("tool") + "/none.ini";
  const struct {
    std::vector<std::string> args;
    int exit_code;
  } rows[] = {
      {{}, 2},
      {{"f.ini", "S", "K"}, 2},
      {{"f.ini", "S", "K", "NOEQUALS"}, 2},
      {{"f.ini", "S", "K", "=value"}, 2},
      {{"--dump", "f.ini", "S"}, 2},
      {{"--other", "S", "K", "A=b"}, 2},
      {{"--dump", missing, "Env", "Values"}, 1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RunTool(row.args).first, row.exit_code)
        << ::testing::PrintToString(row.args);
  }
}

}  // namespace
