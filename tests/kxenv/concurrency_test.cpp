// Gets and sets from several processes and threads at once: a reader never
// sees half of a write, and threads that share the cache run clean (this
// suite also runs under ThreadSanitizer and AddressSanitizer).
#include <atomic>
#include <latch>
#include <set>

#include "kxenv_test_util.h"

namespace {

using kxtest::Str;

// Two names that a writer alternates between values of different letters
// and lengths (a cut or mixed read matches neither), and one whose Local
// it sets and removes in turn.
const std::string kFirst[] = {std::string(3000, 'a'), std::string(5000, 'b')};
const std::string kSecond[] = {std::string(5000, 'c'), std::string(3000, 'd')};
const char* const kLocal[] = {nullptr, "new local"};

}  // namespace

KX_ROLE(alternating_writer) {
  for (int round = 0; round < 150; ++round) {
    if (KXsetenv("KXT_CC_FIRST", kFirst[round % 2].c_str()) ||
        KXsetenv("KXT_CC_SECOND", kSecond[round % 2].c_str()) ||
        KXsetenv("KXT_CC_LOCAL", kLocal[round % 2])) {
      return 1;
    }
  }
  return KXsetenv("KXT_CC_DONE", "done") == 0 ? 0 : 2;
}

// The writer's last round is odd: the new values stay.
TEST(ConcurrentAccess, AReaderInAnotherProcessNeverSeesHalfAWrite) {
  ASSERT_EQ(KXsetenv("KXT_CC_FIRST", kFirst[0].c_str()), 0);
  ASSERT_EQ(KXsetenv("KXT_CC_SECOND", kSecond[0].c_str()), 0);
  ASSERT_TRUE(kxtest::WriteKey(
      kxtest::EnvKey("KXT_CC_LOCAL"),
      {kxtest::Text("Local", "old local"), kxtest::Text("Global", "global")}));
  const std::set<std::string> first(kFirst, kFirst + 2);
  const std::set<std::string> second(kSecond, kSecond + 2);
  const std::set<std::string> local = {"old local", "new local", "global"};
  kxtest::Child writer("alternating_writer");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  bool done = false;
  for (int reads = 0; !done && std::chrono::steady_clock::now() < deadline;
       ++reads) {
    done = KXgetenv("KXT_CC_DONE") != nullptr;
    ASSERT_TRUE(first.count(Str(KXgetenv("KXT_CC_FIRST")))) << reads;
    ASSERT_TRUE(second.count(Str(KXgetenv("KXT_CC_SECOND")))) << reads;
    ASSERT_TRUE(local.count(Str(KXgetenv("KXT_CC_LOCAL")))) << reads;
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_CC_FIRST")), kFirst[1]);
  EXPECT_EQ(Str(KXgetenv("KXT_CC_SECOND")), kSecond[1]);
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
    ASSERT_TRUE(kxtest::WriteKey(
        kxtest::EnvKey(name),
        {kxtest::Text("Local", "seed"), kxtest::Text("Global", "seed")}));
  }
  IsWhole(nullptr);  // the set of values is made before the threads start
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
