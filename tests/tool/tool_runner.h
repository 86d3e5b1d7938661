// Runs the built kxenv program (KX_TOOL) on the test's own store
// (KX_REGISTRY is inherited). A run to watch line by line is a
// kxtest::Child in the role "tool" (store_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing.h"

namespace kxtest {

inline std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the tool to its end; `env` adds or replaces variables ("TZ=UTC").
inline Ran RunTool(const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv = {KX_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, env);
}

// A run that failed with `status`: nothing on standard output, and a
// "kxenv: " line on standard error.
inline void ExpectFailure(const Ran& ran, int status) {
  EXPECT_EQ(ran.status, status) << ran.err;
  EXPECT_EQ(ran.out, "");
  EXPECT_TRUE(StartsWith(ran.err, "kxenv: "));
}

}  // namespace kxtest
