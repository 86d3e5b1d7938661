// Gets and sets from several processes and threads at once: a reader never
// sees half of a write, and threads that share the cache run clean (this
// suite also runs under ThreadSanitizer and AddressSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kxenv_test_util.h"

namespace {

using kxtest::EnvKey;
using kxtest::Str;
using kxtest::Text;
using kxtest::WriteKey;

// Two names that a writer alternates between values of different letters
// and lengths: a cut or mixed read matches neither.
const std::string kFirstOld(3000, 'a');
const std::string kFirstNew(5000, 'b');
const std::string kSecondOld(5000, 'c');
const std::string kSecondNew(3000, 'd');

constexpr int kWriterRounds = 150;

}  // namespace

KX_ROLE(alternating_writer) {
  for (int round = 0; round < kWriterRounds; ++round) {
    bool odd = round % 2 != 0;
    if (KXsetenv("KXT_CC_FIRST", (odd ? kFirstNew : kFirstOld).c_str()) ||
        KXsetenv("KXT_CC_SECOND", (odd ? kSecondNew : kSecondOld).c_str()) ||
        KXsetenv("KXT_CC_LOCAL", odd ? "new local" : nullptr)) {
      return 1;
    }
  }
  return KXsetenv("KXT_CC_DONE", "done") == 0 ? 0 : 2;
}

TEST(ConcurrentAccess, AReaderInAnotherProcessNeverSeesHalfAWrite) {
  ASSERT_EQ(KXsetenv("KXT_CC_FIRST", kFirstOld.c_str()), 0);
  ASSERT_EQ(KXsetenv("KXT_CC_SECOND", kSecondOld.c_str()), 0);
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CC_LOCAL"),
                       {Text("Local", "old local"), Text("Global", "global")}));
  const std::set<std::string> first = {kFirstOld, kFirstNew};
  const std::set<std::string> second = {kSecondOld, kSecondNew};
  const std::set<std::string> local = {"old local", "new local", "global"};

  kxtest::Child writer("alternating_writer");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  int reads = 0;
  bool done = false;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    done = KXgetenv("KXT_CC_DONE") != nullptr;
    ASSERT_TRUE(first.count(Str(KXgetenv("KXT_CC_FIRST")))) << reads;
    ASSERT_TRUE(second.count(Str(KXgetenv("KXT_CC_SECOND")))) << reads;
    ASSERT_TRUE(local.count(Str(KXgetenv("KXT_CC_LOCAL")))) << reads;
    ++reads;
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(writer.Wait(), 0);
  // The writer's last round is odd: the new values stay.
  EXPECT_EQ(Str(KXgetenv("KXT_CC_FIRST")), kFirstNew);
  EXPECT_EQ(Str(KXgetenv("KXT_CC_SECOND")), kSecondNew);
  EXPECT_EQ(Str(KXgetenv("KXT_CC_LOCAL")), "new local");
}

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 120;
constexpr const char* kShared[] = {"KXT_CC_SHARED0", "KXT_CC_SHARED1",
                                   "KXT_CC_SHARED2"};

// The value a thread writes in a round: its number, the round, and a tail
// of its own letter.
std::string ValueOf(int thread, int round) {
  return "t" + std::to_string(thread) + "-" + std::to_string(round) + "-" +
         std::string(200, static_cast<char>('a' + thread));
}

// A value that some thread wrote whole, or the seed.
bool IsWhole(const char* value) {
  if (!value) return false;
  std::string text = value;
  if (text == "seed") return true;
  int thread = -1, round = -1, prefix = 0;
  if (std::sscanf(value, "t%d-%d-%n", &thread, &round, &prefix) != 2 ||
      thread < 0 || thread >= kThreads || prefix == 0) {
    return false;
  }
  return text == ValueOf(thread, round);
}

// One thread's work; returns the number of wrong results.
int Work(int thread) {
  int wrong = 0;
  const std::string own = "KXT_CC_OWN" + std::to_string(thread);
  for (int round = 0; round < kRounds; ++round) {
    const std::string mine = ValueOf(thread, round);
    wrong += KXsetenv(kShared[round % 3], mine.c_str()) != 0;
    wrong += KXsetglobal(kShared[(round + 1) % 3], mine.c_str()) != 0;
    wrong += !IsWhole(KXgetenv(kShared[(round + 2) % 3]));
    wrong += !IsWhole(KXgetglobal(kShared[round % 3]));
    wrong += !IsWhole(KXgetlocal(kShared[(round + 1) % 3]));

    wrong += KXsetenv(own.c_str(), mine.c_str()) != 0;
    VariableRecord* record = nullptr;
    char* value = KXgetenvex(own.c_str(), &record, 5);
    if (!record || Str(value) != mine || Str(record->localValue) != mine ||
        !record->lastUser) {
      ++wrong;
      continue;
    }
    // Every other round through a different string of the record.
    void* handle = round % 2 ? static_cast<void*>(record->lastUser)
                             : static_cast<void*>(record);
    wrong += KXfreemem(handle) != 0;
  }
  return wrong;
}

}  // namespace

TEST(ConcurrentAccess, EightThreadsGettingSettingAndFreeingRunClean) {
  for (const char* name : kShared) {
    ASSERT_TRUE(WriteKey(EnvKey(name),
                         {Text("Local", "seed"), Text("Global", "seed")}));
  }
  std::latch start(kThreads);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      start.arrive_and_wait();
      wrong += Work(thread);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const char* name : kShared) {
    EXPECT_TRUE(IsWhole(KXgetenv(name))) << name;
    EXPECT_TRUE(IsWhole(KXgetglobal(name))) << name;
  }
}
