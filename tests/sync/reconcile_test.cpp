// The reconcile rules, one row per situation, the plan written out as
// text: w: local writes (key=value, key- removes), p: publications
// (key@expected=value, key@expected- deletes), c: conflicts (key<lost).
#include "reconcile.h"

#include <gtest/gtest.h>

namespace kxsync {
namespace {

std::string Describe(const Plan& plan) {
  std::string text;
  for (const LocalWrite& w : plan.writes) {
    text += " w:" + w.key + (w.value ? "=" + *w.value : "-");
  }
  for (const Publication& p : plan.publications) {
    text += " p:" + p.key + "@" + std::to_string(p.expected) +
            (p.value ? "=" + *p.value : "-");
  }
  for (const Conflict& c : plan.conflicts) text += " c:" + c.key + "<" + c.lost;
  return text;
}

struct Row {
  const char* name;
  Input input;
  const char* plan;
  const char* agreed_a;  // the agreement on global/A afterwards, "rev=value"
};

TEST(Reconcile, Rules) {
  const Event put_a7{"global/A", false, "3", 7};
  const Row rows[] = {
      {"a remote change lands",
       {{put_a7},
        false,
        {{"global/A", "1"}},
        {},
        false,
        {{"global/A", {5, "1"}}}},
       " w:global/A=3",
       "7=3"},
      {"etcd wins a conflict, the local value is kept",
       {{put_a7},
        false,
        {{"global/A", "2"}},
        {},
        false,
        {{"global/A", {5, "1"}}}},
       " w:global/A=3 c:global/A<2",
       "7=3"},
      {"the echo of a publication is not applied",
       {{put_a7},
        false,
        {{"global/A", "3"}},
        {},
        false,
        {{"global/A", {7, "3"}}}},
       "",
       "7=3"},
      {"an older event on resume is not applied",
       {{{"global/A", false, "0", 6}},
        false,
        {{"global/A", "3"}},
        {},
        false,
        {{"global/A", {7, "3"}}}},
       "",
       "7=3"},
      {"a remote delete removes the item",
       {{{"global/A", true, "", 8}},
        false,
        {{"global/A", "3"}},
        {},
        false,
        {{"global/A", {7, "3"}}}},
       " w:global/A-",
       "-"},
      {"a local change is published against the agreed revision",
       {{}, false, {{"global/A", "4"}}, {}, false, {{"global/A", {7, "3"}}}},
       " p:global/A@7=4",
       "7=3"},
      {"a local delete is published",
       {{}, false, {}, {}, false, {{"global/A", {7, "3"}}}},
       " p:global/A@7-",
       "7=3"},
      {"a resync removes what etcd lost and publishes what it never had",
       {{{"def/ENV/B", false, "{}", 4}},
        true,
        {{"global/A", "3"}, {"def/ENV/B", "{}"}, {"global/C", "5"}},
        {},
        false,
        {{"global/A", {7, "3"}}, {"def/ENV/B", {4, "{}"}}}},
       " w:global/A- p:global/C@0=5",
       "-"},
      {"a key in lower case is not the fleet's",
       {{{"global/a", false, "x", 9}}, false, {}, {}, false, {}},
       "",
       "-"},
      {"a sensitive variable stays local",
       {{{"global/S", false, "clear", 9}},
        false,
        {{"sensitive/S", "0a0b"}},
        {"S"},
        false,
        {}},
       "",
       "-"},
      {"a sensitive value travels scrambled with a secure fleet",
       {{}, false, {{"sensitive/S", "0a0b"}}, {"S"}, true, {}},
       " p:sensitive/S@0=0a0b",
       "-"},
  };
  for (const Row& row : rows) {
    Plan plan = Reconcile(row.input);
    EXPECT_EQ(Describe(plan), row.plan) << row.name;
    auto a = plan.agreed.find("global/A");
    std::string agreed =
        a == plan.agreed.end()
            ? "-"
            : std::to_string(a->second.revision) + "=" + a->second.value;
    EXPECT_EQ(agreed, row.agreed_a) << row.name;
  }
}

}  // namespace
}  // namespace kxsync
