// The open profiles of a process and their handles. Every test closes what
// it opened, so each starts from an empty list, also when the tests share
// a process.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kxenvprf.h"

namespace {

std::string Path(const std::string& name) {
  return "/tmp/prf/" + name;
}

// Handles count from 1 and name their paths; closing one in the middle
// leaves a gap, and only the last handle is given again once closed.
TEST(ProfileHandles, EachOpenGetsAHandleOfItsOwnThatNamesItsPath) {
  int a = OpenProfile(Path("a.ini").c_str());
  int b = OpenProfile(Path("b.ini").c_str());
  int c = OpenProfile(Path("a.ini").c_str());
  EXPECT_EQ(std::vector({a, b, c}), std::vector({1, 2, 3}));
  ASSERT_EQ(CloseProfile(b), 1);
  int d = OpenProfile(Path("d.ini").c_str());
  EXPECT_EQ(d, 4);
  EXPECT_EQ(GetProfilePath(a), Path("a.ini"));
  EXPECT_EQ(GetProfilePath(b), nullptr);
  EXPECT_EQ(GetProfilePath(c), Path("a.ini"));
  EXPECT_EQ(GetProfilePath(d), Path("d.ini"));
  ASSERT_EQ(CloseProfile(d), 1);
  EXPECT_EQ(OpenProfile(Path("e.ini").c_str()), d);
  // The head, unknown and closed handles cannot be closed.
  for (int other : {0, -1, d + 1, b}) {
    EXPECT_EQ(CloseProfile(other), 0) << other;
    EXPECT_EQ(GetProfilePath(other), nullptr) << other;
  }
  for (int handle : {a, c, d}) EXPECT_EQ(CloseProfile(handle), 1);
}

TEST(ProfileHandles, EmptyAndOverlongPathsAreRefused) {
  // An entry holds a path of 264 characters with its terminator.
  std::string longest = "/" + std::string(262, 'p');
  int handle = OpenProfile(longest.c_str());
  EXPECT_GT(handle, 0);
  EXPECT_EQ(GetProfilePath(handle), longest);
  EXPECT_EQ(OpenProfile((longest + "p").c_str()), 0);
  EXPECT_EQ(OpenProfile(""), 0);
  EXPECT_EQ(OpenProfile(nullptr), 0);
  EXPECT_EQ(CloseProfile(handle), 1);
}

TEST(ProfileHandles, ThreadsOpeningAtOnceEachSeeTheirOwnPath) {
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      std::string path = Path("thread" + std::to_string(t) + ".ini");
      for (int round = 0; round < 500; ++round) {
        int handle = OpenProfile(path.c_str());
        const char* seen = GetProfilePath(handle);
        if (!seen || seen != path || CloseProfile(handle) != 1) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
