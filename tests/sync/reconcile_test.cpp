// The reconcile rules, one row per situation, the plan written out as
// text: w: local writes (key=value, key- removes), p: publications
// (key@expected=value, key@expected- deletes), c: conflicts (key<lost),
// r: items of etcd refused, h: local items held back.
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
  for (const auto& [key, refusal] : plan.refusals) text += " r:" + key;
  for (const Held& h : plan.held) text += " h:" + h.key;
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
          std::stoll(word.substr(at + 1)), ""};
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

enum Flags { kSensitiveS = 1, kSecure = 2, kNoValidate = 4 };

struct Row {
  const char *name, *events;
  bool whole;
  const char *local, *agreed, *plan;
  const char* agreed_a;  // the agreement on global/A afterwards, "rev=value"
  int flags = 0;
};

// Definitions as the table loader writes them, and a scrambled text.
#define KXT_NUMBER R"(def/ENV/A={"DataType":"NUMBER"})"
#define KXT_NUMBER_AGREED R"(def/ENV/A@2={"DataType":"NUMBER"})"

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
      {"a key in lower case is refused: records spell names upper case",
       "global/a@9=x", false, "", "", " r:global/a", "-"},
      {"a plain value of a variable sensitive here is refused",
       "global/S@9=clear", false, "sensitive/S=41424300", "", " r:global/S",
       "-", kSensitiveS},
      {"a sensitive value travels scrambled with a secure fleet", "", false,
       "sensitive/S=41424300", "", " p:sensitive/S@0=41424300", "-",
       kSensitiveS | kSecure},
      {"a scrambled value of a variable not sensitive here is refused",
       "sensitive/T@9=41424300", false, "", "", " r:sensitive/T", "-", kSecure},
      {"the remote value equals the agreed one while a local change waits: "
       "the local change is published",
       "global/A@8=3", false, "global/A=4", "global/A@7=3", " p:global/A@8=4",
       "8=3"},
      {"a bad item is refused alone and the good one beside it lands",
       "def/ENV/B@9={bad global/A@9=5", false, "", "",
       " w:global/A=5 r:def/ENV/B", "9=5"},
      {"a refused value moves the agreement on and is not published over",
       "global/A@9=abc", false, KXT_NUMBER " global/A=3",
       KXT_NUMBER_AGREED " global/A@7=3", " r:global/A", "9=3"},
      {"a pending local change is published over a refused value",
       "global/A@9=abc", false, KXT_NUMBER " global/A=4",
       KXT_NUMBER_AGREED " global/A@7=3", " p:global/A@9=4 r:global/A", "9=3"},
      {"a refused item this machine does not hold is agreed absent",
       "global/A@9=abc", false, KXT_NUMBER, KXT_NUMBER_AGREED, " r:global/A",
       "9"},
      {"a local value outside its definition is held back", "", false,
       KXT_NUMBER " global/A=abc", KXT_NUMBER_AGREED, " h:global/A", "-"},
      {"a fleet that does not validate publishes it", "", false,
       KXT_NUMBER " global/A=abc", KXT_NUMBER_AGREED, " p:global/A@0=abc", "-",
       kNoValidate},
      {"JSON spelled otherwise lands as the store spells it, not written back",
       R"(def/ENV/B@9={"MaxSize":5,"App":"X"})", false, "", "",
       R"( w:def/ENV/B={"App":"X","MaxSize":5})", "-"},
  };
  for (const Row& row : rows) {
    Input input = InputOf(row.events, row.whole, row.local, row.agreed);
    if (row.flags & kSensitiveS) input.sensitive = {"S"};
    input.secure = row.flags & kSecure;
    input.validate = !(row.flags & kNoValidate);
    Plan plan = Reconcile(input);
    EXPECT_EQ(Describe(plan), row.plan) << row.name;
    auto a = plan.agreed.find("global/A");
    std::string agreed =
        a == plan.agreed.end()
            ? "-"
            : std::to_string(a->second.revision) +
                  (a->second.value ? "=" + *a->second.value : "");
    EXPECT_EQ(agreed, row.agreed_a) << row.name;
  }
}

}  // namespace
}  // namespace kxsync
