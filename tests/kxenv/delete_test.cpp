// Deletion of variables and applications: a variable goes with its key and
// the membership value of the application its own record names; an
// application goes with every variable it owns; what lies elsewhere stays.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kxenv_test_util.h"

namespace {

using namespace std::chrono_literals;
using kxtest::AppKey;
using kxtest::EnvKey;
using kxtest::KeyExists;
using kxtest::Number;
using kxtest::OptKey;
using kxtest::ReadRaw;
using kxtest::ReadText;
using kxtest::Str;
using kxtest::Text;
using kxtest::WriteKey;

std::string Members(const std::string& app) {
  return AppKey(app) + "\\ENV";
}
std::string OptionMembers(const std::string& app) {
  return AppKey(app) + "\\OPT";
}

bool Listed(const std::string& membership, const std::string& name) {
  return ReadRaw(membership, name.c_str()).has_value();
}

}  // namespace

// ---- Variables

TEST(DeleteVariable, GoesWithTheMembershipValueOfTheApplicationItsRecordNames) {
  const std::string owner = "KXT_DEL_OWNER", other = "KXT_DEL_ELSEWHERE";
  ASSERT_TRUE(WriteKey(AppKey(owner), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(Members(owner),
                       {Text("kxt_del_var", ""), Text("KXT_DEL_KEEP", "")}));
  ASSERT_TRUE(WriteKey(OptionMembers(owner), {Text("KXT_DEL_VAR", "")}));
  ASSERT_TRUE(WriteKey(Members(other), {Text("KXT_DEL_VAR", "")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DEL_VAR"),
                       {Text("Local", "l"), Text("App", owner)}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_DEL_VAR"),
                       {Text("Local", "o"), Text("App", owner)}));

  ASSERT_EQ(KXdelenv("Kxt_Del_Var"), 0);
  EXPECT_FALSE(KeyExists(EnvKey("KXT_DEL_VAR")));
  EXPECT_FALSE(Listed(Members(owner), "KXT_DEL_VAR"));
  EXPECT_TRUE(Listed(Members(owner), "KXT_DEL_KEEP"));
  EXPECT_TRUE(Listed(Members(other), "KXT_DEL_VAR"));  // not the record's app
  // The option of the same name is another variable.
  EXPECT_TRUE(KeyExists(OptKey("KXT_DEL_VAR")));
  EXPECT_TRUE(Listed(OptionMembers(owner), "KXT_DEL_VAR"));

  ASSERT_EQ(KXdelopt("KXT_DEL_VAR"), 0);
  EXPECT_FALSE(KeyExists(OptKey("KXT_DEL_VAR")));
  EXPECT_FALSE(Listed(OptionMembers(owner), "KXT_DEL_VAR"));
  EXPECT_TRUE(KeyExists(AppKey(owner)));
}

TEST(DeleteVariable, AVariableWithoutAppLosesOnlyItsKey) {
  ASSERT_TRUE(WriteKey(Members("KXT_DEL_LISTS"), {Text("KXT_DEL_LONE", "")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DEL_LONE"), {Text("Local", "l")}));
  ASSERT_EQ(KXdelenv("KXT_DEL_LONE"), 0);
  EXPECT_FALSE(KeyExists(EnvKey("KXT_DEL_LONE")));
  EXPECT_TRUE(Listed(Members("KXT_DEL_LISTS"), "KXT_DEL_LONE"));
}

TEST(DeleteVariable, AGetAfterADeleteDoesNotServeTheCachedRecord) {
  kxtest::TraceFile trace;
  kxtest::TraceTail tail(trace.path());
  ASSERT_EQ(KXsetenv("KXT_DEL_CACHED", "cached"), 0);
  ASSERT_TRUE(kxtest::GetUntilHit([] { KXgetenv("KXT_DEL_CACHED"); },
                                  "KXT_DEL_CACHED", tail, 5s));
  ASSERT_EQ(KXdelenv("KXT_DEL_CACHED"), 0);
  EXPECT_EQ(KXgetenv("KXT_DEL_CACHED"), nullptr);
}

TEST(DeleteVariable, MissingOrTooLongNamesGiveZeroAndNullMinusOne) {
  ASSERT_EQ(KXsetenv("KXT_DEL_SOME", "1"), 0);  // the store key exists
  const std::string too_long(300, 'N');
  for (auto del : {KXdelenv, KXdelopt}) {
    EXPECT_EQ(del("KXT_DEL_NO_SUCH"), 0);
    EXPECT_EQ(del(nullptr), -1);
    EXPECT_EQ(del(too_long.c_str()), 0);  // it cannot exist
  }
  EXPECT_EQ(Str(KXgetenv("KXT_DEL_SOME")), "1");
}

TEST(DeleteVariable, LegacyValuesOutsideVariableKeysAreNotTouched) {
  ASSERT_TRUE(WriteKey(kxtest::kStoreKey, {Text("KXT_DEL_LEGACY", "store"),
                                           Text("KXT_DEL_SHADOW", "legacy")}));
  ASSERT_TRUE(
      WriteKey(kxtest::kProductKey, {Text("KXT_DEL_LEGACY", "product")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DEL_SHADOW"), {Text("Local", "own")}));

  EXPECT_EQ(KXdelenv("KXT_DEL_LEGACY"), 0);
  EXPECT_EQ(ReadText(kxtest::kStoreKey, "KXT_DEL_LEGACY"), "store");
  EXPECT_EQ(ReadText(kxtest::kProductKey, "KXT_DEL_LEGACY"), "product");
  EXPECT_EQ(Str(KXgetenv("KXT_DEL_LEGACY")), "store");

  // The variable key goes; the legacy value of its name shows through.
  EXPECT_EQ(KXdelenv("KXT_DEL_SHADOW"), 0);
  EXPECT_FALSE(KeyExists(EnvKey("KXT_DEL_SHADOW")));
  EXPECT_EQ(ReadText(kxtest::kStoreKey, "KXT_DEL_SHADOW"), "legacy");
  EXPECT_EQ(Str(KXgetenv("KXT_DEL_SHADOW")), "legacy");
}

// ---- Applications

TEST(DeleteApplication, RemovesTheApplicationAndEveryVariableItOwns) {
  const std::string app = "KXT_DAPP", other = "KXT_DAPP_OTHER";
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey(other), {Number("Description", 1)}));
  // Owned (also through another spelling of the application), owned by
  // another application, and listed without a variable key.
  ASSERT_TRUE(
      WriteKey(Members(app),
               {Text("KXT_DAPP_V1", ""), Text("kxt_dapp_v2", ""),
                Text("KXT_DAPP_FOREIGN", ""), Text("KXT_DAPP_GHOST", "")}));
  ASSERT_TRUE(WriteKey(OptionMembers(app), {Text("KXT_DAPP_O1", ""),
                                            Text("KXT_DAPP_UNOWNED", "")}));
  ASSERT_TRUE(WriteKey(Members(other), {Text("KXT_DAPP_FOREIGN", "")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_V1"), {Text("App", app)}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_V2"), {Text("App", "kxt_dapp")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_FOREIGN"), {Text("App", other)}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_DAPP_O1"), {Text("App", app)}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_DAPP_UNOWNED"), {Text("Local", "u")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_BYSTANDER"), {Text("App", app)}));

  ASSERT_EQ(KXdelapp("kxt_dapp"), 0);
  EXPECT_FALSE(KeyExists(AppKey(app)));
  for (const char* gone : {"KXT_DAPP_V1", "KXT_DAPP_V2"}) {
    EXPECT_FALSE(KeyExists(EnvKey(gone))) << gone;
  }
  EXPECT_FALSE(KeyExists(OptKey("KXT_DAPP_O1")));
  // Variables listed but not owned stay where they are.
  EXPECT_TRUE(KeyExists(EnvKey("KXT_DAPP_FOREIGN")));
  EXPECT_TRUE(Listed(Members(other), "KXT_DAPP_FOREIGN"));
  EXPECT_TRUE(KeyExists(OptKey("KXT_DAPP_UNOWNED")));
  EXPECT_TRUE(KeyExists(AppKey(other)));
  // Only the listed members go: ownership alone does not list a variable.
  EXPECT_TRUE(KeyExists(EnvKey("KXT_DAPP_BYSTANDER")));
  EXPECT_EQ(KXgetappex(app.c_str(), nullptr, 1), nullptr);
}

TEST(DeleteApplication, AnApplicationWithoutDescriptionTextKeepsEverything) {
  ASSERT_TRUE(WriteKey(AppKey("KXT_DAPP_BARE"), {Text("Other", "x")}));
  ASSERT_TRUE(
      WriteKey(AppKey("KXT_DAPP_UNKNOWN"), {Number("Description", 99999)}));
  for (const std::string app : {"KXT_DAPP_BARE", "KXT_DAPP_UNKNOWN"}) {
    SCOPED_TRACE(app);
    const std::string member = app + "_V";
    ASSERT_TRUE(WriteKey(Members(app), {Text(member, "")}));
    ASSERT_TRUE(WriteKey(EnvKey(member), {Text("App", app)}));
    EXPECT_EQ(KXdelapp(app.c_str()), -1);
    EXPECT_TRUE(KeyExists(AppKey(app)));
    EXPECT_TRUE(KeyExists(EnvKey(member)));
    EXPECT_TRUE(Listed(Members(app), member));
  }
  EXPECT_EQ(KXdelapp("KXT_DAPP_NO_SUCH"), -1);
  EXPECT_EQ(KXdelapp(nullptr), -1);
}
