// The kxenv tool end to end: the built program run as a child process on
// the test's own store. Values set by one run are read by the next; exit
// statuses are 0 (done), 1 (failed) and 2 (usage); --json parses.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/file.h>
#endif

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kxenv_test_util.h"
#include "tool_runner.h"

namespace {

using namespace kxtest;
using Json = nlohmann::json;

Json JsonOut(const std::vector<std::string>& args,
             const std::vector<std::string>& env = {}) {
  return Json::parse(Out(args, env));
}

// One run and what it must give: status 0 and exactly `said` on standard
// output, or another status, nothing on standard output and `said` within
// a "kxenv: " line on standard error.
struct Step {
  std::vector<std::string> args;
  int status;
  std::string said;
};

void Steps(const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::PrintToString(step.args));
    Ran ran = RunTool(step.args);
    if (step.status == 0) {
      EXPECT_EQ(ran.status, 0) << ran.err;
      EXPECT_EQ(ran.out, step.said);
    } else {
      ExpectFailure(ran, step.status);
      EXPECT_TRUE(Has(ran.err, step.said));
    }
  }
}

std::vector<std::string> Names(const Json& list) {
  std::vector<std::string> names;
  for (const Json& entry : list) names.push_back(entry["name"]);
  return names;
}

}  // namespace

// ---- Values

TEST(ToolValues, SetGetAndDelActOnTheViewAndClassTheyAreGiven) {
  const std::string v = "KXT_TOOL_VIEWS";
  Steps({{{"set", "kxt_tool_plain", "hello world"}, 0, ""},
         {{"get", "KXT_TOOL_PLAIN"}, 0, "hello world\n"},
         {{"get", "KXT_TOOL_NEVER"},
          1,
          "kxenv: no variable KXT_TOOL_NEVER in the environment class\n"},
         // Local and global are views of one variable; options a class apart.
         {{"set", "--global", v, "g"}, 0, ""},
         {{"get", v}, 0, "g\n"},  // no local value: the global one
         {{"set", "--local", v, "l"}, 0, ""},
         {{"get", v}, 0, "l\n"},
         {{"get", "--global", v}, 0, "g\n"},
         {{"get", "--local", v}, 0, "l\n"},
         {{"get", "--opt", v}, 1, ""},
         {{"set", "--opt", v, "o"}, 0, ""},
         {{"get", "--opt", v}, 0, "o\n"},
         {{"get", v}, 0, "l\n"},
         // A del takes one class's variable; a second one is no failure.
         {{"del", v}, 0, ""},
         {{"get", v}, 1, ""},
         {{"get", "--opt", v}, 0, "o\n"},
         {{"del", v}, 0, ""},
         {{"del", "--opt", v}, 0, ""},
         {{"get", "--opt", v}, 1, ""}});
}

TEST(ToolValues, ANameThatIsNotOneKeyNameIsRefusedAndTouchesNothing) {
  const std::string refused = "a variable name cannot";
  Steps({{{"set", "KXT_TOOL_KEPT", "kept"}, 0, ""},
         {{"del", ""}, 1, refused},
         {{"del", "\\"}, 1, refused},
         {{"del", "--opt", ""}, 1, refused},
         {{"del", "KXT_TOOL_KEPT\\"}, 1, refused},
         {{"set", "", "v"}, 1, refused},
         {{"set", "KXT_TOOL\nBROKEN", "v"}, 1, refused},
         {{"set", "--opt", "\\KXT_TOOL_OPT", "v"}, 1, refused},
         {{"list"}, 0, "KXT_TOOL_KEPT=kept\n"},
         {{"list", "--opt"}, 0, ""}});
}

TEST(ToolValues, OutputThatCannotBeWrittenIsAFailure) {
  // A store of its own, so that no other test's list sees the variable.
  const std::string store = "KX_REGISTRY=" + OwnStore("full");
  EXPECT_EQ(Out({"set", "KXT_TOOL_FULL", "lost"}, {store}), "");
  for (std::vector<std::string> run :
       {std::vector<std::string>{"get", "KXT_TOOL_FULL"}, {"list"}, {"help"}}) {
    SCOPED_TRACE(run[0]);
    run.insert(run.begin(), {"unwritable", store});
    EXPECT_EQ(Child("tool", run).Wait(), 1);
  }
}

#ifndef _WIN32  // kxwin's objects file, and a user who may not write
TEST(ToolValues, AnObjectsFileInUseButDamagedFailsNamingTheFileAndWhy) {
  const std::string dir = MakeTempDir("damaged");
  kxtest::WriteFile(dir + "/objects", "damaged");
  int holder = open((dir + "/objects").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);  // as another process using it
  Ran ran = RunTool({"get", "KXT_TOOL_ANY"}, {"KX_REGISTRY=" + dir});
  close(holder);
  ExpectFailure(ran, 1);
  EXPECT_TRUE(StartsWith(ran.err, "kxenv: cannot use the objects file " + dir +
                                      "/objects: The file or directory is "
                                      "corrupted"));
}

TEST(ToolValues, ADelThatTheStoreRefusesFailsAndSaysWhy) {
  Out({"set", "KXT_TOOL_STAYS", "here"});
  // The store writable by nobody but root; as root, the delete runs as
  // nobody.
  StoreForReadersOnly();
  Child del("tool", {"nobody", "del", "KXT_TOOL_STAYS"});
  const std::string said = del.ReadLine();
  EXPECT_EQ(del.Wait(), 1);
  // A reader is refused before the store is touched, with the reason.
  EXPECT_TRUE(StartsWith(
      said,
      "kxenv: cannot delete KXT_TOOL_STAYS from the environment class: "));
  EXPECT_TRUE(Has(said, "Access is denied"));
  EXPECT_EQ(Out({"get", "KXT_TOOL_STAYS"}), "here\n");
}
#endif

TEST(ToolValues, JsonOfAValueThatIsNotUtf8StillParses) {
  Out({"set", "KXT_TOOL_BYTES",
       "a\xff"
       "b"});
  // U+FFFD for the bad byte.
  EXPECT_EQ(JsonOut({"get", "--json", "KXT_TOOL_BYTES"}),
            Json({{"class", "ENV"},
                  {"name", "KXT_TOOL_BYTES"},
                  {"value",
                   "a\xEF\xBF\xBD"
                   "b"}}));
}

// ---- Usage

TEST(ToolUsage, ACommandLineThatDoesNotParseExitsWithTwo) {
  Steps({{{}, 2, ""},
         {{"frob"}, 2, "kxenv: unknown command: frob\n"},
         {{"get"}, 2, ""},
         {{"set", "X"}, 2, ""},
         {{"get", "X", "extra"}, 2, ""},
         {{"get", "X", "--local", "--global"}, 2, ""},
         {{"set", "X", "v", "--global", "--opt"}, 2, ""},
         {{"get", "--bogus", "X"}, 2, ""},
         {{"list", "--app"}, 2, ""},
         {{"help", "frob"}, 2, ""}});
}

TEST(ToolUsage, HelpListsTheCommandsAndHelpOfACommandShowsItsArguments) {
  std::string help = Out({"--help"});
  for (const char* command :
       {"get", "show", "set", "del", "list", "apps", "del-app", "watch", "save",
        "restore", "load-table", "init-table", "localize", "help"}) {
    EXPECT_TRUE(Has(help, std::string("\n  ") + command + ' '));
  }
  EXPECT_EQ(Out({"help"}), help);
  std::string set = Out({"help", "set"});
  EXPECT_TRUE(Has(set, "kxenv set [OPTIONS] NAME VALUE"));
  EXPECT_TRUE(Has(set, "--global"));
  EXPECT_EQ(Out({"set", "--help"}), set);
}

// ---- Records

static void DefineShown(const std::string& name) {
  ASSERT_TRUE(WriteKey(
      EnvKey(name),
      {Text("Default", "info"), Text("Global", "warning"),
       Text("App", "KXT_TOOL_OWNER"), Number("Description", 4),
       Multi("Choices", {"debug", "info", "warning"}),
       Text("ChoiceType", "list"), Text("DataType", "string"),
       Number("MaxSize", 16), Number("ReadOnly", 1), Number("Sensitive", 0),
       Text("LastUser", "operator"), Number("TimeStamp", 1700000000)}));
}

// The name of the zone TZ=`tz` as the tool's C runtime gives it: Wine's
// keeps two of its three letters (Windows' all).
static std::string Zone(const char* tz) {
#ifdef _WIN32
  setenv("TZ", tz, 1);
  _tzset();
  return _tzname[0];
#else
  return std::string(tz, 3);
#endif
}

TEST(ToolRecords, ShowPrintsEveryFieldWithTheTimeInTheLocalZone) {
  DefineShown("KXT_TOOL_SHOWN");
  VariableRecord* record = nullptr;
  KXgetenvex("KXT_TOOL_SHOWN", &record, KXENV_LEVEL_99);
  ASSERT_TRUE(record && record->description);
  const std::string description = record->description;
  KXfreemem(record);

  std::string shown = Out({"show", "kxt_tool_shown"}, {"TZ=UTC"});
  for (const std::string& line : std::vector<std::string>{
           "name            KXT_TOOL_SHOWN\n", "value           warning\n",
           "default         info\n", "local           (none)\n",
           "application     KXT_TOOL_OWNER\n",
           "description     " + description + "\n",
           "choices         debug\n                info\n"
           "                warning\n",
           "max size        16\n", "read-only       yes\n",
           "sensitive       no\n", "last user       operator\n",
           "time stamp      2023-11-14 22:13:20 " + Zone("UTC") + "\n"}) {
    EXPECT_TRUE(Has(shown, line));
  }
  Json json = JsonOut({"show", "--json", "KXT_TOOL_SHOWN"}, {"TZ=ABC-2"});
  const Json expected = {{"className", "ENV"},
                         {"value", "warning"},
                         {"localValue", nullptr},
                         {"choices", {"debug", "info", "warning"}},
                         {"readOnly", true},
                         {"sensitive", false},
                         {"timeStamp", 1700000000},
                         {"localTime", "2023-11-15 00:13:20 " + Zone("ABC-2")},
                         {"descriptionId", 4},
                         {"description", description}};
  for (const auto& [field, value] : expected.items())
    EXPECT_EQ(json[field], value) << field;
}

TEST(ToolRecords, ShowOfAVariableTheStoreDoesNotHoldFails) {
  Steps({{{"show", "KXT_TOOL_NOT_SHOWN"}, 1, ""},
         {{"show", "--opt", "--json", "KXT_TOOL_NOT_SHOWN"}, 1, ""}});
}

// ---- Lists and applications

TEST(ToolLists, ListGivesTheVariablesOfAClassWithTheirValues) {
  Out({"set", "KXT_TOOL_LIST_A", "1"});
  Out({"set", "KXT_TOOL_LIST_B", "two words"});
  Out({"set", "--opt", "KXT_TOOL_LIST_O", "3"});
  std::string list = Out({"list"});
  EXPECT_TRUE(Has(list, "KXT_TOOL_LIST_A=1\n"));
  EXPECT_TRUE(Has(list, "KXT_TOOL_LIST_B=two words\n"));
  EXPECT_FALSE(Has(list, "KXT_TOOL_LIST_O"));
  EXPECT_EQ(Out({"list", "--opt"}), "KXT_TOOL_LIST_O=3\n");

  Json json = JsonOut({"list", "--json"});
  EXPECT_EQ(json["class"], "ENV");
  EXPECT_EQ(json["app"], nullptr);
  EXPECT_EQ(Names(json["variables"]),
            (std::vector<std::string>{"KXT_TOOL_LIST_A", "KXT_TOOL_LIST_B"}));
  EXPECT_EQ(json["variables"][1]["value"], "two words");
}

TEST(ToolLists, AnApplicationListsItsOwnVariablesAndDelAppTakesThemAlong) {
  const std::string app = "KXT_TOOL_APP";
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\ENV", {Text("KXT_TOOL_OWNED", "")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_TOOL_OWNED"),
                       {Text("Local", "mine"), Text("App", app)}));
  Out({"set", "KXT_TOOL_FREE", "free"});

  EXPECT_EQ(Out({"list", "--app", app}), "KXT_TOOL_OWNED=mine\n");
  Json apps = JsonOut({"apps", "--json"});
  ASSERT_EQ(apps["applications"].size(), 1u);
  EXPECT_EQ(apps["applications"][0]["name"], app);
  EXPECT_TRUE(apps["applications"][0]["description"].is_string());
  EXPECT_TRUE(StartsWith(Out({"apps"}), app + "="));

  EXPECT_EQ(Out({"del-app", app}), "");
  ExpectFailure(RunTool({"get", "KXT_TOOL_OWNED"}), 1);
  EXPECT_EQ(Out({"get", "KXT_TOOL_FREE"}), "free\n");
  EXPECT_EQ(Out({"apps"}), "");
  ExpectFailure(RunTool({"del-app", app}), 1);
}

// ---- Save and restore

TEST(ToolSaveRestore, ASavedVariableComesBackAfterADelete) {
  const std::string file = MakeTempDir("save") + "/store.reg";
  const std::string name = "KXT_TOOL_SAVED";
  Steps({{{"set", name, "kept"}, 0, ""},
         {{"save", file}, 0, ""},
         {{"del", name}, 0, ""},
         {{"restore", file}, 0, ""},
         {{"get", name}, 0, "kept\n"},
         {{"save", file}, 1, file + " exists; --replace"},
         {{"set", name, "newer"}, 0, ""},
         {{"save", "--replace", file}, 0, ""},
         {{"set", name, "newest"}, 0, ""},
         {{"restore", file}, 0, ""},
         {{"get", name}, 0, "newer\n"},
         // Version 5 (UTF-16) as well; the snapshot it is made from goes.
         {{"save", "--format", "5", "--replace", file}, 0, ""},
         {{"set", name, "newest"}, 0, ""},
         {{"restore", file}, 0, ""},
         {{"get", name}, 0, "newer\n"}});
  EXPECT_EQ(ReadFile(file).substr(0, 2), "\xFF\xFE");
  auto dir = std::filesystem::path(file).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

TEST(ToolSaveRestore, AFileThatDoesNotParseRestoresNothingAndSaysWhy) {
  const std::string file = MakeTempDir("bad") + "/bad.reg";
  kxtest::WriteFile(file, "REGEDIT4\n\n\"name\"=\"value before any key\"\n");
  Steps({{{"set", "KXT_TOOL_UNTOUCHED", "as it was"}, 0, ""},
         {{"restore", "--replace", file}, 1, file + ", line 3"},
         {{"get", "KXT_TOOL_UNTOUCHED"}, 0, "as it was\n"},
         {{"restore", file + ".missing"}, 1, file + ".missing"}});
}

TEST(ToolSaveRestore,
     ALineBreakNameIsLeftOutAndAnEmptyFileEmptiesOnlyIfAllowed) {
  const std::string dir = MakeTempDir("keys");
  const std::string file = dir + "/store.reg", empty = dir + "/empty.reg";
  ASSERT_TRUE(WriteKey(EnvKey("KXT_TOOL\nBROKEN"), {Text("Local", "x")}));
  Out({"set", "KXT_TOOL_WHOLE", "kept"});
  Ran saved = RunTool({"save", file});
  EXPECT_EQ(saved.status, 0);
  EXPECT_TRUE(StartsWith(saved.err, "kxenv: warning: " + file +
                                        " was saved without 1 name holding a "
                                        "line break"));
  kxtest::WriteFile(empty, "REGEDIT4\n\n");  // as a save cut short
  Steps({{{"restore", "--replace", empty}, 1, "--allow-empty"},
         {{"get", "KXT_TOOL_WHOLE"}, 0, "kept\n"},
         {{"restore", "--replace", "--allow-empty", empty}, 0, ""},
         {{"get", "KXT_TOOL_WHOLE"}, 1, ""},
         {{"restore", "--replace", file}, 0, ""},
         {{"get", "KXT_TOOL_WHOLE"}, 0, "kept\n"}});
}

// A hand-written JSON file: diff and restore --dry-run print exactly what
// its merge changes and change nothing (status 1); the restore makes the
// store match (status 0); a save in JSON restores what it saved; a file
// that cannot be read is trouble (status 2).
TEST(ToolSaveRestore, DiffSaysExactlyWhatARestoreOfAJsonFileWouldChange) {
  const std::string dir = MakeTempDir("json"), edit = dir + "/edit.json",
                    saved = dir + "/saved.json";
  ASSERT_TRUE(WriteKey(
      EnvKey("KXT_JSON"),
      {Text("Local", "one"), Text("Global", "g"), Number("MaxSize", 7)}));
  std::ofstream(edit) << R"({"key": "HKEY_LOCAL_MACHINE\\Software\\Norvane\\)"
                      << R"(KX-Orrery\\CurrentVersion\\Components\\COM\\ENV",
    "keys": {"ENV": {"keys": {
      "KXT_JSON": {"values": {"local": {"type": "REG_SZ", "data": "two"},
         "Global": null, "MaxSize": {"type": "REG_DWORD", "data": 7}}},
      "KXT_JSON_NEW": {"values": {"Local": {"type": 3, "hex": "00ff"}}}}}}})";
  const std::string changes =
      "- ENV KXT_JSON Global: \"g\"\n"
      "~ ENV KXT_JSON Local: \"one\" -> \"two\"\n"
      "+ ENV KXT_JSON_NEW\n"
      "+ ENV KXT_JSON_NEW Local: REG_BINARY:hex:00ff\n";
  for (const char* command : {"diff", "--dry-run"}) {
    Ran ran = RunTool(*command == 'd' ? std::vector<std::string>{"diff", edit}
                                      : std::vector<std::string>{
                                            "restore", "--dry-run", edit});
    EXPECT_EQ(ran.status, 1) << ran.err;
    EXPECT_EQ(ran.out, changes);
  }
  Json json = Json::parse(RunTool({"diff", "--json", edit}).out);
  EXPECT_EQ(json["changes"][1], Json::parse(R"({"change": "~", "class": "ENV",
      "variable": "KXT_JSON", "name": "Local", "old": {"type": "REG_SZ",
      "data": "one"}, "new": {"type": "REG_SZ", "data": "two"}})"));
  Steps({{{"get", "--global", "KXT_JSON"}, 0, "g\n"},
         {{"restore", edit}, 0, ""},
         {{"diff", edit}, 0, ""},
         {{"get", "KXT_JSON"}, 0, "two\n"},
         {{"save", "--format", "json", saved}, 0, ""},
         {{"del", "KXT_JSON"}, 0, ""},
         {{"restore", saved}, 0, ""},
         {{"diff", "--replace", saved}, 0, ""},
         {{"get", "KXT_JSON"}, 0, "two\n"}});
  kxtest::WriteFile(edit, R"({"key": 4})");
  Steps({{{"diff", edit}, 2, edit + ", at $.key: the full name"}});
}

// One application's file holds its key and its variables' keys only; a
// restore brings them back and leaves the other variables alone.
TEST(ToolSaveRestore, AnApplicationsFileBringsBackItAndItsVariablesOnly) {
  const std::string app = "KXT_SAVED_APP", file = MakeTempDir("app") + "/a.j";
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\ENV", {Text("KXT_OWN_ENV", "")}));
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\OPT", {Text("KXT_OWN_OPT", "")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_OWN_ENV"), {Text("Local", "e")}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_OWN_OPT"), {Text("Local", "o")}));
  Steps({{{"set", "KXT_NOT_OWN", "before"}, 0, ""},
         {{"save", "--app", "kxt_saved_app", "--format", "json", file}, 0, ""},
         {{"del-app", app}, 0, ""},
         {{"set", "KXT_NOT_OWN", "after"}, 0, ""},
         {{"restore", file}, 0, ""},
         {{"get", "KXT_OWN_ENV"}, 0, "e\n"},
         {{"get", "--opt", "KXT_OWN_OPT"}, 0, "o\n"},
         {{"get", "KXT_NOT_OWN"}, 0, "after\n"},
         {{"save", "--app", "KXT_NONE", file + "2"}, 1, "no application"}});
  Json saved = Json::parse(ReadFile(file));
  EXPECT_EQ(saved["keys"]["ENV"]["keys"].size(), 1u);
  EXPECT_EQ(saved["keys"]["APP"]["keys"].size(), 1u);
}
