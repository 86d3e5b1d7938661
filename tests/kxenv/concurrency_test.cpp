// Gets, sets and frees from several threads at once: none sees half of a
// write, and threads that share the cache run clean (this suite also runs
// under ThreadSanitizer and AddressSanitizer).
#include <atomic>
#include <set>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

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
  static const std::set<std::string> whole = [] {
    std::set<std::string> values = {"seed"};
    for (int thread = 0; thread < kThreads; ++thread)
      for (int round = 0; round < kRounds; ++round)
        values.insert(ValueOf(thread, round));
    return values;
  }();
  return value && whole.count(value);
}

// One thread's work; returns the number of wrong results. Every other
// round frees the record through a different string of it.
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
    wrong += KXfreemem(round % 2 ? static_cast<void*>(record->lastUser)
                                 : static_cast<void*>(record)) != 0;
  }
  return wrong;
}

}  // namespace

TEST(ConcurrentAccess, EightThreadsGettingSettingAndFreeingRunClean) {
  for (const char* name : kShared) {
    ASSERT_TRUE(WriteKey(EnvKey(name),
                         {Text("Local", "seed"), Text("Global", "seed")}));
  }
  IsWhole(nullptr);  // the set of values is made before the threads start
  StartLine start(kThreads);
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
