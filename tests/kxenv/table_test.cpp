// Loading the variable table: which rows the control file selects, what a
// definition holds, and how values survive a load.
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "kxenv_test_util.h"
#include "kxenvprf.h"

namespace {

using kxtest::AppKey;
using kxtest::EnvKey;
using kxtest::KeyExists;
using kxtest::OptKey;
using kxtest::ReadRaw;
using kxtest::ReadText;
using kxtest::ScopedEnv;
using kxtest::Str;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

DWORD ReadNumber(const std::string& path, const char* name) {
  auto raw = ReadRaw(path, name);
  DWORD number = 0xFFFFFFFF;
  if (raw && raw->bytes.size() == sizeof number)
    std::memcpy(&number, raw->bytes.data(), sizeof number);
  return number;
}

// A product directory with a table and a control file, named by
// KXIGLBL0000 through the process environment.
class TableLoad : public ::testing::Test {
 protected:
  TableLoad()
      : directory_(kxtest::MakeTempDir("global")),
        global_("KXIGLBL0000", directory_.c_str()) {}

  void Table(const std::string& rows) {
    WriteFile(directory_ + "/kxenv.tab", rows);
  }
  std::string Control(const std::string& directives) {
    std::string path = directory_ + "/kxenv.ctl";
    WriteFile(path, directives);
    return path;
  }
  int Load(const std::string& rows, const std::string& directives) {
    Table(rows);
    return KXloadenvtab(Control(directives).c_str());
  }
  // A profile file of an earlier installation holding one value block.
  void Profile(const std::string& file, const std::string& section,
               const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<unsigned char> block = PackValueBlock(pairs);
    int handle = OpenProfile((directory_ + "/" + file).c_str());
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(WriteProfileRecord(handle, section.c_str(), "ORRVARS",
                                   block.data(),
                                   static_cast<int>(block.size())));
    CloseProfile(handle);
  }
  std::string Path(const std::string& file) { return directory_ + "/" + file; }

  std::string directory_;
  ScopedEnv global_;
};

constexpr char kAllGroups[] =
    "EnabledForProcessing=yes\nCopyGroup=AGENT\nCopyGroup=SCHED\n";

// A variable row; flags and choices only where a test needs them.
std::string Row(const std::string& keyword, const std::string& name,
                const std::string& app, const std::string& value,
                const std::string& rest = "") {
  return "\"" + keyword + "\" \"" + name + "\" \"" + app +
         "\" \"%s<4>\" \"260\" \"STRING\" \"\" \"\" \"" + value + "\"" + rest +
         "\n";
}

TEST_F(TableLoad, WritesApplicationsAndEveryDefinitionValue) {
  ASSERT_EQ(
      Load("# the agent\n"
           "\"APP\" \"AGENT\" \"The agent %s<13>\"\n"
           "\"ENV\" \"AGENT_PORT\" \"AGENT\" \"Port %s<42> (tcp)\" "
           "\"5\" \"NUMBER\" \"range\" \"1-65535\" \"6100  \" \"n\" \"\"\n"
           "\"OPT\" \"AGENT_MODE\" \"AGENT\" \"no marker\" \"8\" "
           "\"STRING\" \"LIST\" \"fast|safe\" \"safe\" \"Y\" \"y\"\n" +
               // Rows whose names are no key names are left out.
               Row("ENV", "", "AGENT", "class key") +
               Row("ENV", "AGENT\\SUB", "AGENT", "other key"),
           kAllGroups),
      0);
  EXPECT_FALSE(ReadRaw(kxtest::kStoreKey + std::string("\\ENV"), "Default"));
  EXPECT_FALSE(KeyExists(EnvKey("AGENT")));
  EXPECT_EQ(ReadNumber(AppKey("AGENT"), "Description"), 13u);
  std::string port = EnvKey("AGENT_PORT");
  EXPECT_EQ(ReadText(port, "Default"), "6100");
  EXPECT_EQ(ReadText(port, "App"), "AGENT");
  EXPECT_EQ(ReadRaw(port, "Choices")->bytes, std::string("1\0"
                                                         "65535\0\0",
                                                         9));
  EXPECT_EQ(ReadText(port, "ChoiceType"), "range");
  EXPECT_EQ(ReadText(port, "DataType"), "NUMBER");
  EXPECT_EQ(ReadNumber(port, "Description"), 42u);
  EXPECT_EQ(ReadNumber(port, "MaxSize"), 5u);
  EXPECT_EQ(ReadNumber(port, "ReadOnly"), 1u);
  EXPECT_EQ(ReadNumber(port, "Sensitive"), 0u);
  // New to the store, with a default: the load pins an empty Local value,
  // which reads as the default.
  EXPECT_EQ(ReadText(port, "Local"), "");
  EXPECT_FALSE(ReadRaw(port, "Global"));
  EXPECT_TRUE(ReadRaw(AppKey("AGENT") + "\\ENV", "AGENT_PORT"));
  EXPECT_TRUE(ReadRaw(AppKey("AGENT") + "\\OPT", "AGENT_MODE"));
  std::string mode = OptKey("AGENT_MODE");
  EXPECT_EQ(ReadNumber(mode, "Description"), 0u);
  EXPECT_EQ(ReadNumber(mode, "ReadOnly"), 0u);
  EXPECT_EQ(ReadNumber(mode, "Sensitive"), 1u);
  EXPECT_EQ(Str(KXgetenv("AGENT_PORT")), "6100");
  EXPECT_EQ(Str(KXgetopt("AGENT_MODE")), "safe");
}

// Which of the variables A1, A2 (application AGENT) and S1 (SCHED) a
// control file lets a load define.
class ControlRules : public TableLoad {
 protected:
  std::string Defined(const std::string& directives) {
    EXPECT_EQ(
        Load("\"APP\" \"AGENT\" \"%s<13>\"\n" + Row("ENV", "A1", "AGENT", "x") +
                 Row("ENV", "A2", "AGENT", "x") +
                 Row("OPT", "S1", "SCHED", "x") +
                 Row("LCL", "L1", "AGENT", "x") +
                 "\"COMP\" \"AGENT\" \"%s<13>\"\n",
             directives),
        0);
    std::string defined;
    if (KeyExists(EnvKey("A1"))) defined += "A1 ";
    if (KeyExists(EnvKey("A2"))) defined += "A2 ";
    if (KeyExists(OptKey("S1"))) defined += "S1 ";
    if (KeyExists(kxtest::kStoreKey + std::string("\\LCL"))) defined += "LCL ";
    EXPECT_TRUE(KeyExists(AppKey("AGENT")));  // APP rows always load
    return defined;
  }
};

TEST_F(ControlRules, ProcessingIsOffUntilSwitchedOnAndCanBeSwitchedOff) {
  EXPECT_EQ(Defined("CopyGroup=AGENT\nCopyGroup=SCHED\n"), "");
  EXPECT_EQ(Defined("EnabledForProcessing=no\nCopyGroup=AGENT\n"), "");
}

TEST_F(ControlRules, SwitchingOffIgnoresTheLinesThatFollow) {
  EXPECT_EQ(Defined("CopyGroup=SCHED\nEnabledForProcessing=YES\n"
                    "CopyGroup=AGENT\nEnabledForProcessing=off\n"
                    "CopyGroup=SCHED\n"),
            "A1 A2 ");
}

TEST_F(ControlRules, ExcludeVarLeavesOneVariableOfAGroupOut) {
  EXPECT_EQ(Defined("EnabledForProcessing=yes\nCopyGroup=AGENT\n"
                    "ExcludeVar=A2\nCopyVar=S1\n"),
            "A1 S1 ");
}

TEST_F(ControlRules, CopyVarWinsOverExcludeVarInEitherOrder) {
  EXPECT_EQ(Defined("EnabledForProcessing=yes\nCopyGroup=AGENT\n"
                    "ExcludeVar=A2\nCopyVar=A2\nCopyVar=S1\nExcludeVar=S1\n"),
            "A1 A2 S1 ");
}

TEST_F(ControlRules, TheFirstLineNamingANameDecidesItsKind) {
  // SCHED is first a copy group: the later ExcludeVar sets no directive.
  // A2 is first named by another key, which then decides for it: it loads
  // because its application is in the index, whatever ExcludeVar says.
  EXPECT_EQ(Defined("EnabledForProcessing=yes\nCopyGroup=SCHED\n"
                    "ExcludeVar=SCHED\nKeepVar=A2\nExcludeVar=A2\n"
                    "CopyGroup=AGENT\n"),
            "A1 A2 S1 ");
}

TEST_F(ControlRules, BlanksAroundTheEqualsSignBelongToKeyAndName) {
  // "CopyVar " is another kind of key; " S1" names no variable.
  EXPECT_EQ(Defined("EnabledForProcessing=yes\nCopyVar =A1\nCopyVar= S1\n"),
            "");
}

TEST_F(ControlRules, AnyEntryNamedLikeTheApplicationSelectsItsRows) {
  EXPECT_EQ(Defined("EnabledForProcessing=yes\nExcludeVar=AGENT\n"), "A1 A2 ");
}

TEST_F(TableLoad, ChangedDefaultKeepsTheValueTheVariableHad) {
  std::string table = "\"APP\" \"AGENT\" \"%s<13>\"\n";
  ASSERT_EQ(Load(table + Row("ENV", "SAME", "AGENT", "Keep") +
                     Row("ENV", "MOVED", "AGENT", "A") +
                     Row("ENV", "GLOBAL_ONLY", "AGENT", "D") +
                     Row("OPT", "OPTION", "AGENT", "old"),
                 kAllGroups),
            0);
  ASSERT_EQ(KXsetlocal("SAME", "mine"), 0);
  ASSERT_EQ(KXsetglobal("GLOBAL_ONLY", "G"), 0);
  ASSERT_EQ(Load(table + Row("ENV", "SAME", "AGENT", "KEEP") +
                     Row("ENV", "MOVED", "AGENT", "B") +
                     Row("ENV", "GLOBAL_ONLY", "AGENT", "E") +
                     Row("OPT", "OPTION", "AGENT", "new") +
                     Row("ENV", "FRESH", "AGENT", "dflt"),
                 kAllGroups),
            0);
  EXPECT_EQ(ReadText(EnvKey("SAME"), "Local"), "mine");
  EXPECT_EQ(ReadText(EnvKey("MOVED"), "Local"), "A");
  EXPECT_EQ(ReadText(EnvKey("MOVED"), "Default"), "B");
  EXPECT_EQ(Str(KXgetenv("MOVED")), "A");
  // The global value was the effective one; it is now pinned locally.
  EXPECT_EQ(ReadText(EnvKey("GLOBAL_ONLY"), "Local"), "G");
  ASSERT_EQ(KXsetglobal("GLOBAL_ONLY", "G2"), 0);
  EXPECT_EQ(Str(KXgetenv("GLOBAL_ONLY")), "G");
  EXPECT_EQ(ReadText(OptKey("OPTION"), "Local"), "old");
  // A variable new to the store gets an empty Local: it reads its default.
  EXPECT_EQ(ReadText(EnvKey("FRESH"), "Local"), "");
  EXPECT_EQ(Str(KXgetenv("FRESH")), "dflt");
}

TEST_F(TableLoad, ChangedApplicationMovesTheMembership) {
  ASSERT_EQ(Load(Row("ENV", "V", "AGENT", "x"), kAllGroups), 0);
  ASSERT_TRUE(ReadRaw(AppKey("AGENT") + "\\ENV", "V"));
  ASSERT_EQ(Load(Row("ENV", "V", "SCHED", "x"), kAllGroups), 0);
  EXPECT_FALSE(ReadRaw(AppKey("AGENT") + "\\ENV", "V"));
  EXPECT_TRUE(ReadRaw(AppKey("SCHED") + "\\ENV", "V"));
  EXPECT_EQ(ReadText(EnvKey("V"), "App"), "SCHED");
}

TEST_F(TableLoad, ProfileValuesOfAnEarlierInstallationAreCarriedOver) {
  Profile("glb.ini", "ENVGLBL",
          {{"HOME", "/old/home"}, {"BOTH", "g"}, {"OPTG", "ignored"}});
  Profile("lcl.ini", "ENVLOCAL", {{"BOTH", "l"}, {"OPTL", "on"}});
  std::string table =
      "\"FILE\" \"envglbl\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"glb.ini\"\n"
      "\"FILE\" \"ENVLOCAL\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"lcl.ini\"\n"
      "\"FILE\" \"ENVLOCAL\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"none.ini\"\n" +
      Row("ENV", "HOME", "AGENT", "/opt") + Row("ENV", "BOTH", "AGENT", "d") +
      Row("OPT", "OPTG", "AGENT", "d") + Row("OPT", "OPTL", "AGENT", "off");
  ASSERT_EQ(Load(table, kAllGroups), 0);
  EXPECT_EQ(ReadText(EnvKey("HOME"), "Global"), "/old/home");
  EXPECT_EQ(ReadText(EnvKey("HOME"), "Local"), "<missing>");
  EXPECT_EQ(ReadText(EnvKey("BOTH"), "Global"), "g");
  EXPECT_EQ(ReadText(EnvKey("BOTH"), "Local"), "l");
  // An option takes only local values: a global one leaves it empty.
  EXPECT_EQ(ReadText(OptKey("OPTG"), "Local"), "");
  EXPECT_EQ(Str(KXgetopt("OPTL")), "on");
  EXPECT_FALSE(FileExists(Path("glb.ini")));
  EXPECT_TRUE(FileExists(Path("glb.ini.BAK")));
  EXPECT_TRUE(FileExists(Path("lcl.ini.BAK")));
  EXPECT_FALSE(FileExists(Path("none.ini.BAK")));

  // A second load finds the files moved but applies their values again.
  ASSERT_EQ(KXsetglobal("HOME", "/changed"), 0);
  ASSERT_EQ(Load(table, kAllGroups), 0);
  EXPECT_EQ(ReadText(EnvKey("HOME"), "Global"), "/old/home");
}

TEST_F(TableLoad, ProfileWithoutTheRecordIsStillMovedAside) {
  Profile("glb.ini", "OTHER", {{"HOME", "/old"}});
  WriteFile(Path("glb.ini.BAK"), "older backup");
  ASSERT_EQ(Load("\"FILE\" \"ENVGLBL\" \"\" \"ORRVARS\" \"KXIGLBL0000\" "
                 "\"glb.ini\"\n" +
                     Row("ENV", "HOME", "AGENT", "/opt"),
                 kAllGroups),
            0);
  EXPECT_FALSE(FileExists(Path("glb.ini")));
  std::ifstream backup(Path("glb.ini.BAK"));
  std::string first;
  std::getline(backup, first);
  EXPECT_NE(first, "older backup");
  EXPECT_EQ(ReadText(EnvKey("HOME"), "Global"), "<missing>");
}

TEST_F(TableLoad, LoadThatCannotStartReturnsMinusOneWithItsTrace) {
  kxtest::TraceFile trace;
  Table(Row("ENV", "V", "AGENT", "x"));
  EXPECT_EQ(KXloadenvtab(Path("missing.ctl").c_str()), -1);
  EXPECT_EQ(KXloadenvtab(nullptr), -1);
  EXPECT_EQ(trace.Count("LoadControlIndex: error opening file " +
                        Path("missing.ctl") + "; exiting."),
            1);
  EXPECT_EQ(
      trace.Count("LoadControlIndex: error opening file (null); exiting."), 1);
  // A directory opens on Linux, but it is no control file.
  EXPECT_EQ(KXloadenvtab(directory_.c_str()), -1);
  EXPECT_EQ(trace.Count("LoadControlIndex: error opening file " + directory_ +
                        "; exiting."),
            1);
  EXPECT_FALSE(KeyExists(EnvKey("V")));

  std::remove(Path("kxenv.tab").c_str());
  EXPECT_EQ(KXloadenvtab(Control(kAllGroups).c_str()), -1);
  EXPECT_EQ(trace.Count("KXloadenvtab: error opening file " +
                        Path("kxenv.tab") + "."),
            1);
  {
    ScopedEnv no_directory("KXIGLBL0000", nullptr);
    EXPECT_EQ(KXloadenvtab(Control(kAllGroups).c_str()), -1);
  }
  EXPECT_EQ(trace.Count("KXloadenvtab: exited successfully."), 0);
}

TEST_F(TableLoad, TracesItsWayThrough) {
  kxtest::TraceFile trace;
  ASSERT_EQ(Load(Row("ENV", "V", "AGENT", "x"), kAllGroups), 0);
  std::vector<std::string> texts = trace.LibraryTexts();
  std::vector<std::string> expected = {
      "KXloadenvtab: enter.", "LoadControlIndex: enter.",
      "LoadControlIndex: exited; rc=1.", "KXloadenvtab: exited successfully."};
  std::vector<std::string> seen;
  for (const std::string& text : texts)
    for (const std::string& line : expected)
      if (text == line) seen.push_back(text);
  EXPECT_EQ(seen, expected);
}

// While a load writes, this process's watcher waits instead of marking the
// cache stale after every definition.
TEST_F(TableLoad, WatcherHoldsBackWhileTheTableLoads) {
  std::string table;
  for (int i = 0; i < 60; ++i)
    table += Row("ENV", "V" + std::to_string(i), "AGENT", "x");
  ASSERT_EQ(Load(table, kAllGroups), 0);  // the store key exists now
  KXgetenv("V0");                         // starts the watcher
  kxtest::TraceFile trace;
  ASSERT_EQ(Load(table + Row("ENV", "LAST", "AGENT", "y"), kAllGroups), 0);
  std::vector<std::string> texts = trace.LibraryTexts();
  int marks = 0;
  bool loading = false;
  for (const std::string& text : texts) {
    if (text == "KXloadenvtab: enter.") loading = true;
    if (text == "KXloadenvtab: exited successfully.") loading = false;
    if (loading && text.find("setting dirty cache bits") != std::string::npos)
      ++marks;
  }
  // The flag clears just before the final trace line; one marking may slip
  // in between.
  EXPECT_LE(marks, 1);
  EXPECT_EQ(Str(KXgetenv("LAST")), "y");
}

// ---- The sample installation ------------------------------------------------

std::string ReadSample(const std::string& file) {
  std::ifstream in(std::string(KX_SAMPLE_DATA_DIR) + "/" + file,
                   std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(TableLoad, SampleInstallationLoadsWithItsEarlierValues) {
  for (const char* file : {"kxoldglb.ini", "kxoldopt.ini"})
    WriteFile(Path(file), ReadSample(file));
  ASSERT_EQ(Load(ReadSample("kxenv.tab"), ReadSample("kxenv.ctl")), 0);
  int applications = 0, environment = 0, options = 0;
  while (KXenumapp(applications, nullptr, 1)) ++applications;
  while (KXenumenv(environment, nullptr, nullptr, 1)) ++environment;
  while (KXenumopt(options, nullptr, nullptr, 1)) ++options;
  EXPECT_EQ(applications, 7);
  EXPECT_GT(environment, 30);
  EXPECT_GT(options, 20);
  // The control file's single choices.
  EXPECT_FALSE(KeyExists(OptKey("KXA_ALLOWED_HOSTS")));
  EXPECT_TRUE(KeyExists(EnvKey("KXR_OUTPUT_DIR")));
  EXPECT_FALSE(KeyExists(std::string(kxtest::kStoreKey) + "\\LCL"));
  // Values of the earlier installation, the sensitive one scrambled.
  EXPECT_EQ(ReadText(EnvKey("KX_MGR_HOST"), "Global"), "orrmgr01.example.net");
  EXPECT_EQ(Str(KXgetenv("KXE_HOST")), "orrmgr01.example.net");
  EXPECT_EQ(ReadRaw(EnvKey("KX_SERVICE_PASSWORD"), "Global")->type,
            static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(Str(KXgetglobal("KX_SERVICE_PASSWORD")), "Orr3ry.Svc-2019");
  EXPECT_EQ(Str(KXgetopt("KXA_HEARTBEAT")), "120");
  EXPECT_TRUE(FileExists(Path("kxoldglb.ini.BAK")));

  // A later table with another default: the value in use stays.
  std::string table = ReadSample("kxenv.tab");
  std::string old_default = "\"60\"    ";
  size_t row = table.find("\"KXA_HEARTBEAT\"");
  ASSERT_NE(row, std::string::npos);
  table.replace(table.find(old_default, row), old_default.size(), "\"90\"    ");
  ASSERT_EQ(KXsetopt("KXA_HEARTBEAT", "300"), 0);
  ASSERT_EQ(Load(table, ReadSample("kxenv.ctl")), 0);
  EXPECT_EQ(ReadText(OptKey("KXA_HEARTBEAT"), "Default"), "90");
  // The earlier installation's value is applied again by this process.
  EXPECT_EQ(Str(KXgetopt("KXA_HEARTBEAT")), "120");
}

// ---- A reader in another process during loads
// --------------------------------

// Reads the definitions of V0..V19 until told to stop; every record must be
// whole: its default, data type and maximum size come from the same load.
KX_ROLE(definition_reader) {
  kxtest::ExitAfter(std::chrono::seconds(60), 3);
  kxtest::Say("ready");
  int torn = 0;
  std::set<std::string> generations;
  while (access(args.at(0).c_str(), F_OK) != 0) {
    for (int i = 0; i < 20; ++i) {
      VariableRecord* record = nullptr;
      KXgetenvex(("V" + std::to_string(i)).c_str(), &record, KXENV_LEVEL_4);
      if (record && record->defaultValue && record->dataType) {
        std::string generation = record->dataType;
        generations.insert(generation);
        if (record->defaultValue != generation ||
            std::to_string(record->maxSize) != generation) {
          ++torn;
        }
      }
      if (record) KXfreemem(record);
    }
  }
  if (torn) return 1;
  return generations.size() > 1 ? 0 : 2;
}

TEST_F(TableLoad, AnotherProcessNeverSeesAHalfWrittenDefinition) {
  auto table = [](int generation) {
    std::string rows, g = std::to_string(generation);
    for (int i = 0; i < 20; ++i)
      rows += "\"ENV\" \"V" + std::to_string(i) + "\" \"AGENT\" \"%s<4>\" \"" +
              g + "\" \"" + g + "\" \"\" \"\" \"" + g + "\"\n";
    return rows;
  };
  ASSERT_EQ(Load(table(1), kAllGroups), 0);
  std::string stop = Path("stop");
  kxtest::Child reader("definition_reader", {stop});
  ASSERT_EQ(reader.ReadLine(), "ready");
  for (int generation = 2; generation < 30; ++generation)
    ASSERT_EQ(Load(table(generation), kAllGroups), 0);
  WriteFile(stop, "");
  EXPECT_EQ(reader.Wait(), 0);
}

}  // namespace
