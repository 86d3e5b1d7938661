// Maintenance of the table and the store: putting the shipped table back
// (KXinitenvtab), writing a localised copy of a table (KXlocalizeenvtab),
// and saving and restoring the whole store (KXsaveenv, KXrestoreenv).
#include <algorithm>
#include <filesystem>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;
namespace fs = std::filesystem;

constexpr char kEnglish1[] = "Directory in which the product is installed.";
constexpr char kGerman1[] = "Verzeichnis, in dem das Produkt installiert ist.";

// A fresh directory; "long" names it by a path that leaves no room for
// "/kxenv.tab" within 260 bytes (Windows could not make one that deep).
std::string Directory(const char* kind) {
  std::string dir = MakeTempDir("maint");
  for (int i = 0; kind && std::string(kind) == "long" && i < 125; ++i)
    dir += "/.";
  return dir;
}

// Localises `table` from a file of its own with the build's catalogs;
// the copy's content, or "<failed>".
std::string Localized(const std::string& table, const char* language) {
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  std::string dir = Directory(nullptr);
  WriteFile(dir + "/source.tab", table);
  if (KXlocalizeenvtab(language, (dir + "/source.tab").c_str(),
                       (dir + "/target.tab").c_str()) != 0) {
    return "<failed>";
  }
  return ReadFile(dir + "/target.tab");
}

}  // namespace

// kxenv.tab, kxenv.bak and kxenv.hdg before and after each case ("-" for
// no file). Nothing is rolled back: a put-back without the pristine copy
// leaves the edited table as kxenv.bak only.
TEST(InitEnvTab, PutsThePristineCopyBackOrRefusesBeforeAnythingMoves) {
  const struct {
    const char* name;
    const char* global;  // "dir", "long", "" or none
    const char* before;
    int result;
    const char* after;
  } cases[] = {
      {"put back", "dir", "edit,old,ship\r\n", 0, "ship\r\n,edit,ship\r\n"},
      {"no global directory", nullptr, "edit,-,ship", -1, "edit,-,ship"},
      {"an empty global directory", "", "edit,-,ship", -1, "edit,-,ship"},
      {"no table", "dir", "-,-,ship", -1, "-,-,ship"},
      {"no pristine copy", "dir", "edit,-,-", -1, "-,edit,-"},
      {"a directory too long", "long", "edit,-,ship", -1, "edit,-,ship"},
  };
  const char* files[] = {"/kxenv.tab", "/kxenv.bak", "/kxenv.hdg"};
  auto previous = fs::current_path();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = Directory(c.global);
    // The working directory holds the files too, so that a path formed from
    // a missing directory would find something to move.
    fs::current_path(fs::path(dir).lexically_normal());
    ScopedEnv global("KXIGLBL0000",
                     c.global && *c.global ? dir.c_str() : c.global);
    std::istringstream before(c.before);
    std::string content;
    for (const char* file : files) {
      std::getline(before, content, ',');
      if (content != "-") WriteFile(dir + file, content);
    }
    EXPECT_EQ(KXinitenvtab(), c.result);
    std::string after;
    for (const char* file : files) {
      content = ReadFile(dir + file);
      after +=
          (after.empty() ? "" : ",") + (content == "<missing>" ? "-" : content);
    }
    EXPECT_EQ(after, c.after);
    EXPECT_FALSE(fs::exists("/kxenv.bak"));
  }
  fs::current_path(previous);
}

// Each marker becomes its message; everything else is copied byte for
// byte. A malformed marker ends the replacements of its line, and the
// source is read in pieces of 2,047 characters, each localised on its own.
TEST(LocalizeEnvTab, EachMarkerOfALineIsReplacedUpToTheFirstMalformedOne) {
  const std::string e1 = kEnglish1,
                    e2 = "Directory that holds the executable programs of the "
                         "product.",
                    e4 = "Directory in which the product writes its log files.";
  const std::string x(2045, 'x'), y(2040, 'y');
  const struct {
    const char* name;
    std::string table, expected;
  } cases[] = {
      {"no markers, line ends kept", "# 100% plain\n\"X\"\r\n\nno end",
       "# 100% plain\n\"X\"\r\n\nno end"},
      {"an empty table", "", ""},
      {"markers in order", "<%s<1>|%s<2>|%s<4>>\r\n",
       "<" + e1 + "|" + e2 + "|" + e4 + ">\r\n"},
      {"adjacent upper-case markers", "%S<2>%S<1>", e2 + e1},
      {"replacements before a malformed marker stand", "%s<1> %s<0> %s<2>\n",
       e1 + " %s<0> %s<2>\n"},
      {"the next line is localised again", "%s<0>\n%s<1>\n",
       "%s<0>\n" + e1 + "\n"},
      {"the lower-case form first", "%S<1> a %s<4> b %S<2>\n",
       "%S<1> a " + e4 + " b " + e2 + "\n"},
      {"a marker across the first read", x + "%s<1> tail %s<2>\n",
       x + "%s<1> tail " + e2 + "\n"},
      {"markers inside either read", y + "%s<1>0123456789%s<2>\n",
       y + e1 + "0123456789" + e2 + "\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Localized(c.table, "en"), c.expected) << c.name;
}

// The sample table reads in German line for line; a language given names
// the copy, whatever the environment says.
TEST(LocalizeEnvTab, DefaultsReadTheTableAndNameTheCopyAfterTheModule) {
  std::string dir = Directory(nullptr);
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  ScopedEnv all("LC_ALL", nullptr);
  ScopedEnv messages("LC_MESSAGES", nullptr);
  ScopedEnv lang("LANG", "de_DE.UTF-8");
  std::string table = ReadFile(std::string(KX_SAMPLE_DATA_DIR) + "/kxenv.tab");
  EXPECT_EQ(ReadFile(std::string(KX_SAMPLE_DATA_DIR) + "/kxenv.hdg"), table);
  WriteFile(dir + "/kxenv.tab", table);
  ASSERT_EQ(KXlocalizeenvtab("en", nullptr, nullptr), 0);
  EXPECT_TRUE(Has(ReadFile(dir + "/kxenvtb.en"), kEnglish1));
  KX_LINUX_ONLY("the language of the locale comes from LANG");
  WriteFile(dir + "/kxenvtb.de", std::string(100000, 'x'));
  TraceFile trace;
  ASSERT_EQ(KXlocalizeenvtab(nullptr, nullptr, nullptr), 0);
  std::string german = ReadFile(dir + "/kxenvtb.de");
  EXPECT_FALSE(Has(german, "%s<"));
  EXPECT_FALSE(Has(german, "%S<"));
  EXPECT_EQ(std::count(german.begin(), german.end(), '\n'),
            std::count(table.begin(), table.end(), '\n'));
  EXPECT_TRUE(Has(german, std::string("\"") + kGerman1 + "\""));
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: enter."), 1);
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: exited successfully."), 1);
}

TEST(LocalizeEnvTab,
     AMessageTheCatalogLacksFailsWithItsTextAndKeepsWhatWasWritten) {
  std::string dir = Directory(nullptr);
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  WriteFile(dir + "/source", "%s<1>\nbefore %s<9999> after\n%s<2>\n");
  TraceFile trace;
  EXPECT_EQ(KXlocalizeenvtab("en", (dir + "/source").c_str(),
                             (dir + "/target").c_str()),
            -1);
  std::string failure = GetMsgString();
  EXPECT_TRUE(Has(failure, "9999"));
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: " + failure + "."), 1);
  EXPECT_EQ(trace.Count("exited successfully"), 0);
  EXPECT_EQ(ReadFile(dir + "/target"), std::string(kEnglish1) + "\n");
}

// Each refusal writes its trace line ("@" stands for the directory of the
// case) and no target.
TEST(LocalizeEnvTab, RefusalsAreTracedAndWriteNothing) {
  const char* kNone = nullptr;
  const struct {
    const char* name;
    const char* global;  // "dir", "long" or none
    const char* language;
    const char* source;
    const char* target;
    const char* trace;  // the line after "KXlocalizeenvtab: "
    int lines;          // of the call in all
  } cases[] = {
      {"a missing source", "dir", "en", "@/no-such.tab", "@/target",
       "error opening file @/no-such.tab.", 2},
      {"a directory as the source", "dir", "en", "@", "@/target",
       "error opening file @.", 2},
      {"a target that cannot be opened", "dir", "en", "@/source",
       "@/no-such-dir/target", "error opening file @/no-such-dir/target.", 2},
      {"the source as the target", "dir", "en", kNone, "@/kxenv.tab",
       "the target @/kxenv.tab is the source; refused.", 2},
      {"another name of the source", "dir", "en", "@/kxenvtb.en", "@/kxenv.tab",
       "the target @/kxenv.tab is the source; refused.", 2},
      {"a default target that is the source", "dir", "en", kNone, kNone,
       "the target @/kxenvtb.en is the source; refused.", 2},
      {"no directory for the source", kNone, "en", kNone, "@/a", "enter.", 1},
      {"no directory for the target", kNone, "en", "@/source", kNone, "enter.",
       1},
      {"no catalog for the language", "dir", "fr", "@/source", "@/b", "enter.",
       1},
      {"a default path too long", "long", "en", kNone, "@/../copy", "a path of",
       2},
  };
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = Directory(c.global);
    auto at = [&dir](const char* text) -> std::string {
      std::string path = text ? text : "";
      for (size_t i; (i = path.find('@')) != std::string::npos;)
        path.replace(i, 1, dir);
      return path;
    };
    ScopedEnv global("KXIGLBL0000", c.global ? dir.c_str() : nullptr);
    WriteFile(dir + "/kxenv.tab", "\"%s<1>\"\n");
    WriteFile(dir + "/source", "x\n");
    fs::create_hard_link(dir + "/kxenv.tab", dir + "/kxenvtb.en");
    TraceFile trace;
    std::string source = at(c.source), target = at(c.target);
    EXPECT_EQ(KXlocalizeenvtab(c.language, c.source ? source.c_str() : nullptr,
                               c.target ? target.c_str() : nullptr),
              -1);
    EXPECT_EQ(trace.Count("KXlocalizeenvtab: " + at(c.trace)), 1);
    EXPECT_EQ(trace.Count("KXlocalizeenvtab:"), c.lines);
    EXPECT_EQ(ReadFile(dir + "/kxenv.tab"), "\"%s<1>\"\n");
    if (c.target && target != dir + "/kxenv.tab") {
      EXPECT_FALSE(fs::exists(target));
    }
  }
}

// Without replace an existing file stays; a restore merges, or with
// replace puts back the store as saved.
TEST(SaveEnv, AVariableSurvivesSaveDeleteAndRestore) {
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_TRIP"), {Text("Local", "l"), Text("App", "A")}));
  std::string dir = Directory(nullptr);
  std::string file = dir + "/store.reg", missing = dir + "/none/store.reg";
  TraceFile trace;
  EXPECT_EQ(KXsaveenv(missing.c_str(), 1) + KXrestoreenv(missing.c_str(), 0),
            -2);
  EXPECT_EQ(trace.Count("KXsaveenv: file=" + missing + ", replace=yes."), 1);
  EXPECT_EQ(trace.Count("KXrestoreenv: file=" + missing + ", replace=no."), 1);
  ASSERT_EQ(KXsaveenv(file.c_str(), 0), 0);
  EXPECT_EQ(KXsaveenv(file.c_str(), 0), -1);
  ASSERT_EQ(KXsaveenv(file.c_str(), 1), 0);
  ASSERT_EQ(KXdelenv("KXT_TRIP") + KXsetenv("KXT_LATER", "later"), 0);
  ASSERT_EQ(KXrestoreenv(file.c_str(), 0), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_TRIP")) + Str(KXgetenv("KXT_LATER")), "llater");
  EXPECT_EQ(ReadText(EnvKey("KXT_TRIP"), "App"), "A");
  ASSERT_EQ(KXrestoreenv(file.c_str(), 1), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_TRIP")) + Str(KXgetenv("KXT_LATER")), "l(null)");
}
