// Scrambling of sensitive values: what four passes each way give back, what
// one pass touches, results worked out by hand for both variants, and how a
// process picks its variant.
#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kxwin/kxwin.h"
#include "seccrypt.h"

namespace {

using seccrypt::ScrambleVariant;

constexpr ScrambleVariant kWide = ScrambleVariant::kWide;
constexpr ScrambleVariant kNarrow = ScrambleVariant::kNarrow;
constexpr ScrambleVariant kBothVariants[] = {kWide, kNarrow};

const char* NameOf(ScrambleVariant variant) {
  return variant == kWide ? "wide" : "narrow";
}

// The highest byte that each variant gives back after four passes.
int HighestFaithfulByte(ScrambleVariant variant) {
  return variant == kWide ? 255 : 251;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

int Length(const std::string& value) {
  return static_cast<int>(value.size());
}

std::string Scrambled(std::string value, ScrambleVariant variant,
                      int passes = 1) {
  for (int pass = 0; pass < passes; ++pass) {
    seccrypt::ScramblePass(value.data(), Length(value), variant);
  }
  return value;
}

std::string Unscrambled(std::string value, ScrambleVariant variant,
                        int passes = 1) {
  for (int pass = 0; pass < passes; ++pass) {
    seccrypt::UnscramblePass(value.data(), Length(value), variant);
  }
  return value;
}

std::string RoundTripped(const std::string& value, ScrambleVariant variant) {
  return Unscrambled(Scrambled(value, variant, 4), variant, 4);
}

// Bytes a value of the variant may hold, drawn from `random`.
std::string RandomValue(std::mt19937& random, ScrambleVariant variant,
                        int length) {
  std::uniform_int_distribution<int> byte(32, HighestFaithfulByte(variant));
  std::string value;
  for (int i = 0; i < length; ++i) value += static_cast<char>(byte(random));
  return value;
}

// ---- Four passes each way ------------------------------------------------

TEST(ScrambleRoundTrip, EveryFaithfulByteComesBackAtEachOfTheFirst32Positions) {
  std::mt19937 random(20240611);
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    for (int position = 0; position < 32; ++position) {
      // Random bytes before and after vary the feedback around the byte.
      std::string prefix = RandomValue(random, variant, position);
      std::string suffix = RandomValue(random, variant, 5);
      for (int c = 32; c <= HighestFaithfulByte(variant); ++c) {
        std::string value = prefix + static_cast<char>(c) + suffix;
        ASSERT_EQ(RoundTripped(value, variant), value)
            << "byte " << c << " at position " << position;
      }
    }
  }
}

TEST(ScrambleRoundTrip, RandomValuesComeBack) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> length(1, 120);
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    for (int round = 0; round < 2000; ++round) {
      std::string value = RandomValue(random, variant, length(random));
      ASSERT_EQ(RoundTripped(value, variant), value);
    }
  }
}

// ---- What one pass touches -----------------------------------------------

TEST(ScramblePass, OnePassChangesATypicalText) {
  const std::string text = "correct horse battery staple";
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    std::string once = Scrambled(text, variant);
    EXPECT_NE(once, text);
    EXPECT_EQ(once.size(), text.size());
    EXPECT_NE(Scrambled(text, variant, 4), text);
    EXPECT_EQ(Unscrambled(once, variant), text);
  }
}

TEST(ScramblePass, AnEmptyValueStaysEmpty) {
  for (ScrambleVariant variant : kBothVariants) {
    char value[1] = {'\0'};
    seccrypt::ScramblePass(value, 1, variant);
    EXPECT_EQ(value[0], '\0');
    seccrypt::UnscramblePass(value, 1, variant);
    EXPECT_EQ(value[0], '\0');
  }
}

TEST(ScramblePass, AValueStartingWithAZeroStaysUnchanged) {
  const std::string value("\0secret", 7);
  for (ScrambleVariant variant : kBothVariants) {
    EXPECT_EQ(Scrambled(value, variant), value) << NameOf(variant);
    EXPECT_EQ(Unscrambled(value, variant), value) << NameOf(variant);
  }
}

TEST(ScramblePass, BytesAfterAZeroAreUntouched) {
  const std::string value("ab\0cd", 5);
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    for (const std::string& result :
         {Scrambled(value, variant), Unscrambled(value, variant)}) {
      EXPECT_NE(result.substr(0, 2), "ab");
      EXPECT_EQ(result.substr(2), std::string("\0cd", 3));
    }
  }
}

TEST(ScramblePass, BytesBeyondTheLengthAreUntouched) {
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    std::string value = "abcdef";
    seccrypt::ScramblePass(value.data(), 3, variant);
    EXPECT_EQ(value.substr(0, 3), Scrambled("abc", variant));
    EXPECT_EQ(value.substr(3), "def");
    seccrypt::UnscramblePass(value.data(), 3, variant);
    EXPECT_EQ(value, "abcdef");
  }
}

TEST(ScramblePass, NullBufferAndNonPositiveLengthsDoNothing) {
  for (ScrambleVariant variant : kBothVariants) {
    seccrypt::ScramblePass(nullptr, 10, variant);
    seccrypt::UnscramblePass(nullptr, 10, variant);
    std::string value = "secret";
    for (int length : {0, -1, -100}) {
      seccrypt::ScramblePass(value.data(), length, variant);
      seccrypt::UnscramblePass(value.data(), length, variant);
    }
    EXPECT_EQ(value, "secret") << NameOf(variant);
  }
  ScrambleValue(nullptr, 5);
  UnscrambleValue(nullptr, 5);
}

// ---- The key table repeats every 16 positions ------------------------------

// Unscrambling feeds back the byte it read, so a byte y at position 0
// (feedback 0) and y + 32 at position 16 after a space (feedback 32) are
// reduced by the same amount exactly when both positions use the same key.
// A key index off by one lands on 42 or 26 instead of 17 and fails.
TEST(ScrambleKeys, PositionSixteenUsesTheSameKeyAsPositionZero) {
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    int highest = variant == kWide ? 255 - 32 : 125 - 32;
    for (int y = 32; y <= highest; ++y) {
      std::string at_zero = Unscrambled(Bytes({y}), variant);
      std::string at_sixteen = Unscrambled(
          std::string(16, ' ') + static_cast<char>(y + 32), variant);
      ASSERT_EQ(at_sixteen[16], at_zero[0]) << "byte " << y;
    }
  }
}

// Narrow scrambling leaves the feedback alone across bytes from 126 up, so
// a byte at position 16 behind sixteen of them meets feedback 0 as at 0.
TEST(ScrambleKeys, NarrowScramblingAtSixteenMatchesPositionZero) {
  const std::string stepped(16, static_cast<char>(200));
  for (int c = 32; c <= 125; ++c) {
    std::string at_zero = Scrambled(Bytes({c}), kNarrow);
    std::string at_sixteen = Scrambled(stepped + static_cast<char>(c), kNarrow);
    ASSERT_EQ(at_sixteen[16], at_zero[0]) << "byte " << c;
    ASSERT_EQ(at_sixteen.substr(0, 16),
              std::string(16, static_cast<char>(201)));
  }
}

// With the input repeating every 16 bytes, the feedback of unscrambling
// repeats too, so from position 1 on the output repeats with the keys.
TEST(ScrambleKeys, UnscrambledOutputRepeatsWithThePeriodOfTheKeyTable) {
  std::mt19937 random(16);
  for (ScrambleVariant variant : kBothVariants) {
    SCOPED_TRACE(NameOf(variant));
    std::string block = RandomValue(random, variant, 16);
    std::string output = Unscrambled(block + block + block, variant);
    for (int i = 1; i < 32; ++i) {
      ASSERT_EQ(output[i + 16], output[i]) << "position " << i;
    }
  }
}

// ---- Results worked out by hand --------------------------------------------
// Keys of positions 0..3: 17, 42, 5, 58.

TEST(WideVariant, ScramblesKnownValues) {
  // 'A' 65+17+0 = 82; 'B' 66+42+82 = 190.
  EXPECT_EQ(Scrambled("AB", kWide), Bytes({82, 190}));
  // 255+17 = 272 -> 48; 255+42+48 = 345 -> 121; 255+5+121 = 381 -> 157.
  EXPECT_EQ(Scrambled(Bytes({255, 255, 255}), kWide), Bytes({48, 121, 157}));
  // 238+17 = 255 stays; 255+42+255 = 552 -> 328 -> 104 (folded twice).
  EXPECT_EQ(Scrambled(Bytes({238, 255}), kWide), Bytes({255, 104}));
  // Four passes of 'A': 82, 99, 116, 133.
  EXPECT_EQ(Scrambled("A", kWide, 4), Bytes({133}));
}

TEST(WideVariant, UnscramblesKnownValues) {
  EXPECT_EQ(Unscrambled(Bytes({82, 190}), kWide), "AB");
  EXPECT_EQ(Unscrambled(Bytes({48, 121, 157}), kWide), Bytes({255, 255, 255}));
  // 255-17 = 238; 104-42-255 = -193 -> 31 -> 255 (folded twice).
  EXPECT_EQ(Unscrambled(Bytes({255, 104}), kWide), Bytes({238, 255}));
  // 32-17 = 15 -> 239: a byte below 32 is never what scrambling made.
  EXPECT_EQ(Unscrambled(" ", kWide), Bytes({239}));
}

TEST(NarrowVariant, ScramblesKnownValues) {
  // 'A' 65+17+0 = 82; 'B' 66+42+82 = 190 -> 96.
  EXPECT_EQ(Scrambled("AB", kNarrow), Bytes({82, 96}));
  // 200 steps to 201 and keeps feedback 0: 'A' 65+42+0 = 107.
  EXPECT_EQ(Scrambled(Bytes({200, 'A'}), kNarrow), Bytes({201, 107}));
  // 108+17 = 125 stays; 125+42+125 = 292 -> 198 -> 104 (folded twice).
  EXPECT_EQ(Scrambled(Bytes({108, 125}), kNarrow), Bytes({125, 104}));
  // Four passes of 'A': 82, 99, 116, 133 -> 39.
  EXPECT_EQ(Scrambled("A", kNarrow, 4), Bytes({39}));
  // 252 steps to 253, 254, 255 and then wraps to a zero byte.
  EXPECT_EQ(Scrambled(Bytes({252}), kNarrow, 4), Bytes({0}));
}

TEST(NarrowVariant, UnscramblesKnownValues) {
  EXPECT_EQ(Unscrambled(Bytes({82, 96}), kNarrow), "AB");
  EXPECT_EQ(Unscrambled(Bytes({201, 107}), kNarrow), Bytes({200, 'A'}));
  // 125-17 = 108; 104-42-125 = -63 -> 31 -> 125 (folded twice).
  EXPECT_EQ(Unscrambled(Bytes({125, 104}), kNarrow), Bytes({108, 125}));
  // 32-17 = 15 -> 109.
  EXPECT_EQ(Unscrambled(" ", kNarrow), Bytes({109}));
}

TEST(ScrambleVariants,
     AValueScrambledWithOneVariantDoesNotComeBackWithTheOther) {
  const std::string value = "Secret-Passw0rd!";
  EXPECT_NE(Unscrambled(Scrambled(value, kWide, 4), kNarrow, 4), value);
  EXPECT_NE(Unscrambled(Scrambled(value, kNarrow, 4), kWide, 4), value);
}

// ---- Which values can be stored --------------------------------------------

TEST(ScrambleRoundTrips, OrdinaryTextRoundTripsUnderBothVariants) {
  for (ScrambleVariant variant : kBothVariants) {
    EXPECT_TRUE(seccrypt::ScrambleRoundTrips("", variant));
    EXPECT_TRUE(seccrypt::ScrambleRoundTrips("p@ss word~{}", variant));
    EXPECT_TRUE(seccrypt::ScrambleRoundTrips("\xFB\x80 \x7E", variant));
  }
}

TEST(ScrambleRoundTrips, TabsAndNewlinesDoNotRoundTripUnderEitherVariant) {
  for (ScrambleVariant variant : kBothVariants) {
    EXPECT_FALSE(seccrypt::ScrambleRoundTrips("a\tb", variant))
        << NameOf(variant);
    EXPECT_FALSE(seccrypt::ScrambleRoundTrips("line\n", variant))
        << NameOf(variant);
    EXPECT_FALSE(seccrypt::ScrambleRoundTrips("\x01", variant))
        << NameOf(variant);
  }
}

TEST(ScrambleRoundTrips, HighBytesRoundTripOnlyUnderTheWideVariant) {
  EXPECT_FALSE(seccrypt::ScrambleRoundTrips("x\xFC", kNarrow));
  EXPECT_FALSE(seccrypt::ScrambleRoundTrips("\xFF", kNarrow));
  EXPECT_TRUE(seccrypt::ScrambleRoundTrips("x\xFC", kWide));
  EXPECT_TRUE(seccrypt::ScrambleRoundTrips("\xFF", kWide));
}

// ---- Choosing the variant --------------------------------------------------

TEST(ChooseNarrowVariant, AListedProgramWithoutExtensionIsNarrow) {
  EXPECT_TRUE(seccrypt::ChooseNarrowVariant("/opt/kx/bin/kxsched"));
}

TEST(ChooseNarrowVariant, AnyCaseAndAnExistingExtensionAreNarrow) {
  EXPECT_TRUE(seccrypt::ChooseNarrowVariant("/opt/kx/bin/KxSched.exe"));
}

TEST(ChooseNarrowVariant, AListedNameInsideALongerNameIsNarrow) {
  EXPECT_TRUE(seccrypt::ChooseNarrowVariant("/opt/kx/bin/mykxsched"));
}

TEST(ChooseNarrowVariant, EveryListedProgramIsNarrow) {
  for (const char* name :
       {"kxagent",  "kxmgr",     "kxconsole", "kxsched",  "kxjobmgr",
        "kxevtcon", "kxdbgate",  "kxreport",  "kxnetmon", "kxsecure",
        "kxtrapd",  "kxlogger",  "kxcaldr",   "kxspool",  "kxbackup",
        "kxarchiv", "kxinstall", "kxsetup",   "kxmailer", "kxwebsrv",
        "kxsnmpd"}) {
    EXPECT_TRUE(seccrypt::ChooseNarrowVariant(
        (std::string("/opt/kx/bin/") + name).c_str()))
        << name;
  }
}

TEST(ChooseNarrowVariant, OtherProgramsAreWide) {
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant("/usr/bin/other"));
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant("/opt/kx/bin/kxsched2"));
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant("/opt/kx/bin/kxsche"));
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant(""));
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant(nullptr));
}

TEST(ChooseNarrowVariant, AListedNameOnlyInADirectoryIsWide) {
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant("/opt/kxsched/bin/other"));
  EXPECT_FALSE(seccrypt::ChooseNarrowVariant("/srv/kxagent/kxmgr-tools/run"));
}

// ---- The variant of this process -------------------------------------------

TEST(ProcessVariant, FollowsTheNameOfThisExecutable) {
  char path[256] = {};
  ASSERT_NE(GetModuleFileNameA(nullptr, path, 255), 0u);
  ScrambleVariant expected =
      seccrypt::ChooseNarrowVariant(path) ? kNarrow : kWide;
  EXPECT_EQ(seccrypt::CurrentScrambleVariant(), expected);
}

TEST(ProcessVariant, TheEntriesUseTheVariantOfThisProcess) {
  const std::string value = "entry point value";
  ScrambleVariant variant = seccrypt::CurrentScrambleVariant();
  std::string scrambled = value;
  ScrambleValue(scrambled.data(), Length(scrambled));
  EXPECT_EQ(scrambled, Scrambled(value, variant));
  UnscrambleValue(scrambled.data(), Length(scrambled));
  EXPECT_EQ(scrambled, value);
}

// Each test runs in a process of its own, so these threads race to make
// the first choice.
TEST(ProcessVariant, ThreadsThatChooseAtOnceAllSeeTheSameVariant) {
  const std::string value = "shared secret";
  std::vector<std::string> results(8, value);
  std::vector<std::thread> threads;
  for (std::string& result : results) {
    threads.emplace_back(
        [&result] { ScrambleValue(result.data(), Length(result)); });
  }
  for (std::thread& thread : threads) thread.join();
  std::string expected = Scrambled(value, seccrypt::CurrentScrambleVariant());
  for (const std::string& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
