// Every input kept under tests/fixtures/fuzz for the table's line syntax
// (seeds and past findings of the fuzzers) through the fuzzers' checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "table_checks.h"

namespace {

namespace fs = std::filesystem;

using Check = bool (*)(const std::uint8_t* data, std::size_t size);

int Replay(const std::string& target, Check check) {
  int replayed = 0;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(fs::path(KX_FUZZ_FIXTURES) / target)) {
    std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.starts_with(".")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(check(input.data(), input.size())) << target << "/" << name;
    ++replayed;
  }
  return replayed;
}

TEST(FuzzFindings, TableLineInputsStayHarmless) {
  EXPECT_GT(Replay("table_line_fuzz", CheckTableLineInput), 0);
}

TEST(FuzzFindings, ControlFileInputsStayHarmless) {
  EXPECT_GT(Replay("control_file_fuzz", CheckControlFileInput), 0);
}

}  // namespace
