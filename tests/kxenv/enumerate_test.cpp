// Enumeration of applications, environment variables and options, of a
// whole class or of one application's members: which names come back, in
// which order, with which record, and where a walk ends.
#include <algorithm>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

// One enumeration call at a position, with a holder or none.
using Enumerate = std::function<char*(unsigned, VariableRecord**)>;

// The names from position 0 on, up to the first null, separated by blanks.
std::string Walk(const Enumerate& at) {
  std::string names;
  for (unsigned position = 0; char* name = at(position, nullptr); ++position)
    names += (position ? " " : "") + std::string(name);
  return names;
}

// The order of a key's subkeys and values is kxwin's own promise (upper-cased
// names; values as written): Windows promises none, so there the names of a
// walk are compared sorted.
std::string Ordered(const std::string& names) {
#ifdef _WIN32
  std::istringstream in(names);
  std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
  std::sort(words.begin(), words.end());
  std::string sorted;
  for (const auto& word : words) sorted += (sorted.empty() ? "" : " ") + word;
  return sorted;
#endif
  return names;
}

}  // namespace

// Names come upper-cased, each once, ordered by their upper-cased bytes
// ("_" sorts after the letters). An application without a description
// text and a variable without a value are listed too, with no value.
TEST(Enumeration, WalkingFromZeroGivesEveryNameOnceInCaseInsensitiveOrder) {
  TraceFile trace;
  for (const char* name : {"kxt_walk_b", "KXT_WALK_A_X", "Kxt_Walk_C",
                           "KXT_WALK_AB", "kxt_walk_a"}) {
    ASSERT_TRUE(
        WriteKey(EnvKey(name), {Text("Local", "v"), Text("App", "OWNER")}));
    ASSERT_TRUE(WriteKey(OptKey(name), {Text("Local", "v")}));
    ASSERT_TRUE(WriteKey(AppKey(name), {Number("Description", 1)}));
  }
  ASSERT_TRUE(WriteKey(EnvKey("KXT_WALK_D"), {}));
  ASSERT_TRUE(WriteKey(OptKey("KXT_WALK_D"), {Text("App", "a")}));
  ASSERT_TRUE(WriteKey(AppKey("KXT_WALK_D"), {Text("Other", "x")}));
  ASSERT_TRUE(WriteKey(AppKey("KXT_WALK_E"), {Number("Description", 99999)}));
  const struct {
    std::string label;
    Enumerate at;
  } classes[] = {
      {"ENV", [](unsigned i, auto h) { return KXenumenv(i, nullptr, h, 2); }},
      {"OPT", [](unsigned i, auto h) { return KXenumopt(i, nullptr, h, 2); }},
      {"APP", [](unsigned i, auto h) { return KXenumapp(i, h, 2); }}};
  for (const auto& [label, at] : classes) {
    SCOPED_TRACE(label);
    EXPECT_EQ(Ordered(Walk(at)),
              "KXT_WALK_A KXT_WALK_AB KXT_WALK_A_X KXT_WALK_B "
              "KXT_WALK_C KXT_WALK_D" +
                  std::string(label == "APP" ? " KXT_WALK_E" : ""));
    const std::string line = "EnumValues " + label + " ";
    EXPECT_EQ(trace.Count(line + "0 (NULL): enter."), 1);
    EXPECT_EQ(trace.Count(line + "0 (NULL): returned KXT_WALK_A."), 1);
    EXPECT_EQ(trace.Count(line + (label == "APP" ? "7" : "6") +
                          " (NULL): returned NULL."),
              1);
    for (unsigned position : {5u, label == "APP" ? 6u : 5u}) {
      VariableRecord* record = nullptr;
      EXPECT_NE(at(position, &record), nullptr);
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->value, nullptr) << position;
    }
  }
  // The name is the record's, with the level asked for, the get's own
  // cached record; without a holder it comes from a level-1 record.
  VariableRecord *record = nullptr, *got = nullptr;
  char* name = KXenumenv(0, nullptr, &record, 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(name, record->name);
  EXPECT_EQ(record->version, 3u);
  EXPECT_EQ(Str(record->className) + Str(record->value) + Str(record->app),
            "ENVvOWNER");
  KXgetenvex("KXT_WALK_A", &got, 3);
  EXPECT_EQ(got, record);
  name = KXenumenv(0, nullptr, nullptr, 99);
  KXgetenvex("KXT_WALK_A", &got, 1);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(name, got->name);
}

// Members in the order they were written, one without a variable key; an
// application without an OPT membership key lists no options and writes no
// "returned" line for them.
TEST(Enumeration, AnApplicationListsItsMembershipValuesNotTheClassKeys) {
  TraceFile trace;
  const std::string app = "KXT_ENUM_APP";
  ASSERT_TRUE(WriteKey(AppKey(app), {Number("Description", 1)}));
  ASSERT_TRUE(WriteKey(AppKey(app) + "\\ENV",
                       {Text("kxt_member_two", ""), Text("KXT_MEMBER_ONE", ""),
                        Text("KXT_MEMBER_GHOST", "")}));
  for (const char* name :
       {"KXT_MEMBER_ONE", "KXT_MEMBER_TWO", "KXT_NOT_MEMBER"})
    ASSERT_TRUE(
        WriteKey(EnvKey(name), {Text("Local", name), Text("App", app)}));
  EXPECT_EQ(Ordered(Walk([&](unsigned at, VariableRecord** holder) {
              return KXenumenv(at, app.c_str(), holder, 1);
            })),
            Ordered("KXT_MEMBER_TWO KXT_MEMBER_ONE KXT_MEMBER_GHOST"));
  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXenumenv(1, "kxt_enum_app", &record, 3)), "KXT_MEMBER_ONE");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->value) + " " + Str(record->app),
            "KXT_MEMBER_ONE " + app);
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

// A walk is served again from the names read before only while nothing has
// changed: a variable another process set since is in the next walk.
TEST(Enumeration, AWalkAfterAnotherProcessSetAVariableListsIt) {
  for (const char* name : {"KXT_LIST_A", "KXT_LIST_C"}) {
    ASSERT_EQ(KXsetenv(name, "v"), 0);
  }
  auto walk = [] {
    return Ordered(Walk([](unsigned at, VariableRecord** holder) {
      return KXenumenv(at, nullptr, holder, 1);
    }));
  };
  ASSERT_EQ(walk(), "KXT_LIST_A KXT_LIST_C");
  ASSERT_EQ(walk(), "KXT_LIST_A KXT_LIST_C");
  ASSERT_EQ(Child("set_once", {"KXT_LIST_B", "v"}).Wait(), 0);
  EXPECT_EQ(walk(), "KXT_LIST_A KXT_LIST_B KXT_LIST_C");
}
