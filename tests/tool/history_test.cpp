// kxenv history, blame and revert end to end; on Windows, which keeps no
// history, the tool says so.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pwd.h>
#endif

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kxenv_test_util.h"
#include "tool_runner.h"

using namespace kxtest;

#ifdef _WIN32
TEST(ToolHistory, WindowsSaysItKeepsNone) {
  for (const char* command : {"history", "blame"}) {
    Ran ran = RunTool({command});
    ExpectFailure(ran, 1);
    EXPECT_TRUE(Has(ran.err, "this store keeps no history")) << command;
  }
}
#else
namespace {

using Json = nlohmann::json;

// The entries `history` prints as JSON, newest first.
std::vector<Json> History(std::vector<std::string> args) {
  args.insert(args.begin(), {"history", "--json"});
  std::vector<Json> entries;
  for (const std::string& line : SplitLines(Out(args)))
    entries.push_back(Json::parse(line));
  return entries;
}

std::string Id(const Json& entry) {
  return std::to_string(entry["id"].get<long>());
}

}  // namespace

TEST(ToolHistory, ListsEachChangeWithItsFieldsAndFilters) {
  Out({"set", "KXT_H", "one"});
  Out({"set", "--global", "kxt_h", "two"});
  Out({"set", "--opt", "KXT_H", "opt"});
  Out({"set", "KXT_OTHER", "x"});
  std::vector<Json> all = History({"KXT_H"});
  ASSERT_EQ(all.size(), 3u);
  const Json& global = all[1];
  for (const char* field : {"time", "uid", "pid", "machine"}) {
    EXPECT_TRUE(global.contains(field)) << field;
  }
  EXPECT_EQ(global["program"], "kxenv");
  EXPECT_EQ(global["user"], getpwuid(geteuid())->pw_name);
  EXPECT_EQ(global["class"], "ENV");
  EXPECT_EQ(global["name"], "KXT_H");
  EXPECT_EQ(global["value_name"], "Global");
  EXPECT_EQ(global["old"], nullptr);
  EXPECT_EQ(global["new"], Json({{"type", "REG_SZ"}, {"value", "two"}}));
  EXPECT_EQ(global["source"], "local");
  EXPECT_EQ(global["fleet"], nullptr);
  struct Row {
    std::vector<std::string> args;
    size_t entries;
  };
  for (const Row& row :
       {Row{{"KXT_H", "--class", "opt"}, 1}, Row{{"--class", "ENV"}, 3},
        Row{{"--limit", "2"}, 2}, Row{{"--user", "nobody"}, 0},
        Row{{"--since", "1h"}, 4}, Row{{"--until", "2000-01-01"}, 0},
        Row{{"KXT_NONE"}, 0}}) {
    EXPECT_EQ(History(row.args).size(), row.entries)
        << testing::PrintToString(row.args);
  }
  EXPECT_TRUE(Has(Out({"blame", "--class", "OPT"}),
                  "OPT KXT_H Local=opt  " + Id(History({"KXT_H"})[0]) + " "));
  Ran bad = RunTool({"history", "--since", "yesterday-ish"});
  ExpectFailure(bad, 2);
  EXPECT_TRUE(Has(bad.err, "a time such as 2026-05-01"));
}

TEST(ToolHistory, RevertPutsValuesBackAsAJournalledSet) {
  const std::string global = MakeTempDir("global");
  WriteFile(global + "/kxenv.tab",
            "\"APP\" \"KXTAPP\" \"%s<13>\"\n"
            "\"ENV\" \"KXT_R\" \"KXTAPP\" \"%s<4>\" \"260\" \"STRING\" \"\" "
            "\"\" \"d\"\n");
  WriteFile(global + "/kxenv.ctl",
            "EnabledForProcessing=yes\nCopyGroup=KXTAPP\n");
  Out({"load-table", global + "/kxenv.ctl"}, {"KXIGLBL0000=" + global});
  Out({"set", "KXT_R", "first"});
  std::string first = Id(History({"KXT_R"})[0]);
  Out({"set", "KXT_R", "second"});
  Out({"set", "--global", "KXT_R", "g"});
  Out({"del", "KXT_R"});
  // Back to the load's first entry is back to the whole load.
  std::string load = Id(History({"KXT_R", "--class", "ENV"}).back());
  EXPECT_TRUE(Has(Out({"revert", "KXT_R", "--to", load, "--dry-run"}),
                  "ENV KXT_R Sensitive (none) -> 0\n"));
  EXPECT_EQ(Out({"revert", "KXT_R", "--to", first, "--dry-run"}),
            "ENV KXT_R App (none) -> \"KXTAPP\"\n"
            "ENV KXT_R Choices (none) -> []\n"
            "ENV KXT_R ChoiceType (none) -> \"\"\n"
            "ENV KXT_R DataType (none) -> \"STRING\"\n"
            "ENV KXT_R Default (none) -> \"d\"\n"
            "ENV KXT_R Description (none) -> 4\n"
            "ENV KXT_R Local (none) -> \"first\"\n"
            "ENV KXT_R MaxSize (none) -> 260\n"
            "ENV KXT_R ReadOnly (none) -> 0\n"
            "ENV KXT_R Sensitive (none) -> 0\n"
            "APP KXTAPP\\ENV KXT_R (none) -> \"\"\n");
  EXPECT_EQ(RunTool({"get", "KXT_R"}).status, 1);  // a dry run changes nothing
  Out({"revert", "KXT_R", "--to", first});
  EXPECT_EQ(Out({"get", "KXT_R"}), "first\n");
  EXPECT_EQ(Out({"list", "--app", "KXTAPP"}), "KXT_R=first\n");
  std::vector<Json> after = History({"KXT_R", "--limit", "1"});
  EXPECT_EQ(after[0]["program"], "kxenv");
  EXPECT_GT(after[0]["id"].get<long>(), std::stol(first));
  Ran again = RunTool({"revert", "KXT_R", "--to", first});
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(Has(again.err, "nothing to put back"));
  // Back to before the variable was: its key and its membership go.
  Out({"revert", "KXT_R", "--to", "0"});
  EXPECT_EQ(RunTool({"show", "KXT_R"}).status, 1);
  EXPECT_EQ(Out({"list", "--app", "KXTAPP"}), "");
}

TEST(ToolHistory, ReadersReadTheJournalButNeverWriteIt) {
  Out({"set", "KXT_READER", "one"});
  StoreForReadersOnly();
  const std::string before = Out({"history"});
  struct Row {
    std::vector<std::string> args;
    std::string said;
  };
  const std::string refused = "is read-only to this user";
  for (const Row& row :
       {Row{{"history"}, before}, Row{{"history", "--keep", "1"}, refused},
        Row{{"set", "KXT_READER", "two"}, refused},
        Row{{"revert", "KXT_READER", "--to", "0"}, refused}}) {
    std::vector<std::string> args = {"nobody"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    Child reader("tool", args);
    std::string said = reader.ReadLines();
    reader.Wait();
    EXPECT_TRUE(Has(said, row.said)) << testing::PrintToString(row.args);
  }
  EXPECT_EQ(Out({"history"}), before);
}
#endif
