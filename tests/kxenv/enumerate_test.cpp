// Enumeration of applications, environment variables and options, of a
// whole class or of one application's members: which names come back, in
// which order, with which record, and where a walk ends.
#include <algorithm>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

// One enumeration call at a position, with a holder or none.
using Enumerate = std::function<char*(unsigned, VariableRecord**)>;

// The names from position 0 on, up to the first null.
std::vector<std::string> Walk(const Enumerate& at) {
  std::vector<std::string> names;
  for (unsigned position = 0; position < 10000; ++position) {
    char* name = at(position, nullptr);
    if (!name) break;
    names.push_back(name);
  }
  return names;
}

// The position of `name` in a walk, or -1.
int Position(const Enumerate& at, const std::string& name) {
  std::vector<std::string> names = Walk(at);
  auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

// Each class's enumeration at a position, at level 2.
char* EnvAt(unsigned at, VariableRecord** holder) {
  return KXenumenv(at, nullptr, holder, 2);
}
char* OptAt(unsigned at, VariableRecord** holder) {
  return KXenumopt(at, nullptr, holder, 2);
}
char* AppAt(unsigned at, VariableRecord** holder) {
  return KXenumapp(at, holder, 2);
}

}  // namespace

// Names come upper-cased, each once, ordered by their upper-cased bytes
// ("_" sorts after the letters).
TEST(Enumeration, WalkingFromZeroGivesEveryNameOnceInCaseInsensitiveOrder) {
  TraceFile trace;
  for (const char* name : {"kxt_walk_b", "KXT_WALK_A_X", "Kxt_Walk_C",
                           "KXT_WALK_AB", "kxt_walk_a"}) {
    ASSERT_TRUE(WriteKey(EnvKey(name), {Text("Local", "v")}));
    ASSERT_TRUE(WriteKey(OptKey(name), {Text("Local", "v")}));
    ASSERT_TRUE(WriteKey(AppKey(name), {Number("Description", 1)}));
  }
  const std::pair<std::string, Enumerate> classes[] = {
      {"ENV", EnvAt}, {"OPT", OptAt}, {"APP", AppAt}};
  for (const auto& [label, at] : classes) {
    SCOPED_TRACE(label);
    std::vector<std::string> names = Walk(at);
    EXPECT_EQ(names, (std::vector<std::string>{"KXT_WALK_A", "KXT_WALK_AB",
                                               "KXT_WALK_A_X", "KXT_WALK_B",
                                               "KXT_WALK_C"}));
    const std::string line = "EnumValues " + label + " ";
    EXPECT_EQ(trace.Count(line + "0 (NULL): enter."), 1);
    EXPECT_EQ(trace.Count(line + "0 (NULL): returned KXT_WALK_A."), 1);
    EXPECT_EQ(trace.Count(line + "5 (NULL): returned NULL."), 1);
  }
}

TEST(Enumeration, TheNameIsTheRecordsUpperCasedNameWithTheAskedLevel) {
  ASSERT_TRUE(
      WriteKey(EnvKey("kxt_Enum_Mixed"),
               {Text("Local", "mixed"), Text("App", "KXT_ENUM_OWNER")}));
  int position = Position(EnvAt, "KXT_ENUM_MIXED");
  ASSERT_GE(position, 0);
  VariableRecord* record = nullptr;
  char* name = KXenumenv(position, nullptr, &record, 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(name, record->name);
  EXPECT_EQ(record->version, 3u);
  EXPECT_EQ(Str(record->className), "ENV");
  EXPECT_EQ(Str(record->value), "mixed");
  EXPECT_EQ(Str(record->app), "KXT_ENUM_OWNER");
  VariableRecord* got = nullptr;  // the get's own cached record
  KXgetenvex("KXT_ENUM_MIXED", &got, 3);
  EXPECT_EQ(got, record);

  // Without a holder the name comes from a level-1 record, whatever the
  // level asked for.
  name = KXenumenv(position, nullptr, nullptr, 99);
  VariableRecord* level1 = nullptr;
  KXgetenvex("KXT_ENUM_MIXED", &level1, 1);
  ASSERT_NE(level1, nullptr);
  EXPECT_EQ(name, level1->name);
}

TEST(Enumeration, ApplicationsWithoutDescriptionAndVariablesWithoutValueCount) {
  ASSERT_TRUE(WriteKey(AppKey("KXT_ENUM_NODESC"), {Text("Other", "x")}));
  ASSERT_TRUE(
      WriteKey(AppKey("KXT_ENUM_UNKNOWN_ID"), {Number("Description", 99999)}));
  ASSERT_TRUE(WriteKey(EnvKey("KXT_ENUM_NOVALUE"), {}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_ENUM_NOVALUE"), {Text("App", "a")}));
  const std::pair<std::string, Enumerate> cases[] = {
      {"KXT_ENUM_NODESC", AppAt},
      {"KXT_ENUM_UNKNOWN_ID", AppAt},
      {"KXT_ENUM_NOVALUE", EnvAt},
      {"KXT_ENUM_NOVALUE", OptAt}};
  for (const auto& [wanted, at] : cases) {  // each listed, with no value
    int position = Position(at, wanted);
    ASSERT_GE(position, 0) << wanted;
    VariableRecord* record = nullptr;
    EXPECT_EQ(Str(at(position, &record)), wanted);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->value, nullptr) << wanted;
  }
}

// An application without an OPT membership key lists no options and
// writes no "returned" line for them.
TEST(Enumeration, AnApplicationListsItsMembershipValuesNotTheClassKeys) {
  TraceFile trace;
  const std::string app = "KXT_ENUM_APP";
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  // Members in the order they were written; one without a variable key.
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\ENV",
                       {Text("kxt_member_two", ""), Text("KXT_MEMBER_ONE", ""),
                        Text("KXT_MEMBER_GHOST", "")}));
  for (const char* name :
       {"KXT_MEMBER_ONE", "KXT_MEMBER_TWO", "KXT_NOT_MEMBER"}) {
    ASSERT_TRUE(
        WriteKey(EnvKey(name), {Text("Local", name), Text("App", app)}));
  }
  std::vector<std::string> members =
      Walk([&](unsigned at, VariableRecord** holder) {
        return KXenumenv(at, app.c_str(), holder, 1);
      });
  EXPECT_EQ(members,
            (std::vector<std::string>{"KXT_MEMBER_TWO", "KXT_MEMBER_ONE",
                                      "KXT_MEMBER_GHOST"}));
  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXenumenv(1, "kxt_enum_app", &record, 3)), "KXT_MEMBER_ONE");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->value), "KXT_MEMBER_ONE");
  EXPECT_EQ(Str(record->app), app);
  EXPECT_EQ(trace.Count("EnumValues ENV 0 (KXT_ENUM_APP): enter."), 1);
  EXPECT_EQ(trace.Count("EnumValues ENV 3 (KXT_ENUM_APP): returned NULL."), 1);

  record = nullptr;
  EXPECT_EQ(KXenumopt(0, app.c_str(), &record, 1), nullptr);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(trace.Count("EnumValues OPT 0 (KXT_ENUM_APP): enter."), 1);
  EXPECT_EQ(trace.Count("EnumValues OPT 0 (KXT_ENUM_APP): returned"), 0);
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\OPT", {Text("KXT_MEMBER_OPTION", "")}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_MEMBER_OPTION"), {Text("Local", "o")}));
  EXPECT_EQ(Str(KXenumopt(0, app.c_str(), nullptr, 1)), "KXT_MEMBER_OPTION");
  EXPECT_EQ(KXenumopt(1, app.c_str(), nullptr, 1), nullptr);
  EXPECT_EQ(KXenumenv(0, "KXT_ENUM_NO_SUCH_APP", &record, 1), nullptr);
  EXPECT_EQ(record, nullptr);
}

// The test's store is empty at first: no store key, then empty class keys.
// Only an existing key with nothing at the position says so.
TEST(Enumeration, PositionZeroOfAnEmptyClassGivesNullAndSaysSo) {
  TraceFile trace;
  auto first = [] {
    return Str(KXenumenv(0, nullptr, nullptr, 1)) + " " +
           Str(KXenumopt(0, nullptr, nullptr, 1)) + " " +
           Str(KXenumapp(0, nullptr, 1));
  };
  EXPECT_EQ(first(), "(null) (null) (null)");
  EXPECT_EQ(trace.Count("EnumValues ENV 0 (NULL): returned NULL."), 0);
  for (const char* label : {"\\ENV", "\\OPT", "\\APP"})
    ASSERT_TRUE(WriteKey(kStoreKey + std::string(label), {}));
  EXPECT_EQ(first(), "(null) (null) (null)");
  EXPECT_EQ(trace.Count("EnumValues ENV 0 (NULL): enter."), 2);
  EXPECT_EQ(trace.Count("EnumValues ENV 0 (NULL): returned NULL."), 1);
}
