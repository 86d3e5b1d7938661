// Runs the built kxenv program (KX_TOOL) on the test's own store
// (KX_REGISTRY is inherited). A run to watch line by line is a
// kxtest::Child in the role "tool" (store_test.cpp).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing.h"

namespace kxtest {

// What a finished run left: its exit status and everything it wrote.
struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the tool to its end; `env` adds or replaces variables ("TZ=UTC").
inline Ran RunTool(const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}) {
  const std::string dir = MakeTempDir("run");
  std::string command = "env";
  for (const std::string& word : env) command += " " + Quoted(word);
  command += " " + Quoted(KX_TOOL);
  for (const std::string& word : args) command += " " + Quoted(word);
  int status =
      std::system((command + " >" + dir + "/out 2>" + dir + "/err").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
          Contents(dir + "/out"), Contents(dir + "/err")};
}

// A run that failed with `status`: nothing on standard output, and a
// "kxenv: " line on standard error.
inline void ExpectFailure(const Ran& ran, int status) {
  EXPECT_EQ(ran.status, status) << ran.err;
  EXPECT_EQ(ran.out, "");
  EXPECT_TRUE(StartsWith(ran.err, "kxenv: "));
}

}  // namespace kxtest
