// Runs the built kxenv program (KX_TOOL) on the test's own store, which
// KX_REGISTRY names to it. A run to watch line by line is a kxtest::Child
// in the role "tool" (store_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "testing.h"

namespace kxtest {

// The tool; a relative KX_TOOL (on Windows the installed kxenv.exe) is
// beside the test program.
inline std::string ToolPath() {
  return (std::filesystem::path(SelfPath()).parent_path() / KX_TOOL).string();
}

// A store of its own for the tool: a directory, or on Windows a key below
// the test's store key, so that it goes with it.
inline std::string OwnStore(const std::string& tag) {
#ifdef _WIN32
  return StoreDir() + "\\" +
         std::filesystem::path(MakeTempDir(tag)).filename().string();
#else
  return MakeTempDir(tag);
#endif
}

// Runs the tool to its end; `env` adds or replaces variables ("TZ=UTC").
inline Ran RunTool(const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv = {ToolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  Ran ran = RunProgram(argv, env);
#ifdef _WIN32  // where console programs end their lines with CR LF
  std::erase(ran.out, '\r');
  std::erase(ran.err, '\r');
#endif
  return ran;
}

// A run that must succeed; its standard output.
inline std::string Out(const std::vector<std::string>& args,
                       const std::vector<std::string>& env = {}) {
  Ran ran = RunTool(args, env);
  EXPECT_EQ(ran.status, 0) << ran.err;
  return ran.out;
}

// The test's store writable by nobody but root, and reachable by others:
// run as nobody, the tool is a reader of it.
inline void StoreForReadersOnly() {
  namespace fs = std::filesystem;
  const fs::path store = StoreDir();
  fs::permissions(store.parent_path(), fs::perms::others_exec,
                  fs::perm_options::add);
  for (const auto& entry :
       fs::recursive_directory_iterator(store.parent_path())) {
    fs::permissions(entry.path(), fs::perms(0222), fs::perm_options::remove);
  }
}

// A run that failed with `status`: nothing on standard output, and a
// "kxenv: " line on standard error.
inline void ExpectFailure(const Ran& ran, int status) {
  EXPECT_EQ(ran.status, status) << ran.err;
  EXPECT_EQ(ran.out, "");
  EXPECT_TRUE(StartsWith(ran.err, "kxenv: "));
}

}  // namespace kxtest
