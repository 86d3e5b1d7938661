// Watches of a variable or a class: a synchronous watch returns once any
// process changes a value under the watched key, or with -1 when the key is
// missing or the library detaches; an asynchronous watch returns once armed,
// so that a change made right after it signals the caller's event, and its
// thread ends with the change.
#include <future>
#include <memory>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

constexpr auto kLimit = 10s;

// Runs a watch on a thread of its own. A watch that never returns is left
// waiting, so that the test fails instead of hanging.
std::future<int> StartWatch(std::function<int()> watch) {
  auto result = std::make_shared<std::promise<int>>();
  std::future<int> future = result->get_future();
  std::thread([watch = std::move(watch), result] {
    result->set_value(watch());
  }).detach();
  return future;
}

bool Returns(std::future<int>& watch, std::chrono::milliseconds limit) {
  return watch.wait_for(limit) == std::future_status::ready;
}

Handle NewEvent() {
  return Handle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

// Counts a process's library lines containing `part` as they come, until
// `expected` have been seen or `limit` has passed.
int AwaitLines(TraceFile& trace, const std::string& part, int expected,
               std::chrono::milliseconds limit = kLimit) {
  int seen = 0;
  WaitUntil([&] { return (seen += trace.CountNew(part)) >= expected; }, limit);
  return seen;
}

// Whether a thread of this process sleeps in the kernel; where that cannot
// be seen (Windows), whether it has had a while to get there.
bool Asleep(DWORD thread) {
  std::string stat =
      ReadFile("/proc/self/task/" + std::to_string(thread) + "/stat");
  return stat == "<missing>" || stat.find(") S ") != std::string::npos;
}

}  // namespace

// Changes a value under the variable's key every few milliseconds, in the
// way `mode` names, until the stop variable is set.
KX_ROLE(keep_changing) {
  const std::string& mode = args.at(0);
  const char* name = args.at(1).c_str();
  for (DWORD round = 0; !KXgetenv(args.at(2).c_str()); ++round) {
    std::string text = "v" + std::to_string(round);
    const char* value = text.c_str();
    int result = mode == "env"      ? KXsetenv(name, value)
                 : mode == "local"  ? KXsetlocal(name, value)
                 : mode == "global" ? KXsetglobal(name, value)
                 : mode == "option" ? KXsetopt(name, value)
                 : WriteKey(EnvKey(name), {Number("TimeStamp", round)}) ? 0
                                                                        : -1;
    if (result != 0) return 2;
    std::this_thread::sleep_for(5ms);
  }
  return 0;
}

// ---- Synchronous watches

// Classes 2 and 3 write Local, class 4 writes Global, and a raw write
// changes only TimeStamp: each is a change of the variable's key. A class
// watch (no name) returns on a change of any variable of its class.
TEST(SyncWatch, ReturnsZeroAfterAnotherProcessChangesAValueUnderTheKey) {
  const struct {
    const char* mode;
    decltype(&KXwatchenv) watch;
    const char* watched;
  } cases[] = {{"env", KXwatchenv, "KXT_WATCH_ENV"},
               {"local", KXwatchenv, "KXT_WATCH_LOCAL"},
               {"global", KXwatchenv, "KXT_WATCH_GLOBAL"},
               {"timestamp", KXwatchenv, "KXT_WATCH_STAMP"},
               {"option", KXwatchopt, nullptr},
               {"env", KXwatchenv, nullptr}};
  ASSERT_EQ(KXsetopt("KXT_WATCH_OPTION", "1"), 0);
  for (const auto& c : cases) {
    std::string changed =
        c.watched ? c.watched : std::string("KXT_WATCH_CLASS_") + c.mode;
    SCOPED_TRACE(changed);
    if (c.watched) {
      ASSERT_EQ(KXsetenv(c.watched, "start"), 0);
    }
    std::future<int> result =
        StartWatch([&c] { return c.watch(c.watched, nullptr, 1); });
    EXPECT_FALSE(Returns(result, 200ms)) << "returned while nothing changed";
    const std::string stop = changed + "_STOP";
    Child changer("keep_changing", {c.mode, changed, stop});
    ASSERT_TRUE(Returns(result, kLimit)) << "did not return";
    EXPECT_EQ(result.get(), 0);
    ASSERT_EQ(KXsetenv(stop.c_str(), "1"), 0);
    EXPECT_EQ(changer.Wait(), 0);
  }
}

// The asynchronous watch of a missing key returns 0; its thread ends with
// -1 and leaves the event alone when the variable is made later.
TEST(SyncWatch, AVariableWithoutAKeyOrWithATooLongNameGivesMinusOneAtOnce) {
  TraceFile trace;
  ASSERT_EQ(KXsetenv("KXT_WATCH_SOME", "1"), 0);  // the class key exists
  const std::string too_long(300, 'N');
  for (auto watch : {KXwatchenv, KXwatchopt}) {
    std::future<int> missing =
        StartWatch([watch] { return watch("KXT_WATCH_NONE", nullptr, 1); });
    ASSERT_TRUE(Returns(missing, kLimit));
    EXPECT_EQ(missing.get(), -1);
    EXPECT_EQ(watch(too_long.c_str(), nullptr, 1), -1);
    EXPECT_EQ(watch(too_long.c_str(), nullptr, 0), -1);
  }
  Handle event = NewEvent();
  ASSERT_EQ(KXwatchenv("KXT_WATCH_NONE", event, 0), 0);
  EXPECT_EQ(AwaitLines(trace, "WatchVarForChangeThread: exiting; rc=-1.", 1),
            1);
  ASSERT_EQ(KXsetenv("KXT_WATCH_NONE", "made later"), 0);
  EXPECT_EQ(WaitForSingleObject(event, 200), WAIT_TIMEOUT);
}

// ---- Asynchronous watches

// Whichever process makes the set (here every fourth, by set_once of
// monitor_test.cpp); every watch thread sees its change and ends.
TEST(AsyncWatch, ReturnsOnlyOnceArmedSoASetRightAfterItSignalsTheEvent) {
  TraceFile trace;
  const char* name = "KXT_AWATCH_ARMED";
  ASSERT_EQ(KXsetenv(name, "start"), 0);
  Handle event = NewEvent();
  const int rounds = kSanitized ? 100 : 300;
  int early = 0, unsignalled = 0;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_EQ(KXwatchenv(name, event, 0), 0);
    early += WaitForSingleObject(event, 0) != WAIT_TIMEOUT;
    std::string value = std::to_string(round);
    if (round % 4 == 0) {
      ASSERT_EQ(Child("set_once", {name, value}).Wait(), 0);
    } else {
      ASSERT_EQ(KXsetenv(name, value.c_str()), 0);
    }
    unsignalled += WaitForSingleObject(event, 5000) != WAIT_OBJECT_0;
  }
  EXPECT_EQ(early, 0);
  EXPECT_EQ(unsignalled, 0);
  EXPECT_EQ(
      AwaitLines(trace, "WatchVarForChangeThread: exiting; rc=0.", rounds),
      rounds);
}

TEST(AsyncWatch, ChangesOutsideTheWatchedKeyLeaveTheEventAlone) {
  const char* name = "KXT_AWATCH_ALONE";
  ASSERT_EQ(KXsetenv(name, "start"), 0);
  ASSERT_EQ(KXsetopt("KXT_AWATCH_OPTION", "start"), 0);
  Handle variable = NewEvent();
  Handle options = NewEvent();
  ASSERT_EQ(KXwatchenv(name, variable, 0), 0);
  ASSERT_EQ(KXwatchopt(nullptr, options, 0), 0);

  ASSERT_EQ(KXsetenv("KXT_AWATCH_ALONE_2", "x"), 0);  // a sibling key
  ASSERT_EQ(KXsetenv("KXT_AWATCH_OTHER_ENV", "x"), 0);
  EXPECT_EQ(WaitForSingleObject(variable, 300), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(options, 0), WAIT_TIMEOUT);

  ASSERT_EQ(KXsetopt(name, "x"), 0);  // same name, the OPT class key
  EXPECT_EQ(WaitForSingleObject(options, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(variable, 300), WAIT_TIMEOUT);
  ASSERT_EQ(KXsetglobal(name, "x"), 0);
  EXPECT_EQ(WaitForSingleObject(variable, 5000), WAIT_OBJECT_0);
}

TEST(AsyncWatch, WithoutAnEventReturnsZeroAndEveryWatchThreadEndsCleanly) {
  TraceFile trace;
  const char* name = "KXT_AWATCH_NO_EVENT";
  ASSERT_EQ(KXsetenv(name, "start"), 0);
  // More watches than kxwin's event table has slots: an event that a watch
  // made and did not close would fill it. Windows has no such table, and
  // under Wine thousands of watch threads outlast the test's time.
#ifdef _WIN32
  const int rounds = 200;
#else
  const int rounds = kSanitized ? 500 : 4200;
#endif
  for (int round = 0; round < rounds; ++round) {
    ASSERT_EQ(KXwatchenv(name, nullptr, 0), 0) << round;
    ASSERT_EQ(KXsetenv(name, std::to_string(round).c_str()), 0);
  }
  EXPECT_EQ(
      AwaitLines(trace, "WatchVarForChangeThread: exiting; rc=0.", rounds, 20s),
      rounds);
  EXPECT_EQ(trace.Count("WatchVarForChangeThread: exiting; rc=-1."), 0);
  Handle event = NewEvent();
  EXPECT_NE(event.get(), nullptr);
}

// ---- Detach

// Arms an asynchronous watch, then waits in a synchronous one while another
// thread detaches the library; tells what became of both. (The caller's
// event of the asynchronous watch may be signalled: its thread closes the
// armed key on the way out.)
KX_ROLE(watch_while_detaching) {
  ExitAfter(30s, 3);
  const std::string& name = args.at(0);
  Handle event = NewEvent();
  if (KXwatchenv(name.c_str(), event, 0) != 0) return 1;
  DWORD waiter = GetCurrentThreadId();
  Say(std::to_string(waiter));
  std::thread detacher([waiter] {
    TraceFile trace(true);
    AwaitLines(trace, "WatchVarForChange: entered (synchronous)", 1);
    // Detach once the waiting thread has slept for a while.
    int asleep = 0;
    WaitUntil(
        [&] {
          asleep = Asleep(waiter) ? asleep + 1 : 0;
          std::this_thread::sleep_for(20ms);
          return asleep >= 10;
        },
        kLimit);
    KxenvProcessDetach();
  });
  TraceFile trace(true);
  int result = KXwatchenv(name.c_str(), nullptr, 1);
  detacher.join();
  Say(std::to_string(result));
  int ended = AwaitLines(trace, "WatchVarForChangeThread: exiting; rc=-1.", 1);
  Say(ended == 1 ? "the asynchronous watch ended" : "it did not end");
  return 0;
}

TEST(WatchDetach, AWaitingSyncWatchReturnsMinusOneAndAnAsyncWatchEnds) {
  TraceFile trace;
  const std::string name = "KXT_WATCH_DETACH";
  ASSERT_EQ(KXsetenv(name.c_str(), "1"), 0);
  Child child("watch_while_detaching", {name});
  const std::string waiter = child.ReadLine();
  EXPECT_EQ(child.ReadLine(), "-1");
  EXPECT_EQ(child.ReadLine(), "the asynchronous watch ended");
  pid_t pid = child.pid();
  ASSERT_EQ(child.Wait(), 0);
  int terminating = 0;
  for (const auto& line : trace.Lines()) {
    terminating +=
        line.pid == pid && line.thread == waiter &&
        line.text ==
            "WatchVarForChangeWait: event signaled; terminating DLL...";
  }
  EXPECT_EQ(terminating, 1);  // the synchronous watch, on the waiting thread
}
