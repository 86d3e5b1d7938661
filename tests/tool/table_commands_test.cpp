// The table commands end to end: load-table, init-table and localize run
// as child processes on a store and a global directory of each test's own
// (KX_REGISTRY and KXIGLBL0000 in the child's environment), with the
// build's catalogs (KX_LOCALE_DIR).
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "testing.h"
#include "tool_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace kxtest;
using Json = nlohmann::json;

// A table of one application: two environment variables (the second's
// default refers to the first), an option, and a variable that the control
// file leaves out.
constexpr char kSmallTable[] =
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
    "EnabledForProcessing=yes\nCopyGroup=KXT_TBL_APP\n"
    "ExcludeVar=KXT_TBL_LEFT_OUT\n";

// A global directory and a store of the test's own, so that the tests
// do not see each other's loads even when they share a process; the tool
// runs with both, or with the store only.
struct Global {
  std::string dir = MakeTempDir("global");
  std::string store = OwnStore("store");

  Ran Run(const std::vector<std::string>& args, bool global = true) const {
    return RunTool(
        args, {"KX_REGISTRY=" + store, "KXIGLBL0000=" + (global ? dir : ""),
               "KX_LOCALE_DIR=" KX_TEST_LOCALE_DIR});
  }
  std::string Out(const std::vector<std::string>& args) const {
    Ran ran = Run(args);
    EXPECT_EQ(ran.status, 0) << ran.err;
    return ran.out;
  }
  std::string Path(const std::string& file) const { return dir + "/" + file; }
  void Write(const std::string& file, const std::string& content) const {
    WriteFile(Path(file), content);
  }
  std::string Read(const std::string& file) const {
    return ReadFile(Path(file));
  }
};

}  // namespace

TEST(ToolTable, LoadTableWritesTheDefinitionsTheControlFileSelects) {
  Global global;
  global.Write("kxenv.tab", kSmallTable);
  global.Write("small.ctl", kSmallControl);
  EXPECT_EQ(global.Out({"load-table", global.Path("small.ctl")}), "");

  EXPECT_EQ(global.Out({"get", "KXT_TBL_URL"}), "http://localhost/\n");
  EXPECT_EQ(global.Out({"get", "--opt", "KXT_TBL_RETRIES"}), "5\n");
  Json host = Json::parse(global.Out({"show", "--json", "KXT_TBL_HOST"}));
  EXPECT_EQ(host["descriptionId"], 41);
  EXPECT_EQ(global.Run({"get", "KXT_TBL_LEFT_OUT"}).status, 1);

  // --long adds each description under its variable, and to the JSON.
  std::string description = host["description"];
  ASSERT_FALSE(description.empty());
  EXPECT_TRUE(Has(global.Out({"list", "--long"}),
                  "KXT_TBL_HOST=localhost\n    " + description + "\n"));
  Json long_list = Json::parse(global.Out({"list", "--long", "--json"}));
  EXPECT_EQ(long_list["variables"][0]["description"], description);
}

TEST(ToolTable, InitTablePutsTheShippedTableBackAndKeepsTheEditedOne) {
  Global global;
  global.Write("kxenv.tab", "# edited\n");
  global.Write("kxenv.hdg", "# as shipped\n");
  EXPECT_EQ(global.Out({"init-table"}), "");
  EXPECT_EQ(global.Read("kxenv.tab"), "# as shipped\n");
  EXPECT_EQ(global.Read("kxenv.bak"), "# edited\n");
}

TEST(ToolTable, LocalizeWritesTheTableInTheLanguageAndPrintsWhere) {
  Global global;
  global.Write("kxenv.tab", kSmallTable);
  EXPECT_EQ(global.Out({"localize", "de"}), global.Path("kxenvtb.de") + "\n");
  std::string german = global.Read("kxenvtb.de");
  EXPECT_FALSE(Has(german, "%s<"));
  EXPECT_TRUE(Has(german, "KXT_TBL_HOST"));
  // A source and a target of one's own; the target is what is printed.
  EXPECT_EQ(global.Out({"localize", "en", "--source", global.Path("kxenv.tab"),
                        "--target", global.Path("small.en")}),
            global.Path("small.en") + "\n");
  EXPECT_TRUE(Has(global.Read("small.en"), "KXT_TBL_HOST"));
}

// Each failure exits with 1, says why on standard error and changes no
// file. "@" stands for the global directory; the files are written into it
// first.
TEST(ToolTable, TableCommandsThatCannotStartFailAndSayWhy) {
  const struct {
    const char* name;
    const char* files;
    const char* command;
    bool global;
    const char* words;
  } cases[] = {
      {"load without a table", "small.ctl", "load-table @/small.ctl", true,
       "cannot read @/kxenv.tab"},
      {"load without the control file", "kxenv.tab", "load-table @/missing.ctl",
       true, "cannot read the control file @/missing.ctl"},
      {"load of a directory", "kxenv.tab", "load-table @", true,
       "cannot read the control file"},
      {"load without a global directory", "kxenv.tab small.ctl",
       "load-table @/small.ctl", false, "KXIGLBL0000 is not set"},
      {"init without the shipped table", "kxenv.tab", "init-table", true,
       "cannot read the shipped table @/kxenv.hdg"},
      {"init without a global directory", "kxenv.tab", "init-table", false,
       "KXIGLBL0000 is not set"},
      {"localize without a table", "", "localize de", true,
       "cannot read @/kxenv.tab"},
      {"localize without a catalog", "kxenv.tab", "localize xx", true,
       "KXENVRC.xx"},
      {"localize without a global directory", "kxenv.tab", "localize de", false,
       "KXIGLBL0000 is not set"},
      // Writing over the table it reads would empty it.
      {"localize over its table", "kxenv.tab",
       "localize de --target @/kxenv.tab", true,
       "the target @/kxenv.tab is the table it reads"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Global global;
    auto at = [&global](std::string text) {
      for (size_t i; (i = text.find('@')) != std::string::npos;)
        text.replace(i, 1, global.dir);
      return text;
    };
    auto words = [&at](const char* text) {
      std::istringstream stream(at(text));
      return std::vector<std::string>(
          std::istream_iterator<std::string>(stream), {});
    };
    std::vector<std::string> files = words(c.files);
    for (const std::string& file : files)
      global.Write(fs::path(file).filename().string(),
                   file.ends_with(".ctl") ? kSmallControl : kSmallTable);
    Ran ran = global.Run(words(c.command), c.global);
    ExpectFailure(ran, 1);
    EXPECT_TRUE(Has(ran.err, at(c.words)));
    EXPECT_EQ(global.Out({"apps"}), "");  // nothing was loaded
    EXPECT_EQ(std::distance(fs::directory_iterator(global.dir), {}),
              static_cast<long>(files.size()));
    if (!files.empty() && files[0] == "kxenv.tab") {
      EXPECT_EQ(global.Read("kxenv.tab"), kSmallTable);
    }
  }
}

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
    SCOPED_TRACE(testing::PrintToString(line));
    ExpectFailure(RunTool(line), 2);
  }
  Ran help = RunTool({"help", "load-table"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Has(help.out, "kxenv load-table [OPTIONS] CONTROL"));
  EXPECT_TRUE(Has(RunTool({"help", "localize"}).out, "--target"));
}
