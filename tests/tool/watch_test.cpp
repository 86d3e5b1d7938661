// kxenv watch across processes: a watching run reports the changes that
// other runs make, one line (or JSON document) each, and SIGINT or SIGTERM
// ends it with status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "tool_runner.h"

namespace {

using namespace std::chrono_literals;
using kxtest::RunTool;
using kxtest::Tool;
using Json = nlohmann::json;

constexpr auto kLimit = 20s;

void Set(const std::string& name, const std::string& value) {
  ASSERT_EQ(RunTool({"set", name, value}).status, 0);
}

// Waits for the line on standard error that says the watch is armed.
void AwaitArmed(Tool& watch) {
  std::optional<std::string> line = watch.ErrLine(kLimit);
  ASSERT_TRUE(line);
  ASSERT_EQ(line->rfind("kxenv: watching ", 0), 0u) << *line;
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
  Tool watch({"watch", "KXT_WATCHED"});
  AwaitArmed(watch);
  for (const char* value : {"first", "second", "second"}) {
    Set("KXT_WATCHED", value);
    EXPECT_EQ(watch.OutLine(kLimit), std::string("KXT_WATCHED=") + value);
  }
  ASSERT_EQ(RunTool({"del", "KXT_WATCHED"}).status, 0);
  EXPECT_EQ(watch.OutLine(kLimit), "KXT_WATCHED deleted");
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(), 0);
}

TEST(ToolWatch, AWatchedVariableThatIsDeletedAndSetAgainIsReportedBothTimes) {
  Set("KXT_WATCHED_GONE", "start");
  Tool watch({"watch", "--json", "KXT_WATCHED_GONE"});
  AwaitArmed(watch);
  ASSERT_EQ(RunTool({"del", "KXT_WATCHED_GONE"}).status, 0);
  std::optional<std::string> gone = watch.OutLine(kLimit);
  ASSERT_TRUE(gone);
  EXPECT_EQ(Json::parse(*gone), Json::parse(R"({"class":"ENV",
      "name":"KXT_WATCHED_GONE","value":null,"deleted":true})"));
  Set("KXT_WATCHED_OTHER", "not it");
  Set("KXT_WATCHED_GONE", "back");
  std::optional<std::string> back = watch.OutLine(kLimit);
  ASSERT_TRUE(back);
  EXPECT_EQ(Json::parse(*back)["value"], "back");
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0);
}

TEST(ToolWatch, AClassWatchNamesWhatChangedAsJsonUntilSigterm) {
  Set("KXT_CLASS_FIRST", "1");
  Tool watch({"watch", "--json"});
  AwaitArmed(watch);
  Set("KXT_CLASS_SECOND", "2");
  std::optional<std::string> line = watch.OutLine(kLimit);
  ASSERT_TRUE(line);
  EXPECT_EQ(Json::parse(*line), Json::parse(R"({"class":"ENV","changes":[
      {"name":"KXT_CLASS_SECOND","change":"new","value":"2"}]})"));
  ASSERT_EQ(RunTool({"del", "KXT_CLASS_FIRST"}).status, 0);
  line = watch.OutLine(kLimit);
  ASSERT_TRUE(line);
  EXPECT_EQ(Json::parse(*line)["changes"][0]["change"], "deleted");
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0);
}
