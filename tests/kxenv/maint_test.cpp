// Maintenance of the table and the store: putting the shipped table back
// (KXinitenvtab), writing a localised copy of a table (KXlocalizeenvtab),
// and saving and restoring the whole store (KXsaveenv, KXrestoreenv).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "kxenv_test_util.h"

namespace {

using kxtest::EnvKey;
using kxtest::MakeTempDir;
using kxtest::ReadText;
using kxtest::ScopedEnv;
using kxtest::Str;
using kxtest::Text;
using kxtest::TraceFile;
using kxtest::WriteKey;

constexpr char kEnglish1[] = "Directory in which the product is installed.";
constexpr char kEnglish2[] =
    "Directory that holds the executable programs of the product.";
constexpr char kEnglish4[] =
    "Directory in which the product writes its log files.";
constexpr char kGerman1[] = "Verzeichnis, in dem das Produkt installiert ist.";

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string{std::istreambuf_iterator<char>(file),
                     std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

size_t LineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A directory whose path leaves no room for "/kxenv.tab" within 260 bytes.
std::string LongDirectory() {
  std::string dir = MakeTempDir("long") + "/" + std::string(120, 'd') + "/" +
                    std::string(120, 'e');
  std::filesystem::create_directories(dir);
  return dir;
}

// Localises `table` from a file of its own with the build's catalogs;
// the copy's content, or "<failed>".
std::string Localized(const std::string& table, const char* language = "en") {
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  std::string dir = MakeTempDir("localize");
  WriteFile(dir + "/source.tab", table);
  std::string target = dir + "/target.tab";
  if (KXlocalizeenvtab(language, (dir + "/source.tab").c_str(),
                       target.c_str()) != 0) {
    return "<failed>";
  }
  return ReadFile(target).value_or("<missing>");
}

}  // namespace

// ---- KXinitenvtab

TEST(InitEnvTab, PutsThePristineCopyBackAndKeepsTheEditedTableAsBackup) {
  std::string dir = MakeTempDir("init");
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  WriteFile(dir + "/kxenv.tab", "\"APP\" \"EDITED\" \"%s<1>\"\n");
  WriteFile(dir + "/kxenv.hdg", "\"APP\" \"SHIPPED\" \"%s<1>\"\r\n");
  WriteFile(dir + "/kxenv.bak", "an older backup\n");
  ASSERT_EQ(KXinitenvtab(), 0);
  EXPECT_EQ(ReadFile(dir + "/kxenv.tab"), "\"APP\" \"SHIPPED\" \"%s<1>\"\r\n");
  EXPECT_EQ(ReadFile(dir + "/kxenv.bak"), "\"APP\" \"EDITED\" \"%s<1>\"\n");
  EXPECT_EQ(ReadFile(dir + "/kxenv.hdg"), "\"APP\" \"SHIPPED\" \"%s<1>\"\r\n");
}

TEST(InitEnvTab, WithoutAGlobalDirectoryFailsAndTouchesNoFile) {
  // The working directory holds a table, so that a path formed from an
  // empty directory would find something to move.
  std::string dir = MakeTempDir("cwd");
  WriteFile(dir + "/kxenv.tab", "edited\n");
  WriteFile(dir + "/kxenv.hdg", "shipped\n");
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  {
    ScopedEnv none("KXIGLBL0000", nullptr);
    EXPECT_EQ(KXinitenvtab(), -1);
  }
  {
    ScopedEnv empty("KXIGLBL0000", "");
    EXPECT_EQ(KXinitenvtab(), -1);
  }
  std::filesystem::current_path(previous);
  EXPECT_EQ(ReadFile(dir + "/kxenv.tab"), "edited\n");
  EXPECT_FALSE(Exists(dir + "/kxenv.bak"));
  EXPECT_FALSE(Exists("/kxenv.bak"));
}

TEST(InitEnvTab, AMissingTableFailsBeforeThePristineCopyIsCopied) {
  std::string dir = MakeTempDir("init");
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  WriteFile(dir + "/kxenv.hdg", "shipped\n");
  EXPECT_EQ(KXinitenvtab(), -1);
  EXPECT_FALSE(Exists(dir + "/kxenv.tab"));
  EXPECT_FALSE(Exists(dir + "/kxenv.bak"));
  EXPECT_EQ(ReadFile(dir + "/kxenv.hdg"), "shipped\n");
}

TEST(InitEnvTab, AMissingPristineCopyFailsAfterTheMoveAndRollsNothingBack) {
  std::string dir = MakeTempDir("init");
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  WriteFile(dir + "/kxenv.tab", "edited\n");
  EXPECT_EQ(KXinitenvtab(), -1);
  EXPECT_FALSE(Exists(dir + "/kxenv.tab"));
  EXPECT_EQ(ReadFile(dir + "/kxenv.bak"), "edited\n");
}

TEST(InitEnvTab, ADirectoryTooLongForAPathIsRefusedBeforeAnythingMoves) {
  std::string dir = LongDirectory();
  ASSERT_GE(dir.size() + std::strlen("/kxenv.tab"), size_t{MAX_PATH});
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  WriteFile(dir + "/kxenv.tab", "edited\n");
  WriteFile(dir + "/kxenv.hdg", "shipped\n");
  EXPECT_EQ(KXinitenvtab(), -1);
  EXPECT_EQ(ReadFile(dir + "/kxenv.tab"), "edited\n");
  EXPECT_FALSE(Exists(dir + "/kxenv.bak"));
}

// ---- KXlocalizeenvtab: what happens to a line

TEST(LocalizeEnvTab, LinesWithoutMarkersAreCopiedWithTheirLineEnds) {
  const std::string table =
      "# comment 100% plain\n"
      "\"APP\" \"X\" \"no marker\"\r\n"
      "\n"
      "last line without an end";
  EXPECT_EQ(Localized(table), table);
  EXPECT_EQ(Localized(""), "");
}

TEST(LocalizeEnvTab, EachMarkerIsReplacedInOrderWithTheTextBetweenKept) {
  EXPECT_EQ(
      Localized("\"ENV\" \"A\" \"X\" \"%s<1>\" \"260\"\r\n"),
      std::string("\"ENV\" \"A\" \"X\" \"") + kEnglish1 + "\" \"260\"\r\n");
  EXPECT_EQ(
      Localized("<%s<1>|%s<2>|%s<4>>\n"),
      std::string("<") + kEnglish1 + "|" + kEnglish2 + "|" + kEnglish4 + ">\n");
  // Adjacent markers, and the upper-case form.
  EXPECT_EQ(Localized("%S<2>%S<1>"), std::string(kEnglish2) + kEnglish1);
}

TEST(LocalizeEnvTab, AMalformedMarkerEndsTheReplacementsOfItsLine) {
  for (const char* line :
       {"a %s<0> b %s<1>\n", "a %s<> b %s<1>\n", "a %s<12 b %s<1>\n",
        "a %s<+1> b %s<1>\n", "a %s<1x> b\n"}) {
    EXPECT_EQ(Localized(line), line);
  }
  // Replacements before the malformed marker stand; what follows is kept.
  EXPECT_EQ(Localized("%s<1> %s<0> %s<2>\n"),
            std::string(kEnglish1) + " %s<0> %s<2>\n");
  // The next line is localised again.
  EXPECT_EQ(Localized("%s<0>\n%s<1>\n"),
            std::string("%s<0>\n") + kEnglish1 + "\n");
}

TEST(LocalizeEnvTab, TheLowerCaseFormIsTakenFirstEvenWhenItComesLater) {
  // The earlier "%S<1>" is text before the "%s<4>" marker; once that one is
  // done, the "%S<2>" behind it is the next marker.
  EXPECT_EQ(Localized("%S<1> a %s<4> b %S<2>\n"),
            std::string("%S<1> a ") + kEnglish4 + " b " + kEnglish2 + "\n");
  // A malformed lower-case marker hides a well-formed upper-case one.
  EXPECT_EQ(Localized("%S<1> %s<0>\n"), "%S<1> %s<0>\n");
}

TEST(LocalizeEnvTab, AMarkerAcrossThe2047CharacterReadIsNotRecognised) {
  // Characters 2045 and 2046 are "%s"; the "<" opens the next read.
  std::string straddling = std::string(2045, 'x') + "%s<1> tail %s<2>\n";
  EXPECT_EQ(Localized(straddling),
            std::string(2045, 'x') + "%s<1> tail " + kEnglish2 + "\n");
  // Markers wholly inside either read are replaced.
  std::string inside =
      std::string(2040, 'y') + "%s<1>" + std::string(10, 'z') + "%s<2>\n";
  EXPECT_EQ(Localized(inside), std::string(2040, 'y') + kEnglish1 +
                                   std::string(10, 'z') + kEnglish2 + "\n");
}

TEST(LocalizeEnvTab, TheLanguageChoosesTheCatalog) {
  EXPECT_EQ(Localized("\"%s<1>\"\n", "de"),
            std::string("\"") + kGerman1 + "\"\n");
  EXPECT_EQ(Localized("\"%s<1>\"\n", "en"),
            std::string("\"") + kEnglish1 + "\"\n");
}

// ---- KXlocalizeenvtab: files, defaults and failures

TEST(LocalizeEnvTab, DefaultsReadTheTableAndNameTheCopyAfterTheModule) {
  std::string dir = MakeTempDir("global");
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  ScopedEnv all("LC_ALL", nullptr);
  ScopedEnv messages("LC_MESSAGES", nullptr);
  ScopedEnv lang("LANG", "de_DE.UTF-8");
  WriteFile(dir + "/kxenv.tab", "\"%s<1>\"\n");
  TraceFile trace;
  ASSERT_EQ(KXlocalizeenvtab(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(ReadFile(dir + "/kxenvtb.de"),
            std::string("\"") + kGerman1 + "\"\n");
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: enter."), 1);
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: exited successfully."), 1);

  // A language given names the copy, whatever the environment says.
  ASSERT_EQ(KXlocalizeenvtab("en", nullptr, nullptr), 0);
  EXPECT_EQ(ReadFile(dir + "/kxenvtb.en"),
            std::string("\"") + kEnglish1 + "\"\n");
}

TEST(LocalizeEnvTab, AnExistingTargetIsReplaced) {
  std::string dir = MakeTempDir("replace");
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  WriteFile(dir + "/source", "short\n");
  WriteFile(dir + "/target", "a much longer earlier content\n");
  ASSERT_EQ(KXlocalizeenvtab("en", (dir + "/source").c_str(),
                             (dir + "/target").c_str()),
            0);
  EXPECT_EQ(ReadFile(dir + "/target"), "short\n");
}

TEST(LocalizeEnvTab,
     AMessageTheCatalogLacksFailsWithItsTextAndKeepsWhatWasWritten) {
  std::string dir = MakeTempDir("missing");
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  WriteFile(dir + "/source", "%s<1>\nbefore %s<9999> after\n%s<2>\n");
  TraceFile trace;
  EXPECT_EQ(KXlocalizeenvtab("en", (dir + "/source").c_str(),
                             (dir + "/target").c_str()),
            -1);
  std::string failure = GetMsgString();
  EXPECT_NE(failure.find("9999"), std::string::npos) << failure;
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: " + failure + "."), 1);
  EXPECT_EQ(trace.Count("exited successfully"), 0);
  EXPECT_EQ(ReadFile(dir + "/target"), std::string(kEnglish1) + "\n");
}

TEST(LocalizeEnvTab, FilesThatCannotBeOpenedAreTracedWithTheirPaths) {
  std::string dir = MakeTempDir("open");
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  TraceFile trace;
  std::string missing = dir + "/no-such.tab";
  std::string target = dir + "/target";
  EXPECT_EQ(KXlocalizeenvtab("en", missing.c_str(), target.c_str()), -1);
  EXPECT_EQ(
      trace.Count("KXlocalizeenvtab: error opening file " + missing + "."), 1);
  EXPECT_FALSE(Exists(target));

  // A directory is no table, although fopen would open it for reading.
  EXPECT_EQ(KXlocalizeenvtab("en", dir.c_str(), target.c_str()), -1);
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: error opening file " + dir + "."),
            1);

  WriteFile(dir + "/source", "x\n");
  std::string unwritable = dir + "/no-such-dir/target";
  EXPECT_EQ(
      KXlocalizeenvtab("en", (dir + "/source").c_str(), unwritable.c_str()),
      -1);
  EXPECT_EQ(
      trace.Count("KXlocalizeenvtab: error opening file " + unwritable + "."),
      1);
}

TEST(LocalizeEnvTab, ATargetThatIsTheSourceIsRefusedAndTheTableKept) {
  std::string dir = MakeTempDir("same");
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  const std::string table = dir + "/kxenv.tab";
  WriteFile(table, "\"%s<1>\"\n");
  TraceFile trace;
  EXPECT_EQ(KXlocalizeenvtab("en", nullptr, table.c_str()), -1);
  EXPECT_EQ(trace.Count("KXlocalizeenvtab: the target " + table +
                        " is the source; refused."),
            1);
  // Another name of the same file is the same file.
  const std::string link = dir + "/kxenvtb.en";
  ASSERT_EQ(symlink(table.c_str(), link.c_str()), 0);
  EXPECT_EQ(KXlocalizeenvtab("en", nullptr, nullptr), -1);
  EXPECT_EQ(KXlocalizeenvtab("en", link.c_str(), table.c_str()), -1);
  EXPECT_EQ(ReadFile(table), "\"%s<1>\"\n");
}

TEST(LocalizeEnvTab, NoDirectoryOrNoLocaleFailsWithOnlyTheOpeningTrace) {
  std::string dir = MakeTempDir("early");
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  WriteFile(dir + "/source", "x\n");
  std::string source = dir + "/source";
  {
    ScopedEnv none("KXIGLBL0000", nullptr);
    TraceFile trace;
    EXPECT_EQ(KXlocalizeenvtab("en", nullptr, (dir + "/a").c_str()), -1);
    EXPECT_EQ(KXlocalizeenvtab("en", source.c_str(), nullptr), -1);
    EXPECT_EQ(trace.Count("KXlocalizeenvtab:"), 2);
    EXPECT_EQ(trace.Count("KXlocalizeenvtab: enter."), 2);
  }
  TraceFile trace;
  EXPECT_EQ(KXlocalizeenvtab("fr", source.c_str(), (dir + "/b").c_str()), -1);
  EXPECT_EQ(trace.Count("KXlocalizeenvtab:"), 1);
  EXPECT_FALSE(Exists(dir + "/b"));
}

TEST(LocalizeEnvTab, ADefaultPathTooLongIsRefused) {
  std::string dir = LongDirectory();
  ScopedEnv global("KXIGLBL0000", dir.c_str());
  ScopedEnv locales("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  WriteFile(dir + "/kxenv.tab", "x\n");
  TraceFile trace;
  EXPECT_EQ(KXlocalizeenvtab("en", nullptr, (dir + "/../copy").c_str()), -1);
  EXPECT_EQ(trace.Count("is too long; refused."), 1);
  EXPECT_FALSE(Exists(dir + "/../copy"));
}

// ---- The sample table

TEST(LocalizeEnvTab, TheSampleTableReadsInGermanLineForLine) {
  auto table = ReadFile(std::string(KX_SAMPLE_DATA_DIR) + "/kxenv.tab");
  ASSERT_TRUE(table);
  // The pristine copy ships identical to the table.
  EXPECT_EQ(ReadFile(std::string(KX_SAMPLE_DATA_DIR) + "/kxenv.hdg"), table);
  std::string german = Localized(*table, "de");
  ASSERT_NE(german, "<failed>");
  EXPECT_EQ(german.find("%s<"), std::string::npos);
  EXPECT_EQ(german.find("%S<"), std::string::npos);
  EXPECT_EQ(LineCount(german), LineCount(*table));
  EXPECT_NE(german.find(std::string("\"") + kGerman1 + "\""),
            std::string::npos);
}

// ---- KXsaveenv and KXrestoreenv

TEST(SaveEnv, ASaveIntoAMissingDirectoryFailsAndIsTraced) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_MAINT_SAVED"), {Text("Local", "v")}));
  std::string file = MakeTempDir("save") + "/no-such-dir/store.reg";
  TraceFile trace;
  EXPECT_EQ(KXsaveenv(file.c_str(), 1), -1);
  EXPECT_EQ(KXsaveenv(file.c_str(), 0), -1);
  EXPECT_EQ(trace.Count("KXsaveenv: file=" + file + ", replace=yes."), 1);
  EXPECT_EQ(trace.Count("KXsaveenv: file=" + file + ", replace=no."), 1);
  EXPECT_FALSE(Exists(file));
}

TEST(SaveEnv, RestoringAMissingFileFailsAndChangesNothing) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_MAINT_KEPT"), {Text("Local", "kept")}));
  std::string file = MakeTempDir("restore") + "/none.reg";
  TraceFile trace;
  EXPECT_EQ(KXrestoreenv(file.c_str(), 1), -1);
  EXPECT_EQ(trace.Count("KXrestoreenv: file=" + file + ", replace=yes."), 1);
  EXPECT_EQ(Str(KXgetenv("KXT_MAINT_KEPT")), "kept");
}

TEST(SaveEnv, AVariableSurvivesSaveDeleteAndRestore) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_MAINT_TRIP"),
                       {Text("Default", "dflt"), Text("Local", "local value"),
                        Text("App", "KXAGENT")}));
  std::string file = MakeTempDir("trip") + "/store.reg";
  ASSERT_EQ(KXsaveenv(file.c_str(), 0), 0);
  EXPECT_EQ(KXsaveenv(file.c_str(), 0), -1);  // no replace: the file stays
  ASSERT_EQ(KXsaveenv(file.c_str(), 1), 0);

  ASSERT_EQ(KXdelenv("KXT_MAINT_TRIP"), 0);
  EXPECT_EQ(KXgetenv("KXT_MAINT_TRIP"), nullptr);
  ASSERT_EQ(KXsetenv("KXT_MAINT_LATER", "later"), 0);

  ASSERT_EQ(KXrestoreenv(file.c_str(), 0), 0);  // merged
  EXPECT_EQ(Str(KXgetenv("KXT_MAINT_TRIP")), "local value");
  EXPECT_EQ(ReadText(EnvKey("KXT_MAINT_TRIP"), "Default"), "dflt");
  EXPECT_EQ(ReadText(EnvKey("KXT_MAINT_TRIP"), "App"), "KXAGENT");
  EXPECT_EQ(Str(KXgetenv("KXT_MAINT_LATER")), "later");

  ASSERT_EQ(KXrestoreenv(file.c_str(), 1), 0);  // the store as saved
  EXPECT_EQ(KXgetenv("KXT_MAINT_LATER"), nullptr);
  EXPECT_EQ(Str(KXgetenv("KXT_MAINT_TRIP")), "local value");
}
