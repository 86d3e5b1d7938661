// Loading the variable table: which rows the control file selects, what a
// definition holds, how values survive a load, and what the load leaves
// behind for the rest of the process.
#include <set>

#include "kxenv_test_util.h"
#include "kxenvprf.h"

namespace {

using namespace kxtest;

// The definition values of a variable key, as "name=value" words.
std::string Definition(const std::string& key) {
  std::string text;
  for (const char* name : {"Default", "App", "ChoiceType", "DataType"})
    text += std::string(name) + "=" + ReadText(key, name) + " ";
  for (const char* name : {"Description", "MaxSize", "ReadOnly", "Sensitive"}) {
    auto raw = ReadRaw(key, name);
    DWORD number = 0xFFFFFFFF;
    if (raw) std::memcpy(&number, raw->bytes.data(), 4);
    text += std::string(name) + "=" + std::to_string(number) + " ";
  }
  return text;
}

// A product directory with a table and a control file, named by
// KXIGLBL0000 through the process environment.
class TableLoad : public ::testing::Test {
 protected:
  TableLoad()
      : directory_(MakeTempDir("global")),
        global_("KXIGLBL0000", directory_.c_str()) {}

  std::string Path(const std::string& file) { return directory_ + "/" + file; }
  int Load(const std::string& rows, const std::string& directives) {
    WriteFile(Path("kxenv.tab"), rows);
    WriteFile(Path("kxenv.ctl"), directives);
    return KXloadenvtab(Path("kxenv.ctl").c_str());
  }
  // A profile file of an earlier installation holding one value block.
  void Profile(const std::string& file, const std::string& section,
               const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<unsigned char> block = PackValueBlock(pairs);
    int handle = OpenProfile(Path(file).c_str());
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(WriteProfileRecord(handle, section.c_str(), "ORRVARS",
                                   block.data(),
                                   static_cast<int>(block.size())));
    CloseProfile(handle);
  }

  std::string directory_;
  ScopedEnv global_;
};

constexpr char kAllGroups[] =
    "EnabledForProcessing=yes\nCopyGroup=AGENT\nCopyGroup=SCHED\n";

// A variable row; flags and choices only where a test needs them.
std::string Row(const std::string& keyword, const std::string& name,
                const std::string& app, const std::string& value) {
  return "\"" + keyword + "\" \"" + name + "\" \"" + app +
         "\" \"%s<4>\" \"260\" \"STRING\" \"\" \"\" \"" + value + "\"\n";
}

// With a loud trace the release of the control index is visible too: it
// comes before the load's last line.
TEST_F(TableLoad, WritesApplicationsAndEveryDefinitionValueAndTracesItsWay) {
  ScopedEnv loud("KXENV_LOUD", "1");
  TraceFile trace;
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
           kAllGroups + std::string("CopyVar=W\n")),
      0);
  EXPECT_FALSE(ReadRaw(kStoreKey + std::string("\\ENV"), "Default"));
  EXPECT_FALSE(KeyExists(EnvKey("AGENT")));
  EXPECT_EQ(ReadRaw(AppKey("AGENT"), "Description")->bytes,
            std::string("\x0d\0\0\0", 4));
  std::string port = EnvKey("AGENT_PORT");
  EXPECT_EQ(Definition(port),
            "Default=6100 App=AGENT ChoiceType=range DataType=NUMBER "
            "Description=42 MaxSize=5 ReadOnly=1 Sensitive=0 ");
  EXPECT_EQ(Definition(OptKey("AGENT_MODE")),
            "Default=safe App=AGENT ChoiceType=LIST DataType=STRING "
            "Description=0 MaxSize=8 ReadOnly=0 Sensitive=1 ");
  EXPECT_EQ(ReadRaw(port, "Choices")->bytes, std::string("1\0"
                                                         "65535\0\0",
                                                         9));
  // New to the store, with a default: the load pins an empty Local value,
  // which reads as the default.
  EXPECT_EQ(ReadText(port, "Local"), "");
  EXPECT_FALSE(ReadRaw(port, "Global"));
  EXPECT_TRUE(ReadRaw(AppKey("AGENT") + "\\ENV", "AGENT_PORT"));
  EXPECT_TRUE(ReadRaw(AppKey("AGENT") + "\\OPT", "AGENT_MODE"));
  EXPECT_EQ(Str(KXgetenv("AGENT_PORT")), "6100");
  EXPECT_EQ(Str(KXgetopt("AGENT_MODE")), "safe");

  const std::vector<std::string> expected = {
      "KXloadenvtab: enter.", "LoadControlIndex: enter.",
      "LoadControlIndex: exited; rc=1.", "KXloadenvtab: exited successfully."};
  std::vector<std::string> seen;
  std::string thread;  // of the last line, once seen
  int releases_after = 0;
  for (const TraceLine& line : trace.Lines()) {
    if (line.component != "KXENV2") continue;
    for (const std::string& text : expected)
      if (line.text == text) seen.push_back(text);
    if (line.text == expected.back()) thread = line.thread;
    releases_after += !thread.empty() && line.thread == thread &&
                      line.text.find("KXfreememEx") != std::string::npos;
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(releases_after, 0);
}

// Which of the variables A1, A2 (application AGENT), S1 (SCHED) and the
// LCL row a control file lets a load define.
TEST_F(TableLoad, TheControlFileSelectsTheRows) {
  const struct {
    const char* name;
    const char* directives;
    const char* defined;
  } cases[] = {
      {"processing is off at first", "CopyGroup=AGENT\nCopyGroup=SCHED\n", ""},
      {"switched off", "EnabledForProcessing=no\nCopyGroup=AGENT\n", ""},
      {"switching off ignores the lines that follow",
       "CopyGroup=SCHED\nEnabledForProcessing=YES\nCopyGroup=AGENT\n"
       "EnabledForProcessing=off\nCopyGroup=SCHED\n",
       "A1 A2 "},
      {"ExcludeVar leaves one variable of a group out",
       "EnabledForProcessing=yes\nCopyGroup=AGENT\nExcludeVar=A2\nCopyVar=S1\n",
       "A1 S1 "},
      {"CopyVar wins over ExcludeVar in either order",
       "EnabledForProcessing=yes\nCopyGroup=AGENT\nExcludeVar=A2\nCopyVar=A2\n"
       "CopyVar=S1\nExcludeVar=S1\n",
       "A1 A2 S1 "},
      // SCHED is first a copy group: the later ExcludeVar sets no directive.
      // A2 is first named by another key, which then decides for it.
      {"the first line naming a name decides its kind",
       "EnabledForProcessing=yes\nCopyGroup=SCHED\nExcludeVar=SCHED\n"
       "KeepVar=A2\nExcludeVar=A2\nCopyGroup=AGENT\n",
       "A1 A2 S1 "},
      {"blanks around the equals sign belong to key and name",
       "EnabledForProcessing=yes\nCopyVar =A1\nCopyVar= S1\n", ""},
      {"any entry named like the application selects its rows",
       "EnabledForProcessing=yes\nExcludeVar=AGENT\n", "A1 A2 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(
        Load("\"APP\" \"AGENT\" \"%s<13>\"\n" + Row("ENV", "A1", "AGENT", "x") +
                 Row("ENV", "A2", "AGENT", "x") +
                 Row("OPT", "S1", "SCHED", "x") +
                 Row("LCL", "L1", "AGENT", "x") +
                 "\"COMP\" \"AGENT\" \"%s<13>\"\n",
             c.directives),
        0);
    std::string defined;
    if (KeyExists(EnvKey("A1"))) defined += "A1 ";
    if (KeyExists(EnvKey("A2"))) defined += "A2 ";
    if (KeyExists(OptKey("S1"))) defined += "S1 ";
    if (KeyExists(kStoreKey + std::string("\\LCL"))) defined += "LCL ";
    EXPECT_EQ(defined, c.defined);
    EXPECT_TRUE(KeyExists(AppKey("AGENT")));  // APP rows always load
    for (const char* name : {"A1", "A2"}) KXdelenv(name);
    KXdelopt("S1");
  }
}

TEST_F(TableLoad, ALaterTableKeepsTheValuesInUseAndMovesTheMembership) {
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
                     Row("ENV", "MOVED", "SCHED", "B") +
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
  // Another application takes the membership over.
  EXPECT_FALSE(ReadRaw(AppKey("AGENT") + "\\ENV", "MOVED"));
  EXPECT_TRUE(ReadRaw(AppKey("SCHED") + "\\ENV", "MOVED"));
  EXPECT_EQ(ReadText(EnvKey("MOVED"), "App"), "SCHED");
}

TEST_F(TableLoad, ProfileValuesOfAnEarlierInstallationAreCarriedOver) {
  Profile("glb.ini", "ENVGLBL",
          {{"HOME", "/old/home"}, {"BOTH", "g"}, {"OPTG", "ignored"}});
  Profile("lcl.ini", "ENVLOCAL", {{"BOTH", "l"}, {"OPTL", "on"}});
  // A file without the record is moved aside all the same, over an older
  // backup.
  Profile("other.ini", "OTHER", {{"HOME", "/other"}});
  WriteFile(Path("other.ini.BAK"), "older backup");
  std::string table =
      "\"FILE\" \"envglbl\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"glb.ini\"\n"
      "\"FILE\" \"ENVLOCAL\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"lcl.ini\"\n"
      "\"FILE\" \"ENVLOCAL\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"none.ini\"\n"
      "\"FILE\" \"ENVGLBL\" \"\" \"ORRVARS\" \"KXIGLBL0000\" \"other.ini\"\n" +
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
  EXPECT_EQ(ReadFile(Path("glb.ini")), "<missing>");
  EXPECT_NE(ReadFile(Path("glb.ini.BAK")), "<missing>");
  EXPECT_NE(ReadFile(Path("lcl.ini.BAK")), "<missing>");
  EXPECT_EQ(ReadFile(Path("none.ini.BAK")), "<missing>");
  EXPECT_EQ(ReadFile(Path("other.ini")), "<missing>");
  EXPECT_NE(ReadFile(Path("other.ini.BAK")), "older backup");

  // A second load finds the files moved but applies their values again.
  ASSERT_EQ(KXsetglobal("HOME", "/changed"), 0);
  ASSERT_EQ(Load(table, kAllGroups), 0);
  EXPECT_EQ(ReadText(EnvKey("HOME"), "Global"), "/old/home");
}

TEST_F(TableLoad, LoadThatCannotStartReturnsMinusOneWithItsTrace) {
  TraceFile trace;
  WriteFile(Path("kxenv.tab"), Row("ENV", "V", "AGENT", "x"));
  // A directory opens on Linux, but it is no control file.
  for (const std::string& control : {Path("missing.ctl"), directory_}) {
    EXPECT_EQ(KXloadenvtab(control.c_str()), -1);
    EXPECT_EQ(trace.Count("LoadControlIndex: error opening file " + control +
                          "; exiting."),
              1);
  }
  EXPECT_EQ(KXloadenvtab(nullptr), -1);
  EXPECT_EQ(
      trace.Count("LoadControlIndex: error opening file (null); exiting."), 1);
  EXPECT_FALSE(KeyExists(EnvKey("V")));

  std::remove(Path("kxenv.tab").c_str());
  WriteFile(Path("kxenv.ctl"), kAllGroups);
  EXPECT_EQ(KXloadenvtab(Path("kxenv.ctl").c_str()), -1);
  EXPECT_EQ(trace.Count("KXloadenvtab: error opening file " +
                        Path("kxenv.tab") + "."),
            1);
  ScopedEnv no_directory("KXIGLBL0000", nullptr);
  EXPECT_EQ(KXloadenvtab(Path("kxenv.ctl").c_str()), -1);
  EXPECT_EQ(trace.Count("KXloadenvtab: exited successfully."), 0);
}

// While a load writes, this process's watcher waits instead of marking the
// cache stale after every definition, and it serves gets from the cache
// again once the load is over.
TEST_F(TableLoad, WatcherHoldsBackWhileTheTableLoads) {
  std::string table;
  for (int i = 0; i < 60; ++i)
    table += Row("ENV", "V" + std::to_string(i), "AGENT", "x");
  ASSERT_EQ(Load(table, kAllGroups), 0);  // the store key exists now
  TraceFile trace;
  ASSERT_TRUE(GetUntilHit([] { KXgetenv("V0"); }, "V0", trace));
  ASSERT_EQ(Load(table + Row("ENV", "LAST", "AGENT", "y"), kAllGroups), 0);
  int marks = 0;
  bool loading = false;
  for (const TraceLine& line : trace.Lines(true)) {
    if (line.pid != getpid()) continue;
    if (line.text == "KXloadenvtab: enter.") loading = true;
    if (line.text == "KXloadenvtab: exited successfully.") loading = false;
    marks += loading &&
             line.text.find("setting dirty cache bits") != std::string::npos;
  }
  // The flag clears just before the final trace line; one marking may slip
  // in between.
  EXPECT_LE(marks, 1);
  EXPECT_EQ(Str(KXgetenv("LAST")), "y");
  EXPECT_TRUE(GetUntilHit([] { KXgetenv("LAST"); }, "LAST", trace));
}

TEST_F(TableLoad, SampleInstallationLoadsWithItsEarlierValues) {
  auto sample = [](const std::string& file) {
    return ReadFile(std::string(KX_SAMPLE_DATA_DIR) + "/" + file);
  };
  for (const char* file : {"kxoldglb.ini", "kxoldopt.ini"})
    WriteFile(Path(file), sample(file));
  ASSERT_EQ(Load(sample("kxenv.tab"), sample("kxenv.ctl")), 0);
  int applications = 0;
  while (KXenumapp(applications, nullptr, 1)) ++applications;
  EXPECT_EQ(applications, 7);
  // The control file's single choices.
  EXPECT_FALSE(KeyExists(OptKey("KXA_ALLOWED_HOSTS")));
  EXPECT_TRUE(KeyExists(EnvKey("KXR_OUTPUT_DIR")));
  // Values of the earlier installation, the sensitive one scrambled.
  EXPECT_EQ(ReadText(EnvKey("KX_MGR_HOST"), "Global"), "orrmgr01.example.net");
  EXPECT_EQ(ReadRaw(EnvKey("KX_SERVICE_PASSWORD"), "Global")->type,
            static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(Str(KXgetglobal("KX_SERVICE_PASSWORD")), "Orr3ry.Svc-2019");
  EXPECT_EQ(Str(KXgetopt("KXA_HEARTBEAT")), "120");
}

// Reads the definitions of V0..V19 until told to stop; every record must be
// whole: its default, data type and maximum size come from the same load.
KX_ROLE(definition_reader) {
  ExitAfter(60s, 3);
  Say("ready");
  int torn = 0;
  std::set<std::string> generations;
  while (access(args.at(0).c_str(), F_OK) != 0) {
    for (int i = 0; i < 20; ++i) {
      VariableRecord* record = nullptr;
      KXgetenvex(("V" + std::to_string(i)).c_str(), &record, KXENV_LEVEL_4);
      if (record && record->defaultValue && record->dataType) {
        std::string generation = record->dataType;
        generations.insert(generation);
        torn += record->defaultValue != generation ||
                std::to_string(record->maxSize) != generation;
      }
      if (record) KXfreemem(record);
    }
  }
  if (torn) return 1;
  return generations.size() > 1 ? 0 : 2;
}

TEST_F(TableLoad, AnotherProcessNeverSeesAHalfWrittenDefinition) {
  if (!KxwinRegistryTransactions())
    GTEST_SKIP() << "no transacted registry calls: a load is not atomic";
  auto table = [](int generation) {
    std::string rows, g = std::to_string(generation);
    for (int i = 0; i < 20; ++i)
      rows += "\"ENV\" \"V" + std::to_string(i) + "\" \"AGENT\" \"%s<4>\" \"" +
              g + "\" \"" + g + "\" \"\" \"\" \"" + g + "\"\n";
    return rows;
  };
  ASSERT_EQ(Load(table(1), kAllGroups), 0);
  std::string stop = Path("stop");
  Child reader("definition_reader", {stop});
  ASSERT_EQ(reader.ReadLine(), "ready");
  for (int generation = 2; generation < 30; ++generation)
    ASSERT_EQ(Load(table(generation), kAllGroups), 0);
  WriteFile(stop, "");
  EXPECT_EQ(reader.Wait(), 0);
}

}  // namespace
