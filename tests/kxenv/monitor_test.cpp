// The store change monitor and the value cache seen from several processes:
// the first get of a process reads the store and later gets are answered
// from the cache; no get is answered from the cache after another
// process's set has completed, however the processes take turns; a record
// cached for one class or level never answers another; and after detach
// the watcher ends and none starts again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kxenv_test_util.h"

namespace {

using namespace std::chrono_literals;
using kxtest::EnvKey;
using kxtest::GetUntilHit;
using kxtest::Say;
using kxtest::Str;
using kxtest::TalkingChild;
using kxtest::Text;
using kxtest::TraceFile;
using kxtest::TraceTail;
using kxtest::WriteKey;

// How long a process may take until its watcher answers gets from the
// cache; far more than it needs.
constexpr auto kWarmLimit = 5s;

// Rounds of the long coherence loops; fewer under sanitizers.
constexpr int kRounds = kxtest::kSanitized ? 500 : 2000;

std::string Value(int round) {
  return "value-" + std::to_string(round);
}

std::string HitLine(const std::string& name) {
  return "GetCachedValue " + name + ": returning cache value";
}

// Reports the first few stale reads, and counts them all.
class StaleReads {
 public:
  void Check(int round, const std::string& expected, const std::string& got) {
    if (got == expected) return;
    if (++count_ <= 5) {
      ADD_FAILURE() << "round " << round << ": expected " << expected
                    << ", got " << got;
    }
  }
  int count() const { return count_; }

 private:
  int count_ = 0;
};

}  // namespace

// ---- Misses and hits within one process

// Gets a variable once, then until a get is answered from the cache.
KX_ROLE(first_get_then_hits) {
  const std::string& name = args.at(0);
  TraceTail tail;
  char* first = KXgetenv(name.c_str());
  int first_hits = tail.CountNew(HitLine(name));
  char* last = nullptr;
  bool hit = GetUntilHit([&] { last = KXgetenv(name.c_str()); }, name, tail,
                         kWarmLimit);
  Say("first get hits: " + std::to_string(first_hits));
  Say(hit ? "a later get hits" : "no get hits");
  Say(last == first ? "same record" : "another record");
  Say(Str(last));
  return 0;
}

TEST(StoreMonitor, TheFirstGetOfAProcessMissesAndALaterGetHitsTheSameRecord) {
  TraceFile trace;
  ASSERT_EQ(KXsetenv("KXT_MON_FIRST", "first"), 0);  // the store key exists
  kxtest::Child child("first_get_then_hits", {"KXT_MON_FIRST"});
  EXPECT_EQ(child.ReadLine(), "first get hits: 0");
  EXPECT_EQ(child.ReadLine(), "a later get hits");
  EXPECT_EQ(child.ReadLine(), "same record");
  EXPECT_EQ(child.ReadLine(), "first");
  pid_t pid = child.pid();
  ASSERT_EQ(child.Wait(), 0);
  EXPECT_EQ(trace.Count("WatchTabForChangeThread: started", pid), 1);
  EXPECT_GE(trace.Count("GetValue KXT_MON_FIRST: returned (first).", pid), 1);
}

TEST(StoreMonitor, AGetNeverHitsARecordCachedForAnotherClassOrLevel) {
  TraceFile trace;
  TraceTail tail(trace.path());
  const std::string name = "KXT_MON_VIEWS";
  ASSERT_TRUE(WriteKey(EnvKey(name), {Text("Global", "g")}));
  ASSERT_TRUE(
      GetUntilHit([&] { KXgetenv(name.c_str()); }, name, tail, kWarmLimit));

  // Class 3 sees no Global value and class 4 sees it, each through a record
  // of its own: the first get of each reads the store.
  EXPECT_EQ(Str(KXgetlocal(name.c_str())), "(null)");
  EXPECT_EQ(tail.CountNew(HitLine(name)), 0);
  EXPECT_EQ(Str(KXgetglobal(name.c_str())), "g");
  EXPECT_EQ(tail.CountNew(HitLine(name)), 0);
  EXPECT_EQ(Str(KXgetglobal(name.c_str())), "g");
  EXPECT_EQ(tail.CountNew(HitLine(name)), 1);

  // Likewise a level-2 record after the cached level-1 record.
  VariableRecord* level1 = nullptr;
  KXgetenvex(name.c_str(), &level1, 1);
  EXPECT_EQ(tail.CountNew(HitLine(name)), 1);
  VariableRecord* level2 = nullptr;
  EXPECT_EQ(Str(KXgetenvex(name.c_str(), &level2, 2)), "g");
  EXPECT_EQ(tail.CountNew(HitLine(name)), 0);
  ASSERT_NE(level2, nullptr);
  EXPECT_EQ(level2->version, 2u);
  EXPECT_EQ(Str(level2->globalValue), "g");
  EXPECT_NE(level2, level1);
  VariableRecord* again = nullptr;
  KXgetenvex(name.c_str(), &again, 2);
  EXPECT_EQ(tail.CountNew(HitLine(name)), 1);
  EXPECT_EQ(again, level2);
}

// Starts the watcher with a get, or wakes it with a set once it waits, and
// ends the process at once.
KX_ROLE(wake_watcher_and_exit) {
  kxtest::ExitAfter(10s, 3);  // an ending stuck in a sanitizer's report
  const std::string& name = args.at(0);
  if (args.at(1) == "set") {
    TraceTail tail;
    if (!GetUntilHit([&] { KXgetenv(name.c_str()); }, name, tail, kWarmLimit)) {
      return 1;
    }
    return KXsetenv(name.c_str(), "changed") == 0 ? 0 : 2;
  }
  KXgetenv(name.c_str());
  return 0;
}

// The library does not wait for its watcher when the process ends: the
// watcher must stay clear of whatever the ending process has torn down.
TEST(StoreMonitor, AProcessMayEndWhileItsWatcherStartsOrRearms) {
  TraceFile trace;  // the role looks for hits
  ASSERT_EQ(KXsetenv("KXT_MON_EXIT", "1"), 0);
  // A sanitized process ending with a thread still running takes a second.
  const int processes = kxtest::kSanitized ? 8 : 30;
  for (int i = 0; i < processes; ++i) {
    const char* how = i % 2 ? "set" : "get";
    kxtest::Child child("wake_watcher_and_exit", {"KXT_MON_EXIT", how});
    ASSERT_EQ(child.Wait(), 0) << "process " << i << " (" << how << ")";
  }
}

// ---- Coherence across processes

// Sets the variable to Value(0), Value(1), ..., telling each value once set
// and going on when told "next".
KX_ROLE(lockstep_setter) {
  const std::string& name = args.at(0);
  int rounds = std::stoi(args.at(1));
  for (int round = 0; round < rounds; ++round) {
    if (KXsetenv(name.c_str(), Value(round).c_str()) != 0) return 1;
    Say(Value(round));
    if (kxtest::Hear() != "next") return 2;
  }
  return 0;
}

TEST(CacheCoherence, AGetAfterAnotherProcessSetNeverReturnsTheOldValue) {
  TraceFile trace;
  TraceTail tail(trace.path());
  const std::string name = "KXT_COH_LOCKSTEP";
  ASSERT_EQ(KXsetenv(name.c_str(), "start"), 0);
  TalkingChild setter("lockstep_setter", {name, std::to_string(kRounds)});
  StaleReads stale;
  int cold = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string told = setter.ReadLine();
    ASSERT_EQ(told, Value(round));
    stale.Check(round, told, Str(KXgetenv(name.c_str())));
    // The cache is warm with the new value before the next set.
    bool warm = GetUntilHit(
        [&] { stale.Check(round, told, Str(KXgetenv(name.c_str()))); }, name,
        tail, kWarmLimit);
    cold += !warm;
    ASSERT_TRUE(setter.Tell("next"));
  }
  EXPECT_EQ(stale.count(), 0);
  EXPECT_EQ(cold, 0);
  EXPECT_EQ(setter.Wait(), 0);
}

// Waits until the signal variable reads Value(round), then tells what the
// value variable reads, for rounds 0, 1, ...
KX_ROLE(signal_getter) {
  const std::string& value = args.at(0);
  const std::string& signal = args.at(1);
  int rounds = std::stoi(args.at(2));
  for (int round = 0; round < rounds; ++round) {
    if (!kxtest::WaitUntil(
            [&] { return Str(KXgetenv(signal.c_str())) == Value(round); },
            kWarmLimit)) {
      Say("no signal in round " + std::to_string(round));
      return 1;
    }
    Say(Str(KXgetenv(value.c_str())));
  }
  return 0;
}

TEST(CacheCoherence, AVariableSetAfterAnotherIsNeverSeenBeforeIt) {
  const std::string value = "KXT_COH_VALUE";
  const std::string signal = "KXT_COH_SIGNAL";
  ASSERT_EQ(KXsetenv(value.c_str(), "none"), 0);
  ASSERT_EQ(KXsetenv(signal.c_str(), "none"), 0);
  kxtest::Child getter("signal_getter",
                       {value, signal, std::to_string(kRounds)});
  StaleReads stale;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(KXsetenv(value.c_str(), Value(round).c_str()), 0);
    ASSERT_EQ(KXsetenv(signal.c_str(), Value(round).c_str()), 0);
    stale.Check(round, Value(round), getter.ReadLine());
  }
  EXPECT_EQ(stale.count(), 0);
  EXPECT_EQ(getter.Wait(), 0);
}

// On "warm": gets until a get is answered from the cache and tells the
// value and whether every get gave the same record. On "get": tells what a
// get returns.
KX_ROLE(warm_getter) {
  const std::string& name = args.at(0);
  TraceTail tail;
  for (std::string line; !(line = kxtest::Hear()).empty();) {
    if (line == "get") {
      Say(Str(KXgetenv(name.c_str())));
      continue;
    }
    char* first = KXgetenv(name.c_str());
    bool same = true;
    bool hit =
        GetUntilHit([&] { same = KXgetenv(name.c_str()) == first && same; },
                    name, tail, kWarmLimit);
    Say(Str(first) + (hit ? " hit" : " missed") + (same ? " same" : " moved"));
  }
  return 0;
}

KX_ROLE(set_once) {
  return KXsetenv(args.at(0).c_str(), args.at(1).c_str()) == 0 ? 0 : 1;
}

TEST(CacheCoherence, ASetFromAThirdProcessReplacesARecordThatTheGetterHits) {
  TraceFile trace;
  const std::string name = "KXT_COH_THIRD";
  ASSERT_EQ(KXsetenv(name.c_str(), Value(0).c_str()), 0);
  TalkingChild getter("warm_getter", {name});
  const int rounds = kxtest::kSanitized ? 8 : 20;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(getter.Tell("warm"));
    ASSERT_EQ(getter.ReadLine(), Value(round) + " hit same");
    kxtest::Child setter("set_once", {name, Value(round + 1)});
    ASSERT_EQ(setter.Wait(), 0);
    ASSERT_TRUE(getter.Tell("get"));
    EXPECT_EQ(getter.ReadLine(), Value(round + 1));
  }
  EXPECT_EQ(getter.Wait(), 0);
}

// Sets the variable to 1, 2, ..., count as fast as it can, telling each
// number once its set has returned.
KX_ROLE(counting_setter) {
  const std::string& name = args.at(0);
  int count = std::stoi(args.at(1));
  for (int number = 1; number <= count; ++number) {
    if (KXsetenv(name.c_str(), std::to_string(number).c_str()) != 0) return 1;
    Say(std::to_string(number));
  }
  return 0;
}

// The setter does not wait for the getters here: the gets of three threads
// overlap its sets all the time, and each checks that it never returns a
// number older than the last one the setter had reported done when the get
// began.
TEST(CacheCoherence, GetsOverlappingSetsNeverServeAValueOlderThanTheLastSet) {
  const std::string name = "KXT_COH_RACE";
  ASSERT_EQ(KXsetenv(name.c_str(), "0"), 0);
  std::atomic<int> done{0};  // the last number whose set has returned
  std::atomic<int> stale{0};
  auto check = [&] {
    int before = done.load();
    const char* value = KXgetenv(name.c_str());
    int got = value ? std::atoi(value) : -1;
    if (got < before && ++stale <= 5) {
      ADD_FAILURE() << "set " << before << " had returned; a get gave " << got;
    }
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) check();
    });
  }
  const int count = 3 * kRounds;
  kxtest::Child setter("counting_setter", {name, std::to_string(count)});
  for (int round = 1; round <= count; ++round) {
    done = std::atoi(setter.ReadLine().c_str());
    check();
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(stale.load(), 0);
  EXPECT_EQ(setter.Wait(), 0);
  EXPECT_EQ(Str(KXgetenv(name.c_str())), std::to_string(count));
}

// ---- After detach

// Warms the cache, detaches, then reads the variable on each "get".
KX_ROLE(detach_then_read) {
  const std::string& name = args.at(0);
  TraceTail tail;
  if (!GetUntilHit([&] { KXgetenv(name.c_str()); }, name, tail, kWarmLimit)) {
    return 1;
  }
  SetTraceStringA("KXTEST", "detaching\n");
  KxenvProcessDetach();
  if (!kxtest::WaitUntil(
          [&] {
            return tail.CountNew("WatchTabForChangeThread: exiting...") > 0;
          },
          kWarmLimit)) {
    return 2;
  }
  SetTraceStringA("KXTEST", "watcher gone\n");
  Say("detached");
  for (std::string line; (line = kxtest::Hear()) == "get";) {
    for (int i = 0; i < 20; ++i) KXgetenv(name.c_str());
    Say(Str(KXgetenv(name.c_str())));
  }
  return 0;
}

TEST(StoreMonitor, AfterDetachTheWatcherEndsNoneStartsAndGetsReadTheStore) {
  TraceFile trace;
  const std::string name = "KXT_MON_DETACH";
  ASSERT_EQ(KXsetenv(name.c_str(), "before"), 0);
  TalkingChild child("detach_then_read", {name});
  ASSERT_EQ(child.ReadLine(), "detached");
  for (const char* value : {"after", "later"}) {
    ASSERT_EQ(KXsetenv(name.c_str(), value), 0);
    ASSERT_TRUE(child.Tell("get"));
    EXPECT_EQ(child.ReadLine(), value);
  }
  pid_t pid = child.pid();
  ASSERT_EQ(child.Wait(), 0);

  // The child's lines in three stretches: before detach, until the watcher
  // has gone, after.
  int stretch = 0;
  int started[3] = {}, exiting[3] = {}, hits[3] = {}, reads[3] = {};
  for (const auto& line : trace.Lines()) {
    if (line.pid != pid) continue;
    if (line.component == "KXTEST") {
      ++stretch;
      continue;
    }
    auto has = [&](const char* part) {
      return line.text.find(part) != std::string::npos;
    };
    started[stretch] += has("WatchTabForChangeThread: started");
    exiting[stretch] += has("WatchTabForChangeThread: exiting...");
    hits[stretch] += has("GetCachedValue");
    reads[stretch] += has("GetValue KXT_MON_DETACH: returned");
  }
  ASSERT_EQ(stretch, 2);
  EXPECT_EQ(started[0], 1);
  EXPECT_EQ(exiting[0], 0);
  EXPECT_GT(hits[0], 0);
  EXPECT_EQ(exiting[1], 1);
  EXPECT_EQ(started[1] + started[2], 0);
  EXPECT_EQ(exiting[2], 0);
  EXPECT_EQ(hits[2], 0);
  EXPECT_EQ(reads[2], 42);  // every get after detach reads the store
}
