// Rules: etcd is the shared truth, so a remote change always lands, and a
// local change made since the last agreement loses to it (a conflict, the
// local value kept in the plan). A remote value equal to the agreed one is
// an echo, of this agent's own publication or of a resume from an older
// revision, and changes nothing locally. Whatever the local store then
// holds that differs from the agreement is published, guarded by the
// agreed mod_revision so that a change etcd took meanwhile wins.
#include "reconcile.h"

#include <algorithm>

namespace kxsync {
namespace {

using Value = std::optional<std::string>;

Value Find(const Items& items, const std::string& key) {
  auto found = items.find(key);
  if (found == items.end()) return std::nullopt;
  return found->second;
}

Value AgreedValue(const AgreedMap& agreed, const std::string& key) {
  auto found = agreed.find(key);
  if (found == agreed.end()) return std::nullopt;
  return found->second.value;
}

// The last event of each key; with a whole read, a delete for each agreed
// key etcd no longer has.
std::map<std::string, Event> LatestEvents(const Input& input) {
  std::map<std::string, Event> latest;
  for (const Event& event : input.events) latest[event.key] = event;
  if (input.whole) {
    for (const auto& [key, agreed] : input.agreed) {
      if (!latest.count(key)) latest[key] = Event{key, true, "", 0};
    }
  }
  return latest;
}

void ApplyRemote(const Event& event, Items& local, Plan& plan) {
  auto agreed = plan.agreed.find(event.key);
  if (agreed != plan.agreed.end() && event.revision != 0 &&
      agreed->second.revision >= event.revision) {
    return;  // already agreed at this revision or a later one
  }
  Value remote = event.deleted ? Value() : Value(event.value);
  Value before = AgreedValue(plan.agreed, event.key);
  Value mine = Find(local, event.key);
  if (remote != before && mine != before && mine != remote) {
    plan.conflicts.push_back({event.key, mine.value_or("")});
  }
  if (remote != before && mine != remote) {
    plan.writes.push_back({event.key, remote});
    if (remote) {
      local[event.key] = *remote;
    } else {
      local.erase(event.key);
    }
  }
  if (remote) {
    plan.agreed[event.key] = Agreed{event.revision, *remote};
  } else {
    plan.agreed.erase(event.key);
  }
}

}  // namespace

bool Travels(const std::string& key, const std::set<std::string>& sensitive,
             bool secure) {
  // Names are upper case, as records spell them: a key in other case is
  // nobody's here, since the store would fold it into the upper-case one.
  if (std::any_of(key.begin() + key.find('/') + 1, key.end(),
                  [](char c) { return c >= 'a' && c <= 'z'; })) {
    return false;
  }
  if (key.rfind("sensitive/", 0) == 0) return secure;
  if (key.rfind("global/", 0) == 0) return !sensitive.count(key.substr(7));
  return key.rfind("def/ENV/", 0) == 0 || key.rfind("def/OPT/", 0) == 0 ||
         key.rfind("app/", 0) == 0;
}

Plan Reconcile(const Input& input) {
  Plan plan;
  plan.agreed = input.agreed;
  Items local;
  for (const auto& [key, value] : input.local) {
    if (Travels(key, input.sensitive, input.secure)) local[key] = value;
  }
  for (const auto& [key, event] : LatestEvents(input)) {
    if (Travels(key, input.sensitive, input.secure)) {
      ApplyRemote(event, local, plan);
    }
  }
  std::set<std::string> keys;
  for (const auto& [key, value] : local) keys.insert(key);
  for (const auto& [key, agreed] : plan.agreed) {
    if (Travels(key, input.sensitive, input.secure)) keys.insert(key);
  }
  for (const std::string& key : keys) {
    Value mine = Find(local, key);
    auto agreed = plan.agreed.find(key);
    Value before = AgreedValue(plan.agreed, key);
    if (mine == before) continue;
    int64_t expected =
        agreed == plan.agreed.end() ? 0 : agreed->second.revision;
    plan.publications.push_back({key, expected, mine});
  }
  return plan;
}

}  // namespace kxsync
