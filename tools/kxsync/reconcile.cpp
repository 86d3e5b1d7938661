// Rules: etcd is the shared truth, so a remote change always lands, and a
// local change made since the last agreement loses to it (a conflict, the
// local value kept in the plan). A remote value equal to the agreed one is
// an echo, of this agent's own publication or of a resume from an older
// revision, and changes nothing locally. Whatever the local store then
// holds that differs from the agreement is published, guarded by the
// agreed mod_revision so that a change etcd took meanwhile wins.
//
// An item that fails the checks of validate.h on its way in is refused:
// nothing of it is written, and its agreement moves to its revision while
// keeping the value this machine holds, so that it is not taken up again
// and a later local change is published over it. One that fails them on
// its way out is held back: it stays in the store and is not published.
#include "reconcile.h"

#include "validate.h"

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
// or refused key etcd no longer has.
std::map<std::string, Event> LatestEvents(const Input& input) {
  std::map<std::string, Event> latest;
  for (const Event& event : input.events) latest[event.key] = event;
  if (input.whole) {
    for (const auto& [key, agreed] : input.agreed) {
      if (!latest.count(key)) latest[key] = Event{key, true, "", 0, ""};
    }
    for (const auto& [key, refusal] : input.refused) {
      if (!latest.count(key)) latest[key] = Event{key, true, "", 0, ""};
    }
  }
  return latest;
}

// The round's view of this machine: its items as the round's writes leave
// them, and its sensitive variables (a definition may change that).
struct Round {
  const Input& input;
  Plan& plan;
  Items local;
  std::set<std::string> sensitive;
};

// Why a Global value does not lie within the definition of its variable.
std::string DefinitionFault(const Round& round, Kind kind,
                            const std::string& name, const std::string& value) {
  if (!round.input.validate) return "";
  Value definition = Find(round.local, "def/ENV/" + name);
  if (!definition) return "";
  Value text = kind == Kind::kSensitive ? ClearText(value) : Value(value);
  std::string fault = OutsideDefinition(text.value_or(""), *definition);
  return fault.empty() ? ""
                       : "outside the definition of " + name + ": " + fault;
}

// Why an item of etcd cannot be applied here; `canonical` receives the
// value as the store will give it back.
std::string IncomingFault(const Round& round, const Event& event,
                          std::string& canonical) {
  std::string fault = ItemFault(event.key, event.value, canonical);
  if (!fault.empty()) return fault;
  std::string name;
  Kind kind = KindOf(event.key, &name);
  bool sensitive = round.sensitive.count(name) > 0;
  if (kind == Kind::kGlobal && sensitive) {
    return name + " is sensitive here: its value travels only scrambled";
  }
  if (kind == Kind::kSensitive && !sensitive) {
    return name + " is not sensitive on this machine";
  }
  if (kind != Kind::kGlobal && kind != Kind::kSensitive) return "";
  return DefinitionFault(round, kind, name, canonical);
}

void Refuse(Round& round, const Event& event, const std::string& reason) {
  Plan& plan = round.plan;
  auto known = plan.refused.find(event.key);
  if (known == plan.refused.end() || known->second.revision != event.revision) {
    plan.refusals.push_back({event.key, {event.revision, reason}});
  }
  plan.refused[event.key] = Refusal{event.revision, reason};
  std::string name;
  KindOf(event.key, &name);
  if (!NameFault(name).empty()) return;  // no machine can hold it
  auto agreed = plan.agreed.find(event.key);
  Value kept = agreed != plan.agreed.end() ? agreed->second.value
                                           : Find(round.local, event.key);
  plan.agreed[event.key] = Agreed{event.revision, kept};
}

// A refusal kept since the agent last started is known by its shown key.
void Clear(Plan& plan, const std::string& key) {
  if (plan.refused.erase(key) + plan.refused.erase(ShownKey(key)) > 0) {
    plan.cleared.push_back(key);
  }
}

void Land(Round& round, const Event& event, const Value& remote) {
  Plan& plan = round.plan;
  Value before = AgreedValue(plan.agreed, event.key);
  Value mine = Find(round.local, event.key);
  if (remote != before && mine != before && mine != remote) {
    plan.conflicts.push_back({event.key, mine.value_or(""), event.origin});
  }
  if (remote != before && mine != remote) {
    plan.writes.push_back({event.key, remote, event.revision, event.origin});
    if (remote) {
      round.local[event.key] = *remote;
    } else {
      round.local.erase(event.key);
    }
  }
  if (remote) {
    plan.agreed[event.key] = Agreed{event.revision, *remote};
  } else {
    plan.agreed.erase(event.key);
  }
  Clear(plan, event.key);
}

void ApplyRemote(Round& round, const Event& event) {
  Plan& plan = round.plan;
  auto agreed = plan.agreed.find(event.key);
  if (agreed != plan.agreed.end() && event.revision != 0 &&
      agreed->second.revision >= event.revision) {
    return;  // already agreed at this revision or a later one
  }
  std::string name;
  Kind kind = KindOf(event.key, &name);
  if (kind == Kind::kOther) return;
  if (kind == Kind::kSensitive && !round.input.secure) return;
  if (event.deleted && !NameFault(name).empty()) {
    plan.agreed.erase(event.key);  // what no machine could hold is gone
    Clear(plan, event.key);
    return;
  }
  std::string canonical;
  std::string fault =
      event.deleted ? "" : IncomingFault(round, event, canonical);
  if (!fault.empty()) return Refuse(round, event, fault);
  Land(round, event, event.deleted ? Value() : Value(canonical));
  if (kind == Kind::kEnvDefinition) {
    if (!event.deleted && MarksSensitive(canonical)) {
      round.sensitive.insert(name);
    } else {
      round.sensitive.erase(name);
    }
  }
}

// Why a local item that differs from its agreement is not published.
std::string OutgoingFault(const Round& round, const std::string& key,
                          const std::string& value) {
  auto unreadable = round.input.unreadable.find(key);
  if (unreadable != round.input.unreadable.end()) return unreadable->second;
  std::string canonical, name;
  std::string fault = ItemFault(key, value, canonical);
  if (!fault.empty()) return fault;
  Kind kind = KindOf(key, &name);
  if (kind != Kind::kGlobal && kind != Kind::kSensitive) return "";
  return DefinitionFault(round, kind, name, value);
}

void Publish(Round& round) {
  Plan& plan = round.plan;
  // A definition applied in this round may have made a variable sensitive.
  std::set<std::string> keys;
  for (const auto& [key, value] : round.local) keys.insert(key);
  for (const auto& [key, agreed] : plan.agreed) keys.insert(key);
  std::erase_if(keys, [&](const std::string& key) {
    return !Travels(key, round.sensitive, round.input.secure);
  });
  for (const std::string& key : keys) {
    Value mine = Find(round.local, key);
    auto agreed = plan.agreed.find(key);
    Value before = AgreedValue(plan.agreed, key);
    if (mine == before) continue;
    std::string fault = mine ? OutgoingFault(round, key, *mine) : "";
    if (!fault.empty()) {
      plan.held.push_back({key, fault});
      continue;
    }
    int64_t expected =
        agreed == plan.agreed.end() ? 0 : agreed->second.revision;
    plan.publications.push_back({key, expected, mine});
  }
}

}  // namespace

bool Travels(const std::string& key, const std::set<std::string>& sensitive,
             bool secure) {
  std::string name;
  switch (KindOf(key, &name)) {
    case Kind::kOther:
      return false;
    case Kind::kSensitive:
      return secure;
    case Kind::kGlobal:
      return !sensitive.count(name);
    default:
      return true;
  }
}

Plan Reconcile(const Input& input) {
  Plan plan;
  plan.agreed = input.agreed;
  plan.refused = input.refused;
  Round round{input, plan, {}, input.sensitive};
  for (const auto& [key, value] : input.local) {
    if (Travels(key, input.sensitive, input.secure)) round.local[key] = value;
  }
  for (const auto& [key, event] : LatestEvents(input)) {
    ApplyRemote(round, event);
  }
  Publish(round);
  return plan;
}

void RefuseWrite(const Input& input, const LocalWrite& write,
                 const std::string& reason, Plan& plan) {
  auto agreed = input.agreed.find(write.key);
  Value kept = agreed != input.agreed.end() ? agreed->second.value
                                            : Find(input.local, write.key);
  plan.agreed[write.key] = Agreed{write.revision, kept};
  plan.refused[write.key] = Refusal{write.revision, reason};
  plan.refusals.push_back({write.key, {write.revision, reason}});
}

}  // namespace kxsync
