// The store's files as the tool leaves them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tool_runner.h"

namespace fs = std::filesystem;

TEST(ToolStore, OneOffSetsLeaveEverythingInTheDatabaseFileWritableByItsOwner) {
  const std::string dir = kxtest::MakeTempDir("oneoff") + "/store";
  const std::string store = "KX_REGISTRY=" + dir;
  mode_t umask_before = umask(0);
  for (int i = 0; i < 12; ++i) {
    kxtest::RunTool({"set", "KXT_ONEOFF" + std::to_string(i), "v"}, {store});
  }
  umask(umask_before);
  for (const char* file :
       {"", "/registry.db", "/registry.db-wal", "/registry.db-shm"}) {
    EXPECT_EQ(fs::status(dir + file).permissions(),
              fs::perms(*file ? 0644 : 0755))
        << file;
  }
  EXPECT_LT(fs::file_size(dir + "/registry.db-wal"), 64u * 1024);
  const std::string copy = kxtest::MakeTempDir("copy");
  fs::copy_file(dir + "/registry.db", copy + "/registry.db");
  for (const char* name : {"KXT_ONEOFF0", "KXT_ONEOFF11"}) {
    EXPECT_EQ(kxtest::RunTool({"get", name}, {"KX_REGISTRY=" + copy}).out,
              "v\n");
  }
}
