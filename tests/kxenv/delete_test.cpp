// Deletion of variables and applications: a variable goes with its key and
// the membership value of the application its own record names; an
// application goes with every variable it owns; what lies elsewhere stays.
#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

// The membership key of an application for a class ("ENV" or "OPT").
std::string Members(const std::string& app, const char* type = "ENV") {
  return AppKey(app) + "\\" + type;
}

bool Listed(const std::string& membership, const std::string& name) {
  return ReadRaw(membership, name.c_str()).has_value();
}

}  // namespace

// The option of the same name is another variable; a legacy value of the
// name outside the variable keys stays and shows through.
TEST(DeleteVariable, GoesWithTheMembershipValueOfTheApplicationItsRecordNames) {
  const std::string owner = "KXT_DEL_OWNER", other = "KXT_DEL_ELSEWHERE";
  ASSERT_TRUE(WriteKey(AppKey(owner), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(Members(owner),
                       {Text("kxt_del_var", ""), Text("KXT_DEL_KEEP", "")}));
  ASSERT_TRUE(WriteKey(Members(owner, "OPT"), {Text("KXT_DEL_VAR", "")}));
  ASSERT_TRUE(WriteKey(Members(other), {Text("KXT_DEL_VAR", "")}));
  ASSERT_TRUE(WriteKey(Members("KXT_DEL_LISTS"), {Text("KXT_DEL_LONE", "")}));
  for (const std::string& key : {EnvKey("KXT_DEL_VAR"), OptKey("KXT_DEL_VAR")})
    ASSERT_TRUE(WriteKey(key, {Text("Local", "l"), Text("App", owner)}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DEL_LONE"), {Text("Local", "l")}));
  ASSERT_TRUE(WriteKey(kStoreKey, {Text("KXT_DEL_VAR", "legacy")}));
  ASSERT_TRUE(WriteKey(kProductKey, {Text("KXT_DEL_LEGACY", "product")}));

  ASSERT_EQ(KXdelenv("Kxt_Del_Var"), 0);
  EXPECT_FALSE(KeyExists(EnvKey("KXT_DEL_VAR")));
  EXPECT_FALSE(Listed(Members(owner), "KXT_DEL_VAR"));
  EXPECT_TRUE(Listed(Members(owner), "KXT_DEL_KEEP"));
  EXPECT_TRUE(Listed(Members(other), "KXT_DEL_VAR"));  // not the record's app
  EXPECT_TRUE(KeyExists(OptKey("KXT_DEL_VAR")));
  EXPECT_TRUE(Listed(Members(owner, "OPT"), "KXT_DEL_VAR"));
  EXPECT_EQ(ReadText(kStoreKey, "KXT_DEL_VAR"), "legacy");
  EXPECT_EQ(Str(KXgetenv("KXT_DEL_VAR")), "legacy");

  ASSERT_EQ(KXdelopt("KXT_DEL_VAR"), 0);
  EXPECT_FALSE(KeyExists(OptKey("KXT_DEL_VAR")));
  EXPECT_FALSE(Listed(Members(owner, "OPT"), "KXT_DEL_VAR"));
  EXPECT_TRUE(KeyExists(AppKey(owner)));

  // Without an application only the key goes; missing names give 0.
  ASSERT_EQ(KXdelenv("KXT_DEL_LONE"), 0);
  EXPECT_FALSE(KeyExists(EnvKey("KXT_DEL_LONE")));
  EXPECT_TRUE(Listed(Members("KXT_DEL_LISTS"), "KXT_DEL_LONE"));
  const std::string too_long(300, 'N');
  for (auto del : {KXdelenv, KXdelopt}) {
    EXPECT_EQ(del("KXT_DEL_LEGACY"), 0);
    EXPECT_EQ(del(too_long.c_str()), 0);  // it cannot exist
    EXPECT_EQ(del(nullptr), -1);
  }
  EXPECT_EQ(ReadText(kProductKey, "KXT_DEL_LEGACY"), "product");
}

TEST(DeleteVariable, AGetAfterADeleteDoesNotServeTheCachedRecord) {
  TraceFile trace;
  ASSERT_EQ(KXsetenv("KXT_DEL_CACHED", "cached"), 0);
  ASSERT_TRUE(
      GetUntilHit([] { KXgetenv("KXT_DEL_CACHED"); }, "KXT_DEL_CACHED", trace));
  ASSERT_EQ(KXdelenv("KXT_DEL_CACHED"), 0);
  EXPECT_EQ(KXgetenv("KXT_DEL_CACHED"), nullptr);
}

// Owned also through another spelling of the application; a variable owned
// by another application, or not listed, stays.
TEST(DeleteApplication, RemovesTheApplicationAndEveryListedVariableItOwns) {
  const std::string app = "KXT_DAPP", other = "KXT_DAPP_OTHER";
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey(other), {Number("Description", 1)}));
  ASSERT_TRUE(
      WriteKey(Members(app),
               {Text("KXT_DAPP_V1", ""), Text("kxt_dapp_v2", ""),
                Text("KXT_DAPP_FOREIGN", ""), Text("KXT_DAPP_GHOST", "")}));
  ASSERT_TRUE(WriteKey(Members(app, "OPT"), {Text("KXT_DAPP_O1", ""),
                                             Text("KXT_DAPP_UNOWNED", "")}));
  ASSERT_TRUE(WriteKey(Members(other), {Text("KXT_DAPP_FOREIGN", "")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_V1"), {Text("App", app)}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_V2"), {Text("App", "kxt_dapp")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_FOREIGN"), {Text("App", other)}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_DAPP_O1"), {Text("App", app)}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_DAPP_UNOWNED"), {Text("Local", "u")}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_DAPP_BYSTANDER"), {Text("App", app)}));

  ASSERT_EQ(KXdelapp("kxt_dapp"), 0);
  for (const std::string& gone : {AppKey(app), EnvKey("KXT_DAPP_V1"),
                                  EnvKey("KXT_DAPP_V2"), OptKey("KXT_DAPP_O1")})
    EXPECT_FALSE(KeyExists(gone)) << gone;
  for (const std::string& kept :
       {EnvKey("KXT_DAPP_FOREIGN"), OptKey("KXT_DAPP_UNOWNED"), AppKey(other),
        EnvKey("KXT_DAPP_BYSTANDER")})
    EXPECT_TRUE(KeyExists(kept)) << kept;
  EXPECT_TRUE(Listed(Members(other), "KXT_DAPP_FOREIGN"));
  EXPECT_EQ(KXgetappex(app.c_str(), nullptr, 1), nullptr);
}

TEST(DeleteApplication, AnApplicationWithoutDescriptionTextKeepsEverything) {
  ASSERT_TRUE(WriteKey(AppKey("KXT_DAPP_BARE"), {Text("Other", "x")}));
  ASSERT_TRUE(
      WriteKey(AppKey("KXT_DAPP_UNKNOWN"), {Number("Description", 99999)}));
  for (const std::string app : {"KXT_DAPP_BARE", "KXT_DAPP_UNKNOWN"}) {
    const std::string member = app + "_V";
    ASSERT_TRUE(WriteKey(Members(app), {Text(member, "")}));
    ASSERT_TRUE(WriteKey(EnvKey(member), {Text("App", app)}));
    EXPECT_EQ(KXdelapp(app.c_str()), -1) << app;
    EXPECT_TRUE(KeyExists(AppKey(app)) && KeyExists(EnvKey(member)) &&
                Listed(Members(app), member))
        << app;
  }
  EXPECT_EQ(KXdelapp("KXT_DAPP_NO_SUCH"), -1);
  EXPECT_EQ(KXdelapp(nullptr), -1);
}
