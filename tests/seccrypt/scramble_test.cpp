// Scrambling of sensitive values: known results of both variants, what a
// pass leaves alone, which values four passes each way give back, and how a
// process picks its variant.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "kxwin/kxwin.h"
#include "seccrypt.h"

namespace {

using seccrypt::ScrambleVariant;

constexpr ScrambleVariant kWide = ScrambleVariant::kWide;
constexpr ScrambleVariant kNarrow = ScrambleVariant::kNarrow;

const char* NameOf(ScrambleVariant variant) {
  return variant == kWide ? "wide" : "narrow";
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

int Length(const std::string& value) {
  return static_cast<int>(value.size());
}

// The value after `passes` passes of scrambling, or of unscrambling.
std::string Scrambled(std::string value, ScrambleVariant variant,
                      int passes = 1, bool undo = false) {
  for (int pass = 0; pass < passes; ++pass) {
    (undo ? seccrypt::UnscramblePass : seccrypt::ScramblePass)(
        value.data(), Length(value), variant);
  }
  return value;
}

// Keys of positions 0..3: 17, 42, 5, 58. The rows of 18 bytes reach every
// key and the first again, so a changed key or key index shows.
TEST(ScramblePass, GivesTheKnownResultsAndUndoesThem) {
  struct Row {
    const char* name;
    ScrambleVariant variant;
    int passes;
    std::string clear, scrambled;
  } rows[] = {
      // 'A' 65+17+0 = 82; 'B' 66+42+82 = 190.
      {"wide AB", kWide, 1, "AB", Bytes({82, 190})},
      // 255+17 = 272 -> 48; 255+42+48 = 345 -> 121; 255+5+121 = 381 -> 157.
      {"wide folds once", kWide, 1, Bytes({255, 255, 255}),
       Bytes({48, 121, 157})},
      // 238+17 = 255 stays; 255+42+255 = 552 -> 328 -> 104.
      {"wide folds twice", kWide, 1, Bytes({238, 255}), Bytes({255, 104})},
      {"wide four passes", kWide, 4, "A", Bytes({133})},
      {"wide every key", kWide, 1, "Secret-Passw0rd!xy",
       Bytes({100, 243, 123, 71, 195, 123, 179, 84, 184, 136, 56, 189, 65, 187,
              102, 161, 74, 237})},
      // 'B' 66+42+82 = 190 -> 96.
      {"narrow AB", kNarrow, 1, "AB", Bytes({82, 96})},
      // 200 steps to 201 and keeps feedback 0: 'A' 65+42+0 = 107.
      {"narrow steps high bytes", kNarrow, 1, Bytes({200, 'A'}),
       Bytes({201, 107})},
      // 108+17 = 125 stays; 125+42+125 = 292 -> 198 -> 104.
      {"narrow folds twice", kNarrow, 1, Bytes({108, 125}), Bytes({125, 104})},
      {"narrow four passes", kNarrow, 4, "A", Bytes({39})},
      {"narrow every key", kNarrow, 1, "Secret-Pa" + Bytes({200}) + "ssw0rd!xy",
       Bytes({100, 55, 65, 49, 79, 43, 99, 40, 46, 201, 96, 37, 114, 76, 41, 73,
              123, 97, 35})},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Scrambled(row.clear, row.variant, row.passes), row.scrambled)
        << row.name;
    EXPECT_EQ(Scrambled(row.scrambled, row.variant, row.passes, true),
              row.clear)
        << row.name;
  }
}

TEST(ScramblePass, StopsAtTheFirstZeroByteOrTheLength) {
  struct Row {
    const char* name;
    std::string value;
    int length;
    int touched;  // how many bytes at the front a pass changes
  } rows[] = {
      {"zero first", std::string("\0secret", 7), 7, 0},
      {"zero inside", std::string("ab\0cd", 5), 5, 2},
      {"length short of the end", "abcdef", 3, 3},
      {"length 0", "secret", 0, 0},
      {"negative length", "secret", -1, 0},
  };
  for (ScrambleVariant variant : {kWide, kNarrow}) {
    for (const Row& row : rows) {
      std::string front = row.value.substr(0, row.touched);
      std::string scrambled = row.value, unscrambled = row.value;
      seccrypt::ScramblePass(scrambled.data(), row.length, variant);
      seccrypt::UnscramblePass(unscrambled.data(), row.length, variant);
      EXPECT_EQ(scrambled,
                Scrambled(front, variant) + row.value.substr(front.size()))
          << NameOf(variant) << ": " << row.name;
      EXPECT_EQ(unscrambled, Scrambled(front, variant, 1, true) +
                                 row.value.substr(front.size()))
          << NameOf(variant) << ": " << row.name;
    }
    // A null buffer is passed over: there is no result to look at, and
    // the exported passes only hand their buffer on to these.
    seccrypt::ScramblePass(nullptr, 10, variant);
    seccrypt::UnscramblePass(nullptr, 10, variant);
  }
}

TEST(ScrambleRoundTrips, ControlBytesNeverAndHighBytesOnlyWide) {
  auto name = [](const char* text) {
    return testing::PrintToString(std::string(text));
  };
  for (const char* text : {"", "p@ss word~{}", "\xFB\x80 \x7E"}) {
    EXPECT_TRUE(seccrypt::ScrambleRoundTrips(text, kWide)) << name(text);
    EXPECT_TRUE(seccrypt::ScrambleRoundTrips(text, kNarrow)) << name(text);
  }
  for (const char* text : {"x\xFC", "\xFF"}) {
    EXPECT_TRUE(seccrypt::ScrambleRoundTrips(text, kWide)) << name(text);
    EXPECT_FALSE(seccrypt::ScrambleRoundTrips(text, kNarrow)) << name(text);
  }
  for (const char* text : {"a\tb", "line\n", "\x01"}) {
    EXPECT_FALSE(seccrypt::ScrambleRoundTrips(text, kWide)) << name(text);
    EXPECT_FALSE(seccrypt::ScrambleRoundTrips(text, kNarrow)) << name(text);
  }
}

// A listed name in any case, with or without ".exe", anywhere in the file
// name; kxagent and kxsnmpd are the first and the last of the list.
TEST(ChooseNarrowVariant, ListedProgramsAreNarrowAndOthersWide) {
  for (const char* path :
       {"/opt/kx/bin/kxsched", "/opt/kx/bin/kxagent", "/opt/kx/bin/kxsnmpd",
        "/opt/kx/bin/KxSched.exe", "/opt/kx/bin/mykxsched"}) {
    EXPECT_TRUE(seccrypt::ChooseNarrowVariant(path)) << path;
  }
  for (const char* path :
       {"/usr/bin/other", "/opt/kx/bin/kxsched2", "/opt/kx/bin/kxsche", "",
        "/opt/kxsched/bin/other", "/srv/kxagent/kxmgr-tools/run"}) {
    EXPECT_FALSE(seccrypt::ChooseNarrowVariant(path)) << path;
  }
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant(nullptr));
}

// Each test runs in a process of its own, so these threads race to make
// the process's first choice.
TEST(ProcessVariant, ThreadsAtOnceAllScrambleWithTheVariantOfTheExecutable) {
  char path[256] = {};
  ASSERT_NE(GetModuleFileNameA(nullptr, path, 255), 0u);
  ScrambleVariant expected =
      seccrypt::ChooseNarrowVariant(path) ? kNarrow : kWide;
  const std::string value = "shared secret";
  std::vector<std::string> results(8, value);
  std::vector<std::thread> threads;
  for (std::string& result : results) {
    threads.emplace_back(
        [&result] { ScrambleValue(result.data(), Length(result)); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(seccrypt::CurrentScrambleVariant(), expected);
  for (std::string& result : results) {
    EXPECT_EQ(result, Scrambled(value, expected));
    UnscrambleValue(result.data(), Length(result));
    EXPECT_EQ(result, value);
  }
}

}  // namespace
