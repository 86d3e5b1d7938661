// The reconcile rules, one row per situation, the plan written out as
// text: w: local writes (key=value, key- removes), p: publications
// (key@expected=value, key@expected- deletes), c: conflicts (key<lost).
// A row's events, local items and agreements are written the same way:
// "key@revision=value" (or "key@revision-", a delete) and "key=value".
#include "reconcile.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

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

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

Items ItemsOf(const std::string& text) {
  Items items;
  for (const std::string& word : Words(text)) {
    size_t equals = word.find('=');
    items[word.substr(0, equals)] = word.substr(equals + 1);
  }
  return items;
}

// "key@revision=value" as an event, or as an agreement.
Event EventOf(const std::string& word) {
  size_t at = word.find('@'), equals = word.find('=', at);
  return {word.substr(0, at), equals == std::string::npos,
          equals == std::string::npos ? "" : word.substr(equals + 1),
          std::stoll(word.substr(at + 1))};
}

Input InputOf(const std::string& events, bool whole, const std::string& local,
              const std::string& agreed) {
  Input input;
  input.whole = whole;
  input.local = ItemsOf(local);
  for (const std::string& word : Words(events))
    input.events.push_back(EventOf(word));
  for (const std::string& word : Words(agreed)) {
    Event event = EventOf(word);
    input.agreed[event.key] = {event.revision, event.value};
  }
  return input;
}

struct Row {
  const char *name, *events;
  bool whole;
  const char *local, *agreed, *plan;
  const char* agreed_a;  // the agreement on global/A afterwards, "rev=value"
  bool sensitive_s = false, secure = false;
};

TEST(Reconcile, Rules) {
  const Row rows[] = {
      {"a remote change lands", "global/A@7=3", false, "global/A=1",
       "global/A@5=1", " w:global/A=3", "7=3"},
      {"etcd wins a conflict, the local value is kept", "global/A@7=3", false,
       "global/A=2", "global/A@5=1", " w:global/A=3 c:global/A<2", "7=3"},
      {"the echo of a publication is not applied", "global/A@7=3", false,
       "global/A=3", "global/A@7=3", "", "7=3"},
      {"an older event on resume is not applied", "global/A@6=0", false,
       "global/A=3", "global/A@7=3", "", "7=3"},
      {"a remote delete removes the item", "global/A@8-", false, "global/A=3",
       "global/A@7=3", " w:global/A-", "-"},
      {"a local change is published against the agreed revision", "", false,
       "global/A=4", "global/A@7=3", " p:global/A@7=4", "7=3"},
      {"a local delete is published", "", false, "", "global/A@7=3",
       " p:global/A@7-", "7=3"},
      {"a resync removes what etcd lost and publishes what it never had",
       "def/ENV/B@4={}", true, "global/A=3 def/ENV/B={} global/C=5",
       "global/A@7=3 def/ENV/B@4={}", " w:global/A- p:global/C@0=5", "-"},
      {"a key in lower case is not the fleet's", "global/a@9=x", false, "", "",
       "", "-"},
      {"a sensitive variable stays local", "global/S@9=clear", false,
       "sensitive/S=0a0b", "", "", "-", true},
      {"a sensitive value travels scrambled with a secure fleet", "", false,
       "sensitive/S=0a0b", "", " p:sensitive/S@0=0a0b", "-", true, true},
  };
  for (const Row& row : rows) {
    Input input = InputOf(row.events, row.whole, row.local, row.agreed);
    if (row.sensitive_s) input.sensitive = {"S"};
    input.secure = row.secure;
    Plan plan = Reconcile(input);
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
