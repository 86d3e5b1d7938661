// The library's trace lines: what a get and a set write, the one-time
// initialisation, and the verbose lines of the Memory lock that KXENV_LOUD
// switches on. The switch is read once per process, so the tests that
// depend on it run their calls in helper processes.
#include <cstdio>
#include <regex>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

// The texts of the library's lines written by one process.
std::vector<std::string> Texts(TraceFile& trace, pid_t pid = getpid()) {
  std::vector<std::string> texts;
  for (const auto& line : trace.Lines()) {
    if (line.pid == pid && line.component == "KXENV2")
      texts.push_back(line.text);
  }
  return texts;
}

std::string Hex32(const void* pointer) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

// A helper process of the role, with KXENV_LOUD set to `loud` or unset.
Child Started(const char* role, const char* loud) {
  ScopedEnv switch_("KXENV_LOUD", loud);
  return Child(role);
}

// Four threads make their first call at the same moment, then more calls;
// one of the first calls is a release.
KX_ROLE(threads_at_once) {
  StartLine start(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&start, i] {
      start.arrive_and_wait();
      int stray = 0;
      if (i == 0) KXfreemem(&stray);
      std::string name = "KXT_TR_QUIET" + std::to_string(i);
      for (int round = 0; round < 10; ++round) {
        KXsetenv(name.c_str(), std::to_string(round).c_str());
        VariableRecord* record = nullptr;
        KXgetenvex(name.c_str(), &record, 5);
        KXgetlocal(name.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return 0;
}

// The switch is read at the first call only.
KX_ROLE(loud_too_late) {
  KXgetenv("KXT_TR_QUIET0");
  setenv("KXENV_LOUD", "1", 1);
  for (int i = 0; i < 4; ++i)
    KXsetenv(("KXT_TR_QUIET" + std::to_string(i)).c_str(), "q");
  for (int i = 0; i < 4; ++i)
    KXgetlocal(("KXT_TR_QUIET" + std::to_string(i)).c_str());
  return 0;
}

// Every exported call between a begin and an end line of its own.
KX_ROLE(loud_calls) {
  VariableRecord* record = nullptr;
  int stray = 0;
  const std::function<void()> calls[] = {
      [] { KXsetenv("KXT_TR_LOUD", "v"); },
      [] { KXgetenv("KXT_TR_LOUD"); },
      [] { KXgetenv("KXT_TR_LOUD"); },
      [&] { KXgetenvex("KXT_TR_LOUD", &record, 5); },
      [&] { KXfreemem(record ? record->name : nullptr); },
      [&] { KXfreemem(&stray); },
      [] { KXgetlocal("KXT_TR_LOUD"); },
      [] { KXgetglobal("KXT_TR_LOUD_NONE"); },
      [] { KXgetopt("KXT_TR_LOUD"); },
      [&] { KXgetappex("KXT_TR_LOUD_APP", &record, 1); },
      [&] { KXgetenvex("KXT_TR_LOUD", &record, 7); },
      [] { KXsetglobal("KXT_TR_LOUD", "g"); }};
  for (size_t i = 0; i < std::size(calls); ++i) {
    SetTraceStringA("KXTEST", "begin call %zu\n", i);
    calls[i]();
    SetTraceStringA("KXTEST", "end\n");
  }
  return 0;
}

}  // namespace

TEST(KxenvTrace, AGetWritesItsValueAndTheRecordItCachedAndASetTheTime) {
  TraceFile trace;
  ASSERT_TRUE(WriteKey(EnvKey("KXT_TR_GET"), {Text("Local", "traced value")}));
  VariableRecord* record = nullptr;
  ASSERT_EQ(Str(KXgetenvex("kxt_tr_get", &record, 1)), "traced value");
  EXPECT_EQ(trace.Count("GetValue kxt_tr_get: returned (traced value)."), 1);
  EXPECT_EQ(
      trace.Count("GetIdxValue KXT_TR_GET: cached " + Hex32(record) + "."), 1);
  EXPECT_EQ(KXgetenvex("KXT_TR_NONE", &record, 2), nullptr);
  EXPECT_EQ(trace.Count("GetValue KXT_TR_NONE: returned (NULL)."), 1);
  EXPECT_EQ(
      trace.Count("GetIdxValue KXT_TR_NONE: cached " + Hex32(record) + "."), 1);

  // A set writes the name as passed and the time of day.
  ASSERT_EQ(KXsetenv("kxt_tr_set", "v"), 0);
  ASSERT_EQ(KXsetglobal("KXT_TR_SET", "g"), 0);
  std::regex line(
      R"(SetRegValue: (\w+) changed at ([01]\d|2[0-3]):[0-5]\d:[0-6]\d\.\d{1,3}\.)");
  std::vector<std::string> names;
  for (const auto& text : Texts(trace)) {
    std::smatch match;
    if (std::regex_match(text, match, line)) names.push_back(match[1]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"kxt_tr_set", "KXT_TR_SET"}));
}

TEST(KxenvTrace, QuietProcessesWriteNoLockLinesAndInitializeOnce) {
  TraceFile trace;
  // Several processes, as a second initialisation shows only when threads
  // meet in the first.
  std::vector<Child> children;
  for (const char* role :
       {"threads_at_once", "threads_at_once", "threads_at_once",
        "threads_at_once", "threads_at_once", "loud_too_late"})
    children.push_back(Started(role, nullptr));
  for (Child* child = children.data(); child != children.data() + 6; ++child) {
    pid_t pid = child->pid();
    ASSERT_EQ(child->Wait(), 0);
    SCOPED_TRACE("process " + std::to_string(pid));
    EXPECT_EQ(trace.Count("Initialize: enter", pid), 1);
    EXPECT_EQ(trace.Count("Initialize: exit.", pid), 1);
    // Four names: each first get reads the store; later ones may be answered
    // from the cache once the watcher waits.
    int reads = trace.Count("GetValue KXT_TR_QUIET", pid);
    EXPECT_GE(reads, 4);
    EXPECT_LE(reads, 80);
    for (const char* verbose :
         {"EnterMyCriticalSection", "LeaveMyCriticalSection", "GetVarMemory",
          "KXfreememEx"}) {
      EXPECT_EQ(trace.Count(verbose, pid), 0) << verbose;
    }
  }
}

// Threads of a loud process that call at once find the lock free or held
// by themselves only.
TEST(KxenvTrace, LoudProcessesTraceTheMemoryLockAndItsCountComesBack) {
  TraceFile trace;
  Child child = Started("loud_calls", "0");  // present, whatever value
  Child threads = Started("threads_at_once", "1");
  pid_t pid = child.pid(), threaded_pid = threads.pid();
  ASSERT_EQ(child.Wait(), 0);
  ASSERT_EQ(threads.Wait(), 0);
  std::regex counted(
      R"(EnterMyCriticalSection: entered Memory \(count=([1-4])\)\.)");
  int threaded = 0, counts = 0;
  for (const auto& text : Texts(trace, threaded_pid)) {
    threaded += text.starts_with("EnterMyCriticalSection: entered");
    counts += std::regex_match(text, counted);
  }
  EXPECT_GT(threaded, 0);
  EXPECT_EQ(counts, threaded);

  std::regex entered(
      R"(EnterMyCriticalSection: entered Memory \(count=(-?\d+)\)\.)");
  std::regex left(R"(LeaveMyCriticalSection: left \(count=(-?\d+)\)\.)");
  std::string call;
  std::string caller;  // the calling thread; the watcher thread has its own
  int count = 0, at_begin = 0, entries = 0, enterings = 0, calls = 0;
  for (const auto& line : trace.Lines()) {
    if (line.pid != pid) continue;
    if (line.component == "KXTEST") caller = line.thread;
    if (line.thread != caller) continue;
    if (line.component == "KXTEST") {
      if (line.text.starts_with("begin ")) {
        call = line.text.substr(6);
        at_begin = count;
        entries = enterings = 0;
      } else {
        SCOPED_TRACE(call);
        EXPECT_EQ(count, at_begin);
        EXPECT_GT(entries, 0);
        EXPECT_EQ(enterings, entries);
        ++calls;
      }
      continue;
    }
    SCOPED_TRACE(call + ": " + line.text);
    std::smatch match;
    if (line.text.starts_with("EnterMyCriticalSection: entering Memory...")) {
      ++enterings;
    } else if (std::regex_match(line.text, match, entered)) {
      EXPECT_EQ(std::stoi(match[1]), count + 1);
      count = std::stoi(match[1]);
      ++entries;
    } else if (std::regex_match(line.text, match, left)) {
      EXPECT_EQ(std::stoi(match[1]), count - 1);
      count = std::stoi(match[1]);
    }
  }
  EXPECT_EQ(calls, 12);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(trace.Count("Initialize: enter", pid), 1);
  EXPECT_GT(trace.Count("GetVarMemory: memory acquired at ", pid), 0);
  // Releases, the cache's own included; only the stray pointer fails.
  int releases = trace.Count("KXfreememEx: enter - input=0x", pid);
  int released = trace.Count("KXfreememEx: exited successfully.", pid);
  EXPECT_GE(released, 1);
  EXPECT_EQ(releases - released, 1);
}
