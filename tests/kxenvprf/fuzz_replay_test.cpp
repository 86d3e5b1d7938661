// Every input kept under tests/fixtures/fuzz (seeds and past findings of
// the fuzzers) through the checks that the fuzzers run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kxenvprf_checks.h"

namespace {

namespace fs = std::filesystem;

using Check = bool (*)(const std::uint8_t* data, std::size_t size);

// Replays the inputs of one fuzzer; returns how many there were.
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

TEST(FuzzFindings, ProfileRecordInputsStayHarmless) {
  EXPECT_GT(Replay("profile_record_fuzz", CheckProfileRecordInput), 0);
}

TEST(FuzzFindings, ValueBlockInputsStayHarmless) {
  EXPECT_GT(Replay("value_block_fuzz", CheckValueBlockInput), 0);
}

}  // namespace
