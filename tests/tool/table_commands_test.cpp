// The table commands end to end: load-table, init-table and localize run
// as child processes on a store and a global directory of each test's own
// (KX_REGISTRY and KXIGLBL0000 in the child's environment), with the
// build's catalogs (KX_LOCALE_DIR).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing.h"
#include "tool_runner.h"

namespace {

namespace fs = std::filesystem;
using kxtest::Ran;
using kxtest::RunTool;
using Json = nlohmann::json;

// A table of one application: two environment variables (the second's
// default refers to the first), an option, and a variable that the control
// file leaves out.
constexpr char kSmallTable[] =
    "# a small table\n"
    "\"APP\" \"KXT_TBL_APP\" \"%s<13>\"\n"
    "\"ENV\" \"KXT_TBL_HOST\" \"KXT_TBL_APP\" \"%s<41>\" \"255\" \"STRING\" "
    "\"\" \"\" \"localhost\" \"Y\" \"N\"\n"
    "\"ENV\" \"KXT_TBL_URL\" \"KXT_TBL_APP\" \"%s<57>\" \"255\" \"STRING\" "
    "\"\" \"\" \"http://%KXT_TBL_HOST%/\" \"Y\" \"N\"\n"
    "\"OPT\" \"KXT_TBL_RETRIES\" \"KXT_TBL_APP\" \"%s<82>\" \"3\" \"NUMBER\" "
    "\"RANGE\" \"0-100\" \"5\" \"Y\" \"N\"\n"
    "\"ENV\" \"KXT_TBL_LEFT_OUT\" \"KXT_TBL_APP\" \"%s<77>\" \"8\" \"STRING\" "
    "\"\" \"\" \"x\" \"Y\" \"N\"\n";
constexpr char kSmallControl[] =
    "EnabledForProcessing=yes\n"
    "CopyGroup=KXT_TBL_APP\n"
    "ExcludeVar=KXT_TBL_LEFT_OUT\n";

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string{std::istreambuf_iterator<char>(file),
                     std::istreambuf_iterator<char>()};
}

// A global directory and a store of the test's own, so that the tests
// do not see each other's loads even when they share a process; the tool
// runs with both.
struct Global {
  std::string dir = kxtest::MakeTempDir("global");
  std::string store = kxtest::MakeTempDir("store");

  Ran Run(const std::vector<std::string>& args) const {
    return RunWith(dir, args);
  }
  // With `global` as the value of KXIGLBL0000 instead ("": none).
  Ran RunWith(const std::string& global,
              const std::vector<std::string>& args) const {
    return RunTool(args, {"KX_REGISTRY=" + store, "KXIGLBL0000=" + global,
                          "KX_LOCALE_DIR=" KX_TEST_LOCALE_DIR});
  }
  std::string Out(const std::vector<std::string>& args) const {
    Ran ran = Run(args);
    EXPECT_EQ(ran.status, 0) << ran.err;
    return ran.out;
  }
  std::string Path(const std::string& file) const { return dir + "/" + file; }
  // The sample installation of data/, copied.
  void InstallSample() const {
    for (const char* file : {"kxenv.tab", "kxenv.hdg", "kxenv.ctl",
                             "kxoldglb.ini", "kxoldopt.ini"}) {
      fs::copy_file(std::string(KX_SAMPLE_DATA_DIR) + "/" + file, Path(file));
    }
  }
};

void ExpectFailure(const Ran& ran, int status, const std::string& words) {
  EXPECT_EQ(ran.status, status);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.err.rfind("kxenv: ", 0), 0u) << ran.err;
  EXPECT_NE(ran.err.find(words), std::string::npos) << ran.err;
}

std::vector<std::string> Names(const Json& list) {
  std::vector<std::string> names;
  for (const Json& entry : list) names.push_back(entry["name"]);
  return names;
}

}  // namespace

// ---- load-table

TEST(ToolTable, LoadTableWritesTheDefinitionsTheControlFileSelects) {
  Global global;
  WriteFile(global.Path("kxenv.tab"), kSmallTable);
  WriteFile(global.Path("small.ctl"), kSmallControl);
  EXPECT_EQ(global.Out({"load-table", global.Path("small.ctl")}), "");

  EXPECT_EQ(global.Out({"get", "KXT_TBL_HOST"}), "localhost\n");
  EXPECT_EQ(global.Out({"get", "KXT_TBL_URL"}), "http://localhost/\n");
  EXPECT_EQ(global.Out({"get", "--opt", "KXT_TBL_RETRIES"}), "5\n");
  ExpectFailure(global.Run({"get", "KXT_TBL_LEFT_OUT"}), 1, "no variable");

  Json list =
      Json::parse(global.Out({"list", "--json", "--app", "KXT_TBL_APP"}));
  EXPECT_EQ(Names(list["variables"]),
            (std::vector<std::string>{"KXT_TBL_HOST", "KXT_TBL_URL"}));
  Json apps = Json::parse(global.Out({"apps", "--json"}));
  EXPECT_EQ(Names(apps["applications"]),
            std::vector<std::string>{"KXT_TBL_APP"});
  Json host = Json::parse(global.Out({"show", "--json", "KXT_TBL_HOST"}));
  EXPECT_EQ(host["descriptionId"], 41);
  EXPECT_EQ(host["defaultValue"], "localhost");
  EXPECT_EQ(host["app"], "KXT_TBL_APP");

  // --long adds each description under its variable, and to the JSON.
  std::string description = host["description"];
  ASSERT_FALSE(description.empty());
  EXPECT_NE(global.Out({"list", "--long"})
                .find("KXT_TBL_HOST=localhost\n    " + description + "\n"),
            std::string::npos);
  Json long_list = Json::parse(global.Out({"list", "--long", "--json"}));
  EXPECT_EQ(long_list["variables"][0]["description"], description);
}

TEST(ToolTable, LoadTableCarriesAnEarlierInstallationsValuesOver) {
  Global global;
  global.InstallSample();
  EXPECT_EQ(global.Out({"load-table", global.Path("kxenv.ctl")}), "");

  EXPECT_EQ(global.Out({"get", "KX_MGR_HOST"}), "orrmgr01.example.net\n");
  EXPECT_EQ(global.Out({"get", "KXE_HOST"}), "orrmgr01.example.net\n");
  EXPECT_EQ(global.Out({"get", "--opt", "KXA_HEARTBEAT"}), "120\n");
  EXPECT_EQ(global.Out({"get", "--global", "KX_SERVICE_PASSWORD"}),
            "Orr3ry.Svc-2019\n");
  Json password =
      Json::parse(global.Out({"show", "--json", "KX_SERVICE_PASSWORD"}));
  EXPECT_EQ(password["sensitive"], true);
  for (const char* file : {"kxoldglb.ini", "kxoldopt.ini"}) {
    EXPECT_FALSE(fs::exists(global.Path(file))) << file;
    EXPECT_TRUE(fs::exists(global.Path(file) + ".BAK")) << file;
  }
  Json apps = Json::parse(global.Out({"apps", "--json"}));
  EXPECT_EQ(apps["applications"].size(), 7u);
}

TEST(ToolTable, LoadTableThatCannotStartFailsAndSaysWhy) {
  Global global;
  WriteFile(global.Path("small.ctl"), kSmallControl);
  // No kxenv.tab in the global directory.
  ExpectFailure(global.Run({"load-table", global.Path("small.ctl")}), 1,
                "cannot read " + global.Path("kxenv.tab"));
  WriteFile(global.Path("kxenv.tab"), kSmallTable);
  ExpectFailure(global.Run({"load-table", global.Path("missing.ctl")}), 1,
                "cannot read the control file " + global.Path("missing.ctl"));
  ExpectFailure(global.Run({"load-table", global.dir}), 1,
                "cannot read the control file");
  ExpectFailure(global.RunWith("", {"load-table", global.Path("small.ctl")}), 1,
                "KXIGLBL0000 is not set");
  EXPECT_EQ(global.Out({"apps"}), "");  // nothing was loaded
}

// ---- init-table

TEST(ToolTable, InitTablePutsTheShippedTableBackAndKeepsTheEditedOne) {
  Global global;
  WriteFile(global.Path("kxenv.tab"), "# edited\n");
  WriteFile(global.Path("kxenv.hdg"), "# as shipped\n");
  EXPECT_EQ(global.Out({"init-table"}), "");
  EXPECT_EQ(ReadFile(global.Path("kxenv.tab")), "# as shipped\n");
  EXPECT_EQ(ReadFile(global.Path("kxenv.bak")), "# edited\n");
  EXPECT_EQ(ReadFile(global.Path("kxenv.hdg")), "# as shipped\n");
}

TEST(ToolTable, InitTableWithoutTheShippedTableChangesNothing) {
  Global global;
  WriteFile(global.Path("kxenv.tab"), "# edited\n");
  ExpectFailure(global.Run({"init-table"}), 1,
                "cannot read the shipped table " + global.Path("kxenv.hdg"));
  EXPECT_EQ(ReadFile(global.Path("kxenv.tab")), "# edited\n");
  EXPECT_FALSE(fs::exists(global.Path("kxenv.bak")));
  ExpectFailure(global.RunWith("", {"init-table"}), 1,
                "KXIGLBL0000 is not set");
}

// ---- localize

TEST(ToolTable, LocalizeWritesTheTableWithEveryDescriptionInTheLanguage) {
  Global global;
  global.InstallSample();
  EXPECT_EQ(global.Out({"localize", "de"}), global.Path("kxenvtb.de") + "\n");
  std::string table = ReadFile(global.Path("kxenv.tab"));
  std::string german = ReadFile(global.Path("kxenvtb.de"));
  EXPECT_EQ(german.find("%s<"), std::string::npos);
  EXPECT_EQ(std::count(german.begin(), german.end(), '\n'),
            std::count(table.begin(), table.end(), '\n'));
  EXPECT_NE(german.find("Verzeichnis, in dem das Produkt installiert ist."),
            std::string::npos);

  // A source and a target of one's own; the target is what is printed.
  const std::string target = global.Path("small.en");
  WriteFile(global.Path("small.tab"), kSmallTable);
  EXPECT_EQ(global.Out({"localize", "en", "--source", global.Path("small.tab"),
                        "--target", target}),
            target + "\n");
  std::string english = ReadFile(target);
  EXPECT_EQ(english.find("%s<"), std::string::npos);
  EXPECT_NE(english.find("KXT_TBL_HOST"), std::string::npos);
}

TEST(ToolTable, LocalizeThatCannotStartFailsAndSaysWhy) {
  Global global;
  ExpectFailure(global.Run({"localize", "de"}), 1,
                "cannot read " + global.Path("kxenv.tab"));
  global.InstallSample();
  ExpectFailure(global.Run({"localize", "xx"}), 1, "KXENVRC.xx");
  EXPECT_FALSE(fs::exists(global.Path("kxenvtb.xx")));
  ExpectFailure(global.RunWith("", {"localize", "de"}), 1,
                "KXIGLBL0000 is not set");

  // Writing over the table it reads would empty it.
  const std::string table = ReadFile(global.Path("kxenv.tab"));
  ExpectFailure(
      global.Run({"localize", "de", "--target", global.Path("kxenv.tab")}), 1,
      "the target " + global.Path("kxenv.tab") + " is the table it reads");
  EXPECT_EQ(ReadFile(global.Path("kxenv.tab")), table);
}

// ---- usage

TEST(ToolTable, TableCommandLinesThatDoNotParseExitWithTwo) {
  const std::vector<std::vector<std::string>> lines = {
      {"load-table"},
      {"load-table", "a.ctl", "b.ctl"},
      {"load-table", "--json", "a.ctl"},
      {"init-table", "extra"},
      {"localize", "de", "extra"},
      {"localize", "../de"},
      {"localize", "--target"},
  };
  for (const auto& line : lines) {
    std::string shown;
    for (const auto& word : line) shown += word + ' ';
    SCOPED_TRACE(shown);
    Ran ran = RunTool(line);
    EXPECT_EQ(ran.status, 2);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err.rfind("kxenv: ", 0), 0u) << ran.err;
  }
  Ran help = RunTool({"help", "load-table"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("kxenv load-table [OPTIONS] CONTROL"),
            std::string::npos)
      << help.out;
  EXPECT_NE(RunTool({"help", "localize"}).out.find("--target"),
            std::string::npos);
}
