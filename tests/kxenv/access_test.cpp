// Gets and sets over the store: which value each class sees of one variable
// key, where a class-2 get falls back to, %NAME% references, the computed
// values, the record of each level, and what each set writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "kxenv_test_util.h"

namespace {

using kxtest::AppKey;
using kxtest::EnvKey;
using kxtest::Multi;
using kxtest::Number;
using kxtest::OptKey;
using kxtest::ReadRaw;
using kxtest::ReadText;
using kxtest::ScopedEnv;
using kxtest::Str;
using kxtest::Text;
using kxtest::WriteKey;

constexpr char kDescriptionOne[] =
    "Directory in which the product is installed.";

std::string UserName() {
  char user[256];
  DWORD size = sizeof user;
  return GetUserNameA(user, &size) ? user : "<no user>";
}

DWORD NumberOf(const std::string& path, const char* name) {
  auto raw = ReadRaw(path, name);
  DWORD number = 0;
  if (raw && raw->type == REG_DWORD && raw->bytes.size() == sizeof number) {
    std::memcpy(&number, raw->bytes.data(), sizeof number);
  }
  return number;
}

}  // namespace

// ---- Each class's view of one variable key

TEST(ClassView, EnvPrefersLocalWhileLocalAndGlobalSeeOnlyTheirOwnValue) {
  ASSERT_TRUE(WriteKey(
      EnvKey("KXT_VIEW"),
      {Text("Default", "dflt"), Text("Local", "lcl"), Text("Global", "gbl")}));
  EXPECT_EQ(Str(KXgetenv("KXT_VIEW")), "lcl");
  EXPECT_EQ(Str(KXgetlocal("KXT_VIEW")), "lcl");
  EXPECT_EQ(Str(KXgetglobal("KXT_VIEW")), "gbl");
  EXPECT_EQ(Str(KXgetopt("KXT_VIEW")), "(null)");  // options live under OPT
  EXPECT_EQ(Str(KXgetenv("kxt_view")), "lcl");     // any case finds the key

  ASSERT_TRUE(WriteKey(EnvKey("KXT_VIEW_ONLY_GLOBAL"), {Text("Global", "g")}));
  EXPECT_EQ(Str(KXgetlocal("KXT_VIEW_ONLY_GLOBAL")), "(null)");
  EXPECT_EQ(Str(KXgetenv("KXT_VIEW_ONLY_GLOBAL")), "g");
  ASSERT_TRUE(WriteKey(EnvKey("KXT_VIEW_ONLY_LOCAL"), {Text("Local", "l")}));
  EXPECT_EQ(Str(KXgetglobal("KXT_VIEW_ONLY_LOCAL")), "(null)");
  EXPECT_EQ(Str(KXgetenv("KXT_VIEW_ONLY_LOCAL")), "l");
}

TEST(ClassView, MissingOrEmptyValuesFallThroughToTheNextSource) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_VIEW_GD"),
                       {Text("Default", "dflt"), Text("Global", "gbl")}));
  EXPECT_EQ(Str(KXgetlocal("KXT_VIEW_GD")), "dflt");
  EXPECT_EQ(Str(KXgetenv("KXT_VIEW_GD")), "gbl");

  ASSERT_TRUE(WriteKey(EnvKey("KXT_VIEW_LD"),
                       {Text("Default", "dflt"), Text("Local", "lcl")}));
  EXPECT_EQ(Str(KXgetglobal("KXT_VIEW_LD")), "dflt");

  // An empty Local lets Global show through; the local view reads the
  // default.
  ASSERT_TRUE(WriteKey(
      EnvKey("KXT_VIEW_EMPTY"),
      {Text("Default", "dflt"), Text("Local", ""), Text("Global", "gbl")}));
  EXPECT_EQ(Str(KXgetenv("KXT_VIEW_EMPTY")), "gbl");
  EXPECT_EQ(Str(KXgetglobal("KXT_VIEW_EMPTY")), "gbl");
  EXPECT_EQ(Str(KXgetlocal("KXT_VIEW_EMPTY")), "dflt");

  ASSERT_TRUE(WriteKey(OptKey("KXT_VIEW_OPT"),
                       {Text("Default", "od"), Text("Global", "og")}));
  EXPECT_EQ(Str(KXgetopt("KXT_VIEW_OPT")), "od");  // options have no Global
  EXPECT_EQ(Str(KXgetenv("KXT_VIEW_OPT")), "(null)");
}

// ---- Legacy places and the process environment (class 2 only)

TEST(LegacyValue, StoreKeyComesBeforeProductKeyAndOnlyTextCounts) {
  ASSERT_TRUE(WriteKey(kxtest::kStoreKey, {Text("KXT_LEG_BOTH", "from-store"),
                                           Number("KXT_LEG_NUMBER", 7),
                                           Number("KXT_LEG_HIDDEN", 7)}));
  ASSERT_TRUE(
      WriteKey(kxtest::kProductKey, {Text("KXT_LEG_BOTH", "from-product"),
                                     Text("KXT_LEG_PRODUCT", "product-only"),
                                     Text("KXT_LEG_HIDDEN", "product")}));
  EXPECT_EQ(Str(KXgetenv("KXT_LEG_BOTH")), "from-store");
  EXPECT_EQ(Str(KXgetenv("kxt_leg_product")), "product-only");
  EXPECT_EQ(Str(KXgetenv("KXT_LEG_NUMBER")), "(null)");
  // A value of another type under the store key ends the search there.
  EXPECT_EQ(Str(KXgetenv("KXT_LEG_HIDDEN")), "(null)");

  for (auto get : {KXgetlocal, KXgetglobal, KXgetopt}) {
    EXPECT_EQ(Str(get("KXT_LEG_BOTH")), "(null)");
  }
  // A reference in a legacy value is read while the lookup holds the
  // machine-wide mutex: the mutex must let its owner in again.
  ASSERT_TRUE(WriteKey(EnvKey("KXT_LEG_TARGET"), {Text("Local", "t")}));
  ASSERT_TRUE(WriteKey(kxtest::kProductKey,
                       {Text("KXT_LEG_REF", "%KXT_LEG_TARGET%/x")}));
  EXPECT_EQ(Str(KXgetenv("KXT_LEG_REF")), "t/x");

  // The variable key's own values come first.
  ASSERT_TRUE(WriteKey(EnvKey("KXT_LEG_BOTH"), {Text("Default", "own")}));
  EXPECT_EQ(Str(KXgetenv("KXT_LEG_BOTH")), "own");
}

TEST(EnvironmentValue, ClassTwoReadsTheUpperCasedNameAfterTheLegacyPlaces) {
  ScopedEnv plain("KXT_PENV", "from-env");
  EXPECT_EQ(Str(KXgetenv("kxt_penv")), "from-env");
  EXPECT_EQ(Str(KXgetlocal("KXT_PENV")), "(null)");
  EXPECT_EQ(Str(KXgetglobal("KXT_PENV")), "(null)");
  EXPECT_EQ(Str(KXgetopt("KXT_PENV")), "(null)");

  // Taken as it is: a reference in it is not expanded.
  ASSERT_TRUE(WriteKey(EnvKey("KXT_PENV_TARGET"), {Text("Local", "t")}));
  ScopedEnv reference("KXT_PENV_REF", "%KXT_PENV_TARGET%");
  EXPECT_EQ(Str(KXgetenv("KXT_PENV_REF")), "%KXT_PENV_TARGET%");

  ScopedEnv empty("KXT_PENV_EMPTY", "");
  EXPECT_EQ(Str(KXgetenv("KXT_PENV_EMPTY")), "(null)");

  ScopedEnv shadowed("KXT_PENV_LEGACY", "from-env");
  ASSERT_TRUE(
      WriteKey(kxtest::kStoreKey, {Text("KXT_PENV_LEGACY", "from-legacy")}));
  EXPECT_EQ(Str(KXgetenv("KXT_PENV_LEGACY")), "from-legacy");

  ASSERT_TRUE(WriteKey(EnvKey("KXT_PENV"), {Text("Default", "stored")}));
  EXPECT_EQ(Str(KXgetenv("KXT_PENV")), "stored");
}

// ---- Values the library computes

TEST(BuiltInValue, ComputerNameIsTheMachineNameForClassTwoOnly) {
  ScopedEnv none("COMPUTERNAME", nullptr);
  ASSERT_NE(GetMyName(), nullptr);
  EXPECT_EQ(Str(KXgetenv("computername")), GetMyName());
  EXPECT_EQ(Str(KXgetlocal("COMPUTERNAME")), "(null)");
  EXPECT_EQ(Str(KXgetglobal("COMPUTERNAME")), "(null)");
  EXPECT_EQ(Str(KXgetopt("COMPUTERNAME")), "(null)");
  {
    ScopedEnv named("COMPUTERNAME", "from-env");
    EXPECT_EQ(Str(KXgetenv("COMPUTERNAME")), "from-env");
  }
  ASSERT_TRUE(WriteKey(EnvKey("COMPUTERNAME"), {Text("Local", "stored")}));
  EXPECT_EQ(Str(KXgetenv("COMPUTERNAME")), "stored");
}

TEST(BuiltInValue, DateFormatSystemIsTheLocalesShortDate) {
  ScopedEnv c_locale("LC_ALL", "C");
  char expected[64] = "";
  ASSERT_GT(GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, expected,
                           sizeof expected),
            0);
  EXPECT_STREQ(expected, "MM/dd/yy");

  ASSERT_TRUE(WriteKey(EnvKey("KXI_DATEFMT"), {Text("Local", "system")}));
  EXPECT_EQ(Str(KXgetenv("KXI_DATEFMT")), expected);
  EXPECT_EQ(Str(KXgetlocal("kxi_datefmt")), expected);

  // Through a reference, SYSTEM is not looked at a second time.
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DATEFMT_REF"), {Text("Local", "SYSTEM")}));
  ASSERT_TRUE(
      WriteKey(EnvKey("KXI_DATEFMT"), {Text("Local", "%KXT_DATEFMT_REF%")}));
  EXPECT_EQ(Str(KXgetenv("KXI_DATEFMT")), "SYSTEM");

  ASSERT_TRUE(WriteKey(EnvKey("KXI_DATEFMT"), {Text("Local", "dd.MM.yyyy")}));
  EXPECT_EQ(Str(KXgetenv("KXI_DATEFMT")), "dd.MM.yyyy");
}

TEST(BuiltInValue, BannerFontSystemIsTheSystemFontFaceAndOthersStaySystem) {
  LOGFONTA face{};
  ASSERT_NE(GetObjectA(GetStockObject(SYSTEM_FONT), sizeof face, &face), 0);
  ASSERT_NE(face.lfFaceName[0], '\0');

  ASSERT_TRUE(
      WriteKey(EnvKey("REPT_BANNER_FONT"), {Text("Default", "System")}));
  EXPECT_EQ(Str(KXgetenv("REPT_BANNER_FONT")), face.lfFaceName);
  EXPECT_EQ(Str(KXgetglobal("REPT_BANNER_FONT")), face.lfFaceName);

  ASSERT_TRUE(WriteKey(EnvKey("KXT_OTHER_FONT"), {Text("Default", "SYSTEM")}));
  EXPECT_EQ(Str(KXgetenv("KXT_OTHER_FONT")), "SYSTEM");
  ASSERT_TRUE(WriteKey(OptKey("KXT_OTHER_FONT"), {Text("Local", "system")}));
  EXPECT_EQ(Str(KXgetopt("KXT_OTHER_FONT")), "system");
}

// ---- %NAME% references

TEST(Reference, OnlyTheFirstReferenceIsExpandedAndUnknownNamesStay) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_REF_HOME"), {Text("Local", "D:\\Prog")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_REF_BIN"),
                       {Text("Default", "%KXT_REF_HOME%\\bin")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_REF_TWO"),
                       {Text("Local", "%KXT_REF_HOME%-%KXT_REF_HOME%")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_REF_NONE"),
                       {Text("Local", "%KXT_REF_NOWHERE%\\bin")}));
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_REF_PERCENT"), {Text("Local", "100% and %%")}));
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_REF_NESTED"), {Text("Global", "[%kxt_ref_bin%]")}));

  EXPECT_EQ(Str(KXgetenv("KXT_REF_BIN")), "D:\\Prog\\bin");
  EXPECT_EQ(Str(KXgetlocal("KXT_REF_BIN")), "D:\\Prog\\bin");
  EXPECT_EQ(Str(KXgetenv("KXT_REF_TWO")), "D:\\Prog-%KXT_REF_HOME%");
  EXPECT_EQ(Str(KXgetenv("KXT_REF_NONE")), "%KXT_REF_NOWHERE%\\bin");
  EXPECT_EQ(Str(KXgetenv("KXT_REF_PERCENT")), "100% and %%");
  EXPECT_EQ(Str(KXgetglobal("KXT_REF_NESTED")), "[D:\\Prog\\bin]");
}

TEST(Reference, ACycleEndsAfterEightNestedExpansions) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CYC_A"), {Text("Local", "x%KXT_CYC_B%")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CYC_B"), {Text("Local", "y%KXT_CYC_A%")}));
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_CYC_SELF"), {Text("Local", "%KXT_CYC_SELF%!")}));
  // Eight expansions, each adding one letter; the innermost stays.
  EXPECT_EQ(Str(KXgetenv("KXT_CYC_A")), "xyxyxyxyx%KXT_CYC_B%");
  EXPECT_EQ(Str(KXgetenv("KXT_CYC_B")), "yxyxyxyxy%KXT_CYC_A%");
  EXPECT_EQ(Str(KXgetenv("KXT_CYC_SELF")), "%KXT_CYC_SELF%!!!!!!!!!");
  // The depth is back at zero afterwards: a plain reference still expands.
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_CYC_PLAIN"), {Text("Local", "<%KXT_CYC_Z%>")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_CYC_Z"), {Text("Local", "z")}));
  EXPECT_EQ(Str(KXgetenv("KXT_CYC_PLAIN")), "<z>");
}

// ---- Sets

TEST(VariableSet, EnvAndLocalWriteLocalGlobalWritesGlobalOptWritesItsOwnKey) {
  const std::string env = EnvKey("KXT_SET_A");
  EXPECT_EQ(KXsetenv("KXT_SET_A", "one"), 0);
  EXPECT_EQ(ReadText(env, "Local"), "one");
  EXPECT_EQ(KXsetlocal("kxt_set_a", "two"), 0);
  EXPECT_EQ(ReadText(env, "Local"), "two");
  EXPECT_EQ(Str(KXgetenv("KXT_SET_A")), "two");

  EXPECT_EQ(KXsetglobal("KXT_SET_A", "glob"), 0);
  EXPECT_EQ(ReadText(env, "Global"), "glob");
  EXPECT_EQ(ReadText(env, "Local"), "two");
  EXPECT_EQ(Str(KXgetenv("KXT_SET_A")), "two");
  EXPECT_EQ(Str(KXgetlocal("KXT_SET_A")), "two");
  EXPECT_EQ(Str(KXgetglobal("KXT_SET_A")), "glob");

  EXPECT_FALSE(kxtest::KeyExists(OptKey("KXT_SET_A")));
  EXPECT_EQ(KXsetopt("KXT_SET_A", "opt"), 0);
  EXPECT_EQ(ReadText(OptKey("KXT_SET_A"), "Local"), "opt");
  EXPECT_EQ(ReadText(env, "Local"), "two");
  EXPECT_EQ(Str(KXgetopt("KXT_SET_A")), "opt");
  EXPECT_EQ(Str(KXgetenv("KXT_SET_A")), "two");

  EXPECT_EQ(KXsetopt("KXT_SET_OPT_ONLY", "o"), 0);
  EXPECT_FALSE(kxtest::KeyExists(EnvKey("KXT_SET_OPT_ONLY")));
}

TEST(VariableSet, NullValueStoresAnEmptyLocalThatLetsGlobalShowThrough) {
  ASSERT_EQ(KXsetglobal("KXT_SET_NULL", "G"), 0);
  ASSERT_EQ(KXsetenv("KXT_SET_NULL", "L"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_SET_NULL")), "L");
  EXPECT_EQ(KXsetenv("KXT_SET_NULL", nullptr), 0);
  auto local = ReadRaw(EnvKey("KXT_SET_NULL"), "Local");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(local->bytes, std::string(1, '\0'));
  EXPECT_EQ(Str(KXgetenv("KXT_SET_NULL")), "G");
  EXPECT_EQ(Str(KXgetlocal("KXT_SET_NULL")), "(null)");
  // The record holds no string for it either.
  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXgetenvex("KXT_SET_NULL", &record, 2)), "G");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->localValue, nullptr);
  EXPECT_EQ(Str(record->globalValue), "G");
}

TEST(VariableSet, EverySetRecordsTheUserAndTheTime) {
  const std::string key = EnvKey("KXT_SET_WHO");
  ASSERT_TRUE(WriteKey(
      key, {Text("LastUser", "somebody else"), Number("TimeStamp", 12345)}));
  time_t before = std::time(nullptr);
  ASSERT_EQ(KXsetglobal("KXT_SET_WHO", "g"), 0);
  time_t after = std::time(nullptr);
  EXPECT_EQ(ReadText(key, "LastUser"), UserName());
  EXPECT_GE(NumberOf(key, "TimeStamp"), static_cast<DWORD>(before));
  EXPECT_LE(NumberOf(key, "TimeStamp"), static_cast<DWORD>(after));

  VariableRecord* record = nullptr;
  ASSERT_NE(KXgetenvex("KXT_SET_WHO", &record, 5), nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->lastUser), UserName());
  EXPECT_EQ(record->timeStamp, NumberOf(key, "TimeStamp"));
}

TEST(VariableSet, ReadOnlyChoicesAndMaxSizeDoNotStopASet) {
  ASSERT_TRUE(
      WriteKey(EnvKey("KXT_SET_RO"),
               {Number("ReadOnly", 1), Number("MaxSize", 2),
                Multi("Choices", {"a", "b"}), Text("ChoiceType", "LIST")}));
  EXPECT_EQ(KXsetenv("KXT_SET_RO", "not a choice and too long"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_SET_RO")), "not a choice and too long");
}

TEST(VariableSet, NullNamesAreRefused) {
  EXPECT_EQ(KXsetenv(nullptr, "x"), -1);
  EXPECT_EQ(KXsetlocal(nullptr, "x"), -1);
  EXPECT_EQ(KXsetglobal(nullptr, "x"), -1);
  EXPECT_EQ(KXsetopt(nullptr, "x"), -1);
  EXPECT_EQ(KXgetenv(nullptr), nullptr);
  VariableRecord* record = nullptr;
  EXPECT_EQ(KXgetenvex(nullptr, &record, 1), nullptr);
  EXPECT_EQ(record, nullptr);
}

// As nobody, who may write registry.db (so that only the objects file
// stops a set) but not the objects file: reads, and says the set's result.
KX_ROLE(read_as_nobody) {
  passwd* nobody = getpwnam("nobody");
  if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
    return 3;
  }
  kxtest::Say(Str(KXgetenv(args.at(0).c_str())));
  kxtest::Say(std::to_string(KXsetenv(args.at(0).c_str(), "nobody")) + " " +
              std::to_string(KXdelenv(args.at(0).c_str())));
  return 0;
}

TEST(VariableSet, AReaderWhoMayNotWriteTheObjectsFileReadsButChangesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to become nobody";
  ASSERT_EQ(KXsetenv("KXT_READER", "root"), 0);
  namespace fs = std::filesystem;
  fs::path store = kxtest::StoreDir();
  std::error_code error;
  fs::permissions(store.parent_path(), fs::perms::others_exec,
                  fs::perm_options::add, error);
  for (const char* file :
       {"registry.db", "registry.db-wal", "registry.db-shm"}) {
    fs::permissions(store / file,
                    fs::perms::others_read | fs::perms::others_write,
                    fs::perm_options::add, error);
  }
  kxtest::Child reader("read_as_nobody", {"KXT_READER"});
  EXPECT_EQ(reader.ReadLine(), "root");
  EXPECT_EQ(reader.ReadLine(), "-1 -1");
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_READER")), "root");
}

// In the store args[0]: says whether a get gave null, and what a set gave.
KX_ROLE(get_and_set_in) {
  alarm(10);
  setenv("KX_REGISTRY", args.at(0).c_str(), 1);
  kxtest::Say(std::to_string(KXgetenv("KXT_ANY") == nullptr) + " " +
              std::to_string(KXsetenv("KXT_ANY", "x")));
  return 0;
}

TEST(VariableSet, AnUnusableObjectsFileFailsGetsAndSetsAndTheTraceNamesIt) {
  kxtest::TraceFile trace;
  const std::string dir = kxtest::MakeTempDir("damaged");
  std::ofstream(dir + "/objects") << "damaged";
  int holder = open((dir + "/objects").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);  // as another process using it
  kxtest::Child child("get_and_set_in", {dir});
  EXPECT_EQ(child.ReadLine(), "1 -1");
  close(holder);
  EXPECT_GT(trace.Count("Initialize: cannot use the objects file " + dir +
                            "/objects: The file or directory is corrupted",
                        child.pid()),
            0);
}

// ---- Key paths

TEST(KeyPath, ANameWhoseKeyPathWouldExceed259BytesIsRefused) {
  const std::string fits = "KXT_LONG_" + std::string(185, 'F');
  const std::string too_long = fits + "G";
  ASSERT_EQ(EnvKey(fits).size(), 259u);

  EXPECT_EQ(KXsetenv(fits.c_str(), "fits"), 0);
  EXPECT_EQ(Str(KXgetenv(fits.c_str())), "fits");
  EXPECT_EQ(KXsetopt(fits.c_str(), "fits too"), 0);
  EXPECT_EQ(Str(KXgetopt(fits.c_str())), "fits too");

  kxtest::Key env;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          (std::string(kxtest::kStoreKey) + "\\ENV").c_str(), 0,
                          KEY_READ, env.out()),
            ERROR_SUCCESS);
  auto subkeys = [&env] {
    DWORD count = 0;
    RegQueryInfoKeyA(env, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr);
    return count;
  };
  DWORD keys_before = subkeys();
  EXPECT_EQ(KXsetenv(too_long.c_str(), "no"), -1);
  EXPECT_EQ(KXsetlocal(too_long.c_str(), "no"), -1);
  EXPECT_EQ(KXsetglobal(too_long.c_str(), "no"), -1);
  EXPECT_EQ(KXsetopt(too_long.c_str(), "no"), -1);
  EXPECT_EQ(subkeys(), keys_before);
  EXPECT_FALSE(kxtest::KeyExists(OptKey(too_long)));

  // Refused before any fallback: not even the environment is asked.
  ScopedEnv environment(too_long.c_str(), "from-env");
  EXPECT_EQ(KXgetenv(too_long.c_str()), nullptr);
  VariableRecord* record = reinterpret_cast<VariableRecord*>(&record);
  EXPECT_EQ(KXgetenvex(too_long.c_str(), &record, 2), nullptr);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(KXgetappex(too_long.c_str(), &record, 2), nullptr);
  EXPECT_EQ(record, nullptr);
}

TEST(KeyPath, ANameThatIsNotOneKeyNameIsRefusedByEveryEntryPoint) {
  kxtest::TraceFile trace;
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
  EXPECT_EQ(Str(KXgetenv(keep.c_str())), "env");
  EXPECT_EQ(Str(KXgetopt(keep.c_str())), "opt");
  EXPECT_TRUE(kxtest::KeyExists(AppKey(app)));
  for (const char* class_key : {"\\ENV", "\\OPT"}) {
    EXPECT_FALSE(ReadRaw(kxtest::kStoreKey + std::string(class_key), "Local"));
  }
  // A key that the store holds already (written before names were checked)
  // is still listed, and so is every name after it.
  ASSERT_TRUE(WriteKey(EnvKey("KXT\nSTORED"), {Text("Local", "s")}));
  std::vector<std::string> listed;
  for (unsigned i = 0; const char* name = KXenumenv(i, nullptr, nullptr, 1);
       ++i) {
    listed.emplace_back(name);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"KXT\nSTORED", keep}));
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
    EXPECT_EQ(Str(record->className), "ENV");
    EXPECT_EQ(Str(record->name), "KXT_REC");
    EXPECT_EQ(Str(record->value), "l");
    if (level < 2) continue;
    EXPECT_EQ(Str(record->defaultValue), "d");
    EXPECT_EQ(Str(record->localValue), "l");
    EXPECT_EQ(Str(record->globalValue), "g");
    if (level < 3) continue;
    EXPECT_EQ(Str(record->app), "KXT_REC_APP");
    ASSERT_NE(record->description, nullptr);
    EXPECT_STRNE(record->description, "");
    if (level < 4) continue;
    ASSERT_NE(record->choices, nullptr);
    EXPECT_EQ(std::string(record->choices, 9), std::string("one\0two\0\0", 9));
    EXPECT_EQ(Str(record->choiceType), "LIST");
    EXPECT_EQ(Str(record->dataType), "STRING");
    EXPECT_EQ(record->maxSize, 40u);
    EXPECT_EQ(record->readOnly, 1u);
    EXPECT_EQ(record->sensitive, 0u);
    if (level < 5) continue;
    EXPECT_EQ(Str(record->lastUser), "someone");
    EXPECT_EQ(record->timeStamp, 1234567u);
    if (level < 99) continue;
    EXPECT_EQ(record->descriptionId, 1u);
  }
}

TEST(VariableRecord, TheNameOfARecordFetchedAsPathReadsPATH) {
  ASSERT_NE(std::getenv("PATH"), nullptr);
  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXgetenvex("path", &record, 1)), std::getenv("PATH"));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->name), "PATH");

  ASSERT_TRUE(WriteKey(OptKey("Kxt_Opt_Mixed"), {Text("Local", "v")}));
  EXPECT_EQ(Str(KXgetoptex("kxt_opt_mixed", &record, 2)), "v");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->name), "KXT_OPT_MIXED");
  EXPECT_EQ(Str(record->className), "OPT");
}

TEST(VariableRecord, AnUnknownLevelGivesNoValueNoRecordAndATrace) {
  kxtest::TraceFile trace;
  ASSERT_TRUE(WriteKey(EnvKey("KXT_LEVEL"), {Text("Local", "v")}));
  for (int level : {0, 6, 7, 100, -1}) {
    VariableRecord* record = reinterpret_cast<VariableRecord*>(&record);
    EXPECT_EQ(KXgetenvex("KXT_LEVEL", &record, level), nullptr) << level;
    EXPECT_EQ(record, nullptr) << level;
  }
  EXPECT_EQ(
      trace.Count("GetValue KXT_LEVEL: returned NULL; data conversion error."),
      5);
  // Without a record the level is not looked at: a level-1 get.
  char* value = KXgetenv("KXT_LEVEL");
  EXPECT_EQ(KXgetenvex("KXT_LEVEL", nullptr, 3), value);
  EXPECT_EQ(KXgetenvex("KXT_LEVEL", nullptr, 7), value);
  EXPECT_EQ(Str(value), "v");
}

TEST(VariableRecord, AnUnknownNameGivesNoValueButARecordThroughTheExForm) {
  EXPECT_EQ(KXgetenv("KXT_NOWHERE_AT_ALL"), nullptr);
  VariableRecord* record = nullptr;
  EXPECT_EQ(KXgetenvex("kxt_nowhere_at_all", &record, 2), nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->version, 2u);
  EXPECT_EQ(Str(record->className), "ENV");
  EXPECT_EQ(Str(record->name), "KXT_NOWHERE_AT_ALL");
  EXPECT_EQ(record->value, nullptr);
  EXPECT_EQ(record->localValue, nullptr);
}

KX_ROLE(describe) {
  VariableRecord* record = nullptr;
  KXgetenvex(args.at(0).c_str(), &record, 3);
  kxtest::Say(record ? Str(record->description) : "(no record)");
  return 0;
}

TEST(VariableRecord, DescriptionsComeFromTheCatalogOfTheLocale) {
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DESC"),
                       {Number("Description", 1), Text("Default", "x")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DESC_UNKNOWN"),
                       {Number("Description", 99999), Text("Default", "x")}));
  ScopedEnv catalogs("KX_LOCALE_DIR", KX_TEST_LOCALE_DIR);
  ScopedEnv messages("LC_MESSAGES", nullptr);
  ScopedEnv lang("LANG", nullptr);
  {
    ScopedEnv english("LC_ALL", "C");
    kxtest::Child child("describe", {"KXT_DESC"});
    EXPECT_EQ(child.ReadLine(), kDescriptionOne);
    EXPECT_EQ(child.Wait(), 0);
    kxtest::Child unknown("describe", {"KXT_DESC_UNKNOWN"});
    EXPECT_EQ(unknown.ReadLine(), "(null)");
    EXPECT_EQ(unknown.Wait(), 0);
  }
  {
    ScopedEnv german("LC_ALL", "de_DE.UTF-8");
    kxtest::Child child("describe", {"KXT_DESC"});
    EXPECT_EQ(child.ReadLine(),
              "Verzeichnis, in dem das Produkt installiert ist.");
    EXPECT_EQ(child.Wait(), 0);
  }
}

// ---- Applications

TEST(ApplicationGet, AppexGivesTheDescriptionTextOrNothing) {
  ASSERT_TRUE(WriteKey(AppKey("KXT_APP_DESC"), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey("KXT_APP_BARE"), {Text("Other", "x")}));

  VariableRecord* record = nullptr;
  char* value = KXgetappex("kxt_app_desc", &record, 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(value, record->value);
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, record->description);
  EXPECT_EQ(Str(record->className), "APP");
  EXPECT_EQ(Str(record->name), "KXT_APP_DESC");

  record = nullptr;
  EXPECT_EQ(KXgetappex("KXT_APP_BARE", &record, 1), nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->className), "APP");
  EXPECT_EQ(record->version, 1u);
}
