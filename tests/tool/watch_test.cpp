// kxenv watch across processes: a watching run reports the changes that
// other runs make, one line (or JSON document) each, and SIGINT or SIGTERM
// (on Windows Ctrl-C) ends it with status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tool_runner.h"

namespace {

using kxtest::Child;
using kxtest::RunTool;
using Json = nlohmann::json;

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
