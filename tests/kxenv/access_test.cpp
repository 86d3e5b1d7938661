// Gets and sets over the store: which value each class sees, where a
// class-2 get falls back to, %NAME% references, the computed values, the
// record of each level, and what each set writes.
#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#endif

#include <ctime>
#include <filesystem>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

// "Default=d Local=l" as the text values of a key.
std::vector<StoreValue> Values(const std::string& words) {
  std::vector<StoreValue> values;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    size_t equals = word.find('=');
    values.push_back(Text(word.substr(0, equals), word.substr(equals + 1)));
  }
  return values;
}

// What KXgetenv (by the lower-cased name), KXgetlocal, KXgetglobal and
// KXgetopt give for a name, separated by blanks.
std::string Views(std::string name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  return Str(KXgetenv(lower.c_str())) + " " + Str(KXgetlocal(name.c_str())) +
         " " + Str(KXgetglobal(name.c_str())) + " " +
         Str(KXgetopt(name.c_str()));
}

std::string UserName() {
  char user[256];
  DWORD size = sizeof user;
  return GetUserNameA(user, &size) ? user : "<no user>";
}

DWORD NumberOf(const std::string& path, const char* name) {
  auto raw = ReadRaw(path, name);
  DWORD number = 0;
  if (raw && raw->bytes.size() == 4) std::memcpy(&number, raw->bytes.data(), 4);
  return number;
}

}  // namespace

// An empty value counts as none; options live under OPT and have no Global.
TEST(ClassView, EachClassReadsItsOwnValueThenTheDefault) {
  const struct {
    const char* row;
    bool option;
    const char* values;
    const char* views;  // env, local, global, opt
  } rows[] = {
      {"all three", false, "Default=d Local=l Global=g", "l l g (null)"},
      {"only global", false, "Global=g", "g (null) g (null)"},
      {"only local", false, "Local=l", "l l (null) (null)"},
      {"global and default", false, "Default=d Global=g", "g d g (null)"},
      {"local and default", false, "Default=d Local=l", "l l d (null)"},
      {"empty local", false, "Default=d Local= Global=g", "g d g (null)"},
      {"an option", true, "Default=d Global=g", "(null) (null) (null) d"},
      {"an option's local", true, "Local=l", "(null) (null) (null) l"},
  };
  int i = 0;
  for (const auto& r : rows) {
    std::string name = "KXT_VIEW" + std::to_string(++i);
    ASSERT_TRUE(
        WriteKey(r.option ? OptKey(name) : EnvKey(name), Values(r.values)));
    EXPECT_EQ(Views(name), r.views) << r.row;
  }
}

// After its own key, class 2 reads the legacy values (the store key, then
// the product key; a value of another type there ends the search), then the
// process environment, taken as it is.
TEST(ClassView, ClassTwoFallsBackToLegacyValuesThenTheEnvironment) {
  const struct {
    const char* row;
    const char* own;  // Default of the variable key
    const char* store;
    const char* product;
    const char* environment;
    const char* expected;
  } rows[] = {
      {"store key first", nullptr, "store", "product", nullptr, "store"},
      {"product key", nullptr, nullptr, "product", nullptr, "product"},
      {"a number ends the search", nullptr, "#", "product", nullptr, "(null)"},
      {"own key first", "own", "store", nullptr, "env", "own"},
      // Read under the machine-wide mutex, which lets its owner in again.
      {"reference in a legacy value", nullptr, nullptr, "%KXT_FB_TARGET%/x",
       nullptr, "t/x"},
      {"environment", nullptr, nullptr, nullptr, "env", "env"},
      {"environment unexpanded", nullptr, nullptr, nullptr, "%KXT_FB_TARGET%",
       "%KXT_FB_TARGET%"},
      {"empty environment", nullptr, nullptr, nullptr, "", "(null)"},
      {"legacy before environment", nullptr, nullptr, "legacy", "env",
       "legacy"},
  };
  ASSERT_TRUE(WriteKey(EnvKey("KXT_FB_TARGET"), {Text("Local", "t")}));
  int i = 0;
  for (const auto& r : rows) {
    std::string name = "KXT_FB" + std::to_string(++i);
    if (r.own) {
      ASSERT_TRUE(WriteKey(EnvKey(name), {Text("Default", r.own)}));
    }
    if (r.store) {
      ASSERT_TRUE(WriteKey(kStoreKey, {*r.store == '#' ? Number(name, 7)
                                                       : Text(name, r.store)}));
    }
    if (r.product) {
      ASSERT_TRUE(WriteKey(kProductKey, {Text(name, r.product)}));
    }
    ScopedEnv environment(name.c_str(), r.environment);
    std::string others =
        r.own ? std::string(" ") + r.own + " " + r.own : " (null) (null)";
    EXPECT_EQ(Views(name), r.expected + others + " (null)") << r.row;
  }
}

TEST(BuiltInValue, ComputerNameDateFormatAndBannerFontAreComputed) {
#ifdef _WIN32  // Wine reads it below HKEY_LOCAL_MACHINE, the test's store
  ASSERT_TRUE(
      WriteKey("System\\CurrentControlSet\\Control\\ComputerName\\"
               "ActiveComputerName",
               {Text("ComputerName", "KXTEST")}));
#endif
  {
    ScopedEnv none("COMPUTERNAME", nullptr);
    ASSERT_NE(GetMyName(), nullptr);
    EXPECT_EQ(Views("COMPUTERNAME"),
              std::string(GetMyName()) + " (null) (null) (null)");
    ScopedEnv named("COMPUTERNAME", "from-env");
    EXPECT_EQ(Str(KXgetenv("COMPUTERNAME")), "from-env");
  }
  ASSERT_TRUE(WriteKey(EnvKey("COMPUTERNAME"), {Text("Local", "stored")}));
  EXPECT_EQ(Str(KXgetenv("COMPUTERNAME")), "stored");

  ScopedEnv c_locale("LC_ALL", "C");
  char date[64] = "";
  ASSERT_GT(GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, date, 64),
            0);
  ASSERT_TRUE(WriteKey(EnvKey("KXI_DATEFMT"), {Text("Local", "system")}));
  EXPECT_EQ(Str(KXgetenv("KXI_DATEFMT")), date);
  EXPECT_EQ(Str(KXgetlocal("kxi_datefmt")), date);
  // Through a reference, SYSTEM is not looked at a second time.
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DATEFMT_REF"), {Text("Local", "SYSTEM")}));
  ASSERT_TRUE(
      WriteKey(EnvKey("KXI_DATEFMT"), {Text("Local", "%KXT_DATEFMT_REF%")}));
  EXPECT_EQ(Str(KXgetenv("KXI_DATEFMT")), "SYSTEM");

  LOGFONTA face{};
  ASSERT_NE(GetObjectA(GetStockObject(SYSTEM_FONT), sizeof face, &face), 0);
  ASSERT_NE(face.lfFaceName[0], '\0');
  ASSERT_TRUE(
      WriteKey(EnvKey("REPT_BANNER_FONT"), {Text("Default", "System")}));
  EXPECT_EQ(Str(KXgetglobal("REPT_BANNER_FONT")), face.lfFaceName);
  ASSERT_TRUE(WriteKey(EnvKey("KXT_OTHER_FONT"), {Text("Default", "SYSTEM")}));
  EXPECT_EQ(Str(KXgetenv("KXT_OTHER_FONT")), "SYSTEM");
}

// Only the first reference is expanded, any case of its name; an unknown
// name stays; a cycle ends after eight nested expansions, each adding one
// letter here, and the depth is back at zero afterwards.
TEST(Reference, TheFirstReferenceIsExpandedUpToEightDeep) {
  const struct {
    const char *name, *value, *expected;
  } rows[] = {
      {"KXT_REF_HOME", "D:\\Prog", "D:\\Prog"},
      {"KXT_REF_BIN", "%kxt_ref_home%\\bin", "D:\\Prog\\bin"},
      {"KXT_REF_TWO", "%KXT_REF_HOME%-%KXT_REF_HOME%",
       "D:\\Prog-%KXT_REF_HOME%"},
      {"KXT_REF_NONE", "%KXT_REF_NOWHERE%\\bin", "%KXT_REF_NOWHERE%\\bin"},
      {"KXT_REF_PERCENT", "100% and %%", "100% and %%"},
      {"KXT_REF_NESTED", "[%KXT_REF_BIN%]", "[D:\\Prog\\bin]"},
      {"KXT_CYC_A", "x%KXT_CYC_B%", "xyxyxyxyx%KXT_CYC_B%"},
      {"KXT_CYC_B", "y%KXT_CYC_A%", "yxyxyxyxy%KXT_CYC_A%"},
      {"KXT_CYC_SELF", "%KXT_CYC_SELF%!", "%KXT_CYC_SELF%!!!!!!!!!"},
      {"KXT_CYC_PLAIN", "<%KXT_REF_HOME%>", "<D:\\Prog>"},
  };
  for (const auto& r : rows) {
    ASSERT_TRUE(WriteKey(EnvKey(r.name), {Text("Global", r.value)}));
  }
  for (const auto& r : rows) {
    EXPECT_EQ(Str(KXgetenv(r.name)), r.expected) << r.name;
  }
}

// ---- Sets

TEST(VariableSet, EachClassWritesItsOwnValueAndTheUserAndTime) {
  const std::string env = EnvKey("KXT_SET_A");
  ASSERT_TRUE(WriteKey(
      env, {Text("LastUser", "somebody else"), Number("TimeStamp", 12345)}));
  time_t before = std::time(nullptr);
  EXPECT_EQ(KXsetenv("KXT_SET_A", "one"), 0);
  EXPECT_EQ(ReadText(env, "Local"), "one");
  EXPECT_EQ(KXsetlocal("kxt_set_a", "two"), 0);
  EXPECT_EQ(KXsetglobal("KXT_SET_A", "glob"), 0);
  time_t after = std::time(nullptr);
  EXPECT_EQ(ReadText(env, "Local") + " " + ReadText(env, "Global"), "two glob");
  EXPECT_EQ(Views("KXT_SET_A"), "two two glob (null)");
  EXPECT_EQ(ReadText(env, "LastUser"), UserName());
  EXPECT_GE(NumberOf(env, "TimeStamp"), static_cast<DWORD>(before));
  EXPECT_LE(NumberOf(env, "TimeStamp"), static_cast<DWORD>(after));
  VariableRecord* record = nullptr;
  ASSERT_NE(KXgetenvex("KXT_SET_A", &record, 5), nullptr);
  EXPECT_EQ(Str(record->lastUser), UserName());
  EXPECT_EQ(record->timeStamp, NumberOf(env, "TimeStamp"));

  EXPECT_FALSE(KeyExists(OptKey("KXT_SET_A")));
  EXPECT_EQ(KXsetopt("KXT_SET_A", "opt"), 0);
  EXPECT_EQ(ReadText(OptKey("KXT_SET_A"), "Local"), "opt");
  EXPECT_EQ(Views("KXT_SET_A"), "two two glob opt");
  EXPECT_EQ(KXsetopt("KXT_SET_OPT_ONLY", "o"), 0);
  EXPECT_FALSE(KeyExists(EnvKey("KXT_SET_OPT_ONLY")));

  // Read-only, choices and a maximum size do not stop a set.
  ASSERT_TRUE(WriteKey(EnvKey("KXT_SET_RO"),
                       {Number("ReadOnly", 1), Number("MaxSize", 2),
                        Multi("Choices", {"a", "b"})}));
  EXPECT_EQ(KXsetenv("KXT_SET_RO", "not a choice"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_SET_RO")), "not a choice");

  // A null value stores an empty Local that lets Global show through.
  EXPECT_EQ(KXsetenv("KXT_SET_A", nullptr), 0);
  auto local = ReadRaw(env, "Local");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(local->bytes, std::string(1, '\0'));
  EXPECT_EQ(Views("KXT_SET_A"), "glob (null) glob opt");
  EXPECT_EQ(Str(KXgetenvex("KXT_SET_A", &record, 2)), "glob");
  EXPECT_EQ(record->localValue, nullptr);
}

// kxwin's store files and users: Linux only.
#ifndef _WIN32
// As nobody, who may write registry.db (so that only the objects file
// stops a set) but not the objects file: reads, and says the set's result.
KX_ROLE(read_as_nobody) {
  passwd* nobody = getpwnam("nobody");
  if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
    return 3;
  }
  Say(Str(KXgetenv(args.at(0).c_str())));
  Say(std::to_string(KXsetenv(args.at(0).c_str(), "nobody")) + " " +
      std::to_string(KXdelenv(args.at(0).c_str())));
  return 0;
}

TEST(VariableSet, AReaderWhoMayNotWriteTheObjectsFileReadsButChangesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to become nobody";
  ASSERT_EQ(KXsetenv("KXT_READER", "root"), 0);
  namespace fs = std::filesystem;
  fs::path store = StoreDir();
  std::error_code error;
  fs::permissions(store.parent_path(), fs::perms::others_exec,
                  fs::perm_options::add, error);
  for (const char* file : {"registry.db", "registry.db-wal", "registry.db-shm"})
    fs::permissions(store / file,
                    fs::perms::others_read | fs::perms::others_write,
                    fs::perm_options::add, error);
  Child reader("read_as_nobody", {"KXT_READER"});
  EXPECT_EQ(reader.ReadLine(), "root");
  EXPECT_EQ(reader.ReadLine(), "-1 -1");
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_READER")), "root");
}

// In the store args[0]: says whether a get gave null, and what a set gave.
KX_ROLE(get_and_set_in) {
  alarm(10);
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  Say(std::to_string(KXgetenv("KXT_ANY") == nullptr) + " " +
      std::to_string(KXsetenv("KXT_ANY", "x")));
  return 0;
}

TEST(VariableSet, AnUnusableObjectsFileFailsGetsAndSetsAndTheTraceNamesIt) {
  TraceFile trace;
  const std::string dir = MakeTempDir("damaged");
  WriteFile(dir + "/objects", "damaged");
  int holder = open((dir + "/objects").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);  // as another process using it
  Child child("get_and_set_in", {dir});
  EXPECT_EQ(child.ReadLine(), "1 -1");
  close(holder);
  EXPECT_GT(trace.Count("Initialize: cannot use the objects file " + dir +
                            "/objects: The file or directory is corrupted",
                        child.pid()),
            0);
}
#endif

// ---- Names

// Refused before any fallback: not even the environment is asked.
TEST(VariableName, ANameWhoseKeyPathWouldExceed259BytesIsRefused) {
  const std::string fits = "KXT_LONG_" + std::string(185, 'F');
  const std::string too_long = fits + "G";
  ASSERT_EQ(EnvKey(fits).size(), 259u);
  EXPECT_EQ(KXsetenv(fits.c_str(), "fits"), 0);
  EXPECT_EQ(KXsetopt(fits.c_str(), "fits too"), 0);
  EXPECT_EQ(Str(KXgetenv(fits.c_str())) + Str(KXgetopt(fits.c_str())),
            "fitsfits too");
  auto count = [] {
    unsigned n = 0;
    while (KXenumenv(n, nullptr, nullptr, 1)) ++n;
    return n;
  };
  unsigned before = count();
  for (auto set : {KXsetenv, KXsetlocal, KXsetglobal, KXsetopt}) {
    EXPECT_EQ(set(too_long.c_str(), "no"), -1);
  }
  EXPECT_EQ(count(), before);
  EXPECT_FALSE(KeyExists(OptKey(too_long)));
  ScopedEnv environment(too_long.c_str(), "from-env");
  EXPECT_EQ(KXgetenv(too_long.c_str()), nullptr);
  VariableRecord* record = reinterpret_cast<VariableRecord*>(&record);
  EXPECT_EQ(KXgetenvex(too_long.c_str(), &record, 2), nullptr);
  EXPECT_EQ(record, nullptr);
}

TEST(VariableName, ANameThatIsNotOneKeyNameIsRefusedByEveryEntryPoint) {
  TraceFile trace;
  const std::string app = "KXT_NAME_APP", keep = "KXT_NAME_KEEP";
  ASSERT_EQ(KXsetenv(keep.c_str(), "env"), 0);
  ASSERT_EQ(KXsetopt(keep.c_str(), "opt"), 0);
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\ENV", {Text(keep, "")}));
  // Each would name a class key, or another key than its own.
  const std::string names[] = {"",          "\\",         keep + "\\",
                               "\\" + keep, app + "\\",   "KXT\nNAME",
                               "KXT\tNAME", "KXT\x7fNAME"};
  for (const std::string& text : names) {
    const char* name = text.c_str();
    SCOPED_TRACE(testing::PrintToString(text));
    VariableRecord* record = nullptr;
    EXPECT_EQ(KXgetenv(name), nullptr);
    EXPECT_EQ(KXgetoptex(name, &record, 99), nullptr);
    EXPECT_EQ(KXgetappex(name, &record, 99), nullptr);
    EXPECT_EQ(record, nullptr);
    for (auto set : {KXsetenv, KXsetlocal, KXsetglobal, KXsetopt}) {
      EXPECT_EQ(set(name, "x"), -1);
    }
    EXPECT_EQ(KXdelenv(name), 0);  // nothing of that name can exist
    EXPECT_EQ(KXdelopt(name), 0);
    EXPECT_EQ(KXdelapp(name), -1);  // as for a missing application
    EXPECT_EQ(KXwatchenv(name, nullptr, 0), -1);
    EXPECT_EQ(KXwatchopt(name, nullptr, 0), -1);
    EXPECT_EQ(KXenumenv(0, name, nullptr, 1), nullptr);
  }
  // One line per call above (KXdelapp's is its get's).
  EXPECT_EQ(trace.Count("is no variable name; refused"),
            static_cast<int>(std::size(names)) * 13);
  EXPECT_EQ(Str(KXgetenv(keep.c_str())) + Str(KXgetopt(keep.c_str())),
            "envopt");
  EXPECT_TRUE(KeyExists(AppKey(app)));
  for (const char* class_key : {"\\ENV", "\\OPT"}) {
    EXPECT_FALSE(ReadRaw(kStoreKey + std::string(class_key), "Local"));
  }
  // A key that the store holds already (written before names were checked)
  // is still listed, and so is every name after it.
  ASSERT_TRUE(WriteKey(EnvKey("KXT\nSTORED"), {Text("Local", "s")}));
  std::vector<std::string> listed;
  for (unsigned i = 0; const char* name = KXenumenv(i, nullptr, nullptr, 1);
       ++i)
    listed.emplace_back(name);
  EXPECT_EQ(listed, (std::vector<std::string>{"KXT\nSTORED", keep}));
  for (auto set : {KXsetenv, KXsetlocal, KXsetglobal, KXsetopt}) {
    EXPECT_EQ(set(nullptr, "x"), -1);
  }
  EXPECT_EQ(KXgetenvex(nullptr, nullptr, 1), nullptr);
}

// ---- Records

TEST(VariableRecord, EachLevelCarriesItsFieldsAndItsVersion) {
  ASSERT_TRUE(WriteKey(
      EnvKey("KXT_REC"),
      {Text("Default", "d"), Text("Local", "l"), Text("Global", "g"),
       Text("App", "KXT_REC_APP"), Multi("Choices", {"one", "two"}),
       Text("ChoiceType", "LIST"), Text("DataType", "STRING"),
       Number("Description", 1), Number("MaxSize", 40), Number("ReadOnly", 1),
       Text("LastUser", "someone"), Number("TimeStamp", 1234567)}));
  for (int level : {1, 2, 3, 4, 5, 99}) {
    SCOPED_TRACE("level " + std::to_string(level));
    VariableRecord* record = nullptr;
    char* value = KXgetenvex("kxt_rec", &record, level);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(value, record->value);
    EXPECT_EQ(record->version, static_cast<uintptr_t>(level));
    EXPECT_EQ(Str(record->className) + Str(record->name) + Str(record->value),
              "ENVKXT_RECl");
    if (level < 2) continue;
    EXPECT_EQ(Str(record->defaultValue) + Str(record->localValue) +
                  Str(record->globalValue),
              "dlg");
    if (level < 3) continue;
    EXPECT_EQ(Str(record->app), "KXT_REC_APP");
    EXPECT_EQ(Str(record->description),
              "Directory in which the product is installed.");
    if (level < 4) continue;
    ASSERT_NE(record->choices, nullptr);
    EXPECT_EQ(std::string(record->choices, 9), std::string("one\0two\0\0", 9));
    EXPECT_EQ(Str(record->choiceType) + Str(record->dataType), "LISTSTRING");
    EXPECT_EQ(record->maxSize, 40u);
    EXPECT_EQ(record->readOnly, 1u);
    EXPECT_EQ(record->sensitive, 0u);
    if (level < 5) continue;
    EXPECT_EQ(Str(record->lastUser), "someone");
    EXPECT_EQ(record->timeStamp, 1234567u);
    if (level < 99) continue;
    EXPECT_EQ(record->descriptionId, 1u);
  }
  // An unknown level gives no value, no record and a trace line; without a
  // record the level is not looked at.
  TraceFile trace;
  for (int level : {0, 6, 7, 100, -1}) {
    VariableRecord* record = reinterpret_cast<VariableRecord*>(&level);
    EXPECT_EQ(KXgetenvex("KXT_REC", &record, level), nullptr) << level;
    EXPECT_EQ(record, nullptr) << level;
  }
  EXPECT_EQ(
      trace.Count("GetValue KXT_REC: returned NULL; data conversion error."),
      5);
  EXPECT_EQ(KXgetenvex("KXT_REC", nullptr, 7), KXgetenv("KXT_REC"));
}

KX_ROLE(describe) {
  VariableRecord* record = nullptr;
  KXgetenvex(args.at(0).c_str(), &record, 3);
  Say(record ? Str(record->description) : "(no record)");
  return 0;
}

TEST(VariableRecord, DescriptionsComeFromTheCatalogOfTheLocale) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DESC"), {Number("Description", 1)}));
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_DESC_UNKNOWN"), {Number("Description", 9999)}));
  ScopedEnv catalogs("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  ScopedEnv messages("LC_MESSAGES", nullptr);
  ScopedEnv lang("LANG", nullptr);
  const struct {
    const char *locale, *name, *expected;
  } rows[] = {
      {"C", "KXT_DESC", "Directory in which the product is installed."},
      {"C", "KXT_DESC_UNKNOWN", "(null)"},
      {"de_DE.UTF-8", "KXT_DESC",
       "Verzeichnis, in dem das Produkt installiert ist."},
  };
  for (const auto& r : rows) {
    if (*r.locale != 'C') KX_LINUX_ONLY("the language comes from LC_ALL");
    ScopedEnv locale("LC_ALL", r.locale);
    Child child("describe", {r.name});
    EXPECT_EQ(child.ReadLine(), r.expected) << r.locale << " " << r.name;
    EXPECT_EQ(child.Wait(), 0);
  }
}

TEST(ApplicationGet, AppexGivesTheDescriptionTextOrNothing) {
  ASSERT_TRUE(WriteKey(AppKey("KXT_APP_DESC"), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey("KXT_APP_BARE"), {Text("Other", "x")}));
  VariableRecord* record = nullptr;
  char* value = KXgetappex("kxt_app_desc", &record, 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(value, record->value);
  EXPECT_EQ(Str(value), "Directory in which the product is installed.");
  EXPECT_EQ(Str(record->className) + " " + Str(record->name),
            "APP KXT_APP_DESC");
  EXPECT_EQ(KXgetappex("KXT_APP_BARE", &record, 1), nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->className), "APP");
}
