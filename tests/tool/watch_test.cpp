// kxenv watch across processes: a watching run reports the changes that
// other runs make, one line (or JSON document) each, and SIGINT or SIGTERM
// (on Windows Ctrl-C) ends it with status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "kxenv_test_util.h"
#include "tool_runner.h"

namespace {

using kxtest::Child;
using kxtest::RunTool;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// The command of watch --exec: appends "CLASS NAME VALUE" (VALUE "-" when
// there is none) to the file args[0], sleeps args[2] milliseconds, appends
// "done", and exits with the status args[1]. A Ctrl-C is the watch's.
KX_ROLE(ran) {
  std::signal(SIGINT, SIG_IGN);
  std::string line;
  for (const char* name : {"KXENV_CLASS", "KXENV_NAME", "KXENV_VALUE"}) {
    const char* value = std::getenv(name);
    line += (line.empty() ? "" : " ") + std::string(value ? value : "-");
  }
  std::ofstream out(args[0], std::ios::app | std::ios::binary);  // LF lines
  out << line << std::endl;
  std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(args[2])));
  out << "done\n";
  return std::stoi(args[1]);
}

// This test program, for the tool to run in the role "ran".
std::string Self() {
  return std::filesystem::canonical(kxtest::SelfPath()).string();
}

// The lines of `file` once it ends with `last`.
std::vector<std::string> Lines(const std::string& file,
                               const std::string& last) {
  EXPECT_TRUE(kxtest::WaitUntil(
      [&] { return kxtest::ReadFile(file).ends_with(last); }, 20s))
      << kxtest::ReadFile(file);
  return kxtest::SplitLines(kxtest::ReadFile(file));
}

void Set(const std::string& name, const std::string& value) {
  ASSERT_EQ(RunTool({"set", name, value}).status, 0);
}

// A watching run, once it says on standard error that it is armed.
Child Watching(const std::vector<std::string>& args) {
  Child watch("tool", args);
  EXPECT_TRUE(kxtest::StartsWith(watch.ReadLine(), "kxenv: watching "));
  return watch;
}

// A line of the watch without the CR that ends it on Windows.
std::string Line(Child& watch) {
  std::string line = watch.ReadLine();
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

// Ends the watch as its user would; on Windows the role presses Ctrl-C
// at the tool's console.
void Stop(Child& watch, [[maybe_unused]] int signal) {
#ifdef _WIN32
  watch.Tell("stop");
#else
  watch.Kill(signal);
#endif
  EXPECT_EQ(watch.Wait(), 0);
}

}  // namespace

// A variable the store does not hold cannot be watched.
TEST(ToolWatch, AVariablesWatchReportsEachSetByAnotherProcessUntilSigint) {
  Set("KXT_WATCH_SOMETHING", "so the class exists");
  kxtest::Ran ran = RunTool({"watch", "KXT_WATCHED"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.err,
            "kxenv: no variable KXT_WATCHED in the environment class "
            "to watch\n");
  Set("KXT_WATCHED", "start");
  Child watch = Watching({"watch", "KXT_WATCHED"});
  std::vector<const char*> values = {"first", "second"};
#ifndef _WIN32  // Windows' registry ignores a write of the data it holds
  values.push_back("second");
#endif
  for (const char* value : values) {
    Set("KXT_WATCHED", value);
    EXPECT_EQ(Line(watch), std::string("KXT_WATCHED=") + value);
  }
  ASSERT_EQ(RunTool({"del", "KXT_WATCHED"}).status, 0);
  EXPECT_EQ(Line(watch), "KXT_WATCHED deleted");
  Stop(watch, SIGINT);
}

TEST(ToolWatch, AWatchedVariableThatIsDeletedAndSetAgainIsReportedBothTimes) {
  Set("KXT_WATCHED_GONE", "start");
  Child watch = Watching({"watch", "--json", "KXT_WATCHED_GONE"});
  ASSERT_EQ(RunTool({"del", "KXT_WATCHED_GONE"}).status, 0);
  EXPECT_EQ(Json::parse(watch.ReadLine()), Json::parse(R"({"class":"ENV",
      "name":"KXT_WATCHED_GONE","value":null,"deleted":true})"));
  Set("KXT_WATCHED_OTHER", "not it");
  Set("KXT_WATCHED_GONE", "back");
  EXPECT_EQ(Json::parse(watch.ReadLine())["value"], "back");
  Stop(watch, SIGTERM);
}

TEST(ToolWatch, AClassWatchNamesWhatChangedAsJsonUntilSigterm) {
  Set("KXT_CLASS_FIRST", "1");
  Child watch = Watching({"watch", "--json"});
  Set("KXT_CLASS_SECOND", "2");
  EXPECT_EQ(Json::parse(watch.ReadLine()), Json::parse(R"({"class":"ENV",
      "changes":[{"name":"KXT_CLASS_SECOND","change":"new","value":"2"}]})"));
  ASSERT_EQ(RunTool({"del", "KXT_CLASS_FIRST"}).status, 0);
  EXPECT_EQ(Json::parse(watch.ReadLine())["changes"][0]["change"], "deleted");
  Stop(watch, SIGTERM);
}

// Each change runs the command once, never at the start, with the change
// in its environment; its failure is reported and the watch goes on, and
// SIGTERM waits for a command that still runs.
TEST(ToolWatch, ExecRunsTheCommandForEachChangeAndAStopWaitsForIt) {
  const std::string file = kxtest::MakeTempDir("exec") + "/runs";
  auto exec = [&file](const char* name, const char* status, const char* ms) {
    return Watching({"watch", name, "--coalesce", "0", "--exec", Self(),
                     "--kx-role=ran", file, status, ms});
  };
  Set("KXT_EXEC", "start");
  Child watch = exec("KXT_EXEC", "3", "0");
  Set("KXT_EXEC", "a b");
  EXPECT_TRUE(kxtest::Has(Line(watch), " for KXT_EXEC exited with status 3"));
  ASSERT_EQ(RunTool({"del", "KXT_EXEC"}).status, 0);
  EXPECT_TRUE(kxtest::Has(Line(watch), "; the watch goes on"));
  EXPECT_EQ(Lines(file, "done\n"),
            (std::vector<std::string>{"ENV KXT_EXEC a b", "done",
                                      "ENV KXT_EXEC -", "done"}));
  Stop(watch, SIGINT);
  Set("KXT_EXEC_SLOW", "start");
  Child slow = exec("KXT_EXEC_SLOW", "0", "1000");
  Set("KXT_EXEC_SLOW", "x");
  Lines(file, "ENV KXT_EXEC_SLOW x\n");
  Stop(slow, SIGTERM);
  EXPECT_TRUE(kxtest::ReadFile(file).ends_with("x\ndone\n"));
}

TEST(ToolWatch, ExecGathersABurstOfSetsIntoAFewRunsWithTheLastValue) {
  const std::string file = kxtest::MakeTempDir("burst") + "/runs";
  Set("KXT_BURST", "0");
  Child watch = Watching({"watch", "KXT_BURST", "--exec", Self(),
                          "--kx-role=ran", file, "0", "0"});
  for (int i = 1; i <= 100; ++i) {  // each one seen by the watch
    ASSERT_EQ(KXsetenv("KXT_BURST", std::to_string(i).c_str()), 0);
    std::this_thread::sleep_for(5ms);
  }
  std::vector<std::string> lines = Lines(file, "ENV KXT_BURST 100\ndone\n");
  EXPECT_LE(lines.size(), 2u * 20) << kxtest::ReadFile(file);
  Stop(watch, SIGINT);
}
