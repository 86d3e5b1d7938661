// A round, from the store read to the publications sent. Every item is
// applied or refused on its own: a round whose commit fails is written
// again one item per transaction, and an item the store will not take is
// refused like one that failed its checks. A refusal is said once, kept in
// the agent's state for --status and recorded under rejected/<machine>/.
// What etcd refuses to take (no permission, too large) stays pending here,
// is said once, and is offered again after a minute; it never costs the
// connection.
#include <algorithm>

#include "agent.h"
#include "session.h"
#include "validate.h"

namespace kxsync {
namespace {

constexpr auto kOfferAgain = std::chrono::minutes(1);

std::string RecordKey(const Agent& agent, const char* kind,
                      const std::string& item) {
  return agent.options.prefix() + kind + "/" + agent.options.machine + "/" +
         item;
}

bool SameState(const State& a, const State& b) {
  auto same = [](const auto& x, const auto& y) {
    return x.revision == y.revision && x.value == y.value;
  };
  return a.revision == b.revision &&
         std::equal(a.agreed.begin(), a.agreed.end(), b.agreed.begin(),
                    b.agreed.end(),
                    [&](const auto& x, const auto& y) {
                      return x.first == y.first && same(x.second, y.second);
                    }) &&
         std::equal(a.refused.begin(), a.refused.end(), b.refused.begin(),
                    b.refused.end(), [](const auto& x, const auto& y) {
                      return x.first == y.first &&
                             x.second.revision == y.second.revision;
                    });
}

// `state` with the plan's agreement and refusal of `key`.
void Adopt(State& state, const Plan& plan, const std::string& key) {
  auto agreed = plan.agreed.find(key);
  if (agreed != plan.agreed.end()) {
    state.agreed[key] = agreed->second;
  } else {
    state.agreed.erase(key);
  }
  auto refused = plan.refused.find(key);
  if (refused != plan.refused.end()) {
    state.refused[key] = refused->second;
  } else {
    state.refused.erase(key);
  }
}

// Commits the plan's writes and `after`. When the store refuses the round
// whole but takes a transaction of the agent's state alone, the fault is
// an item's: one transaction per item, refusing those it will not take.
// Else the store is failing, and nothing is refused.
bool Commit(Agent& agent, const Input& input, Plan& plan, State& after) {
  const std::string& fleet = agent.options.fleet;
  std::string error;
  if (Apply(fleet, plan.writes, agent.state, after, error)) return true;
  std::string whole = error;
  if (plan.writes.empty() ||
      !Apply(fleet, {}, agent.state, agent.state, error)) {
    Say("cannot write the store: " + whole);
    return false;
  }
  Say("cannot write the round whole (" + whole + "); writing it item by item");
  State current = agent.state;
  for (const LocalWrite& write : plan.writes) {
    State next = current;
    Adopt(next, plan, write.key);
    error.clear();
    if (Apply(fleet, {write}, current, next, error)) {
      current = next;
    } else {
      RefuseWrite(input, write, "the store refused it: " + error, plan);
      agent.again = true;  // a local change may now be due for etcd
    }
  }
  after.agreed = plan.agreed;
  after.refused = plan.refused;
  error.clear();
  if (Apply(fleet, {}, current, after, error)) return true;
  agent.state = current;
  Say("cannot write the store: " + error);
  return false;
}

void RecordConflicts(Agent& agent, const std::vector<Conflict>& conflicts) {
  for (const Conflict& conflict : conflicts) {
    std::string key = RecordKey(agent, "conflicts", conflict.key);
    Say("conflict on " + conflict.key + ": etcd's value" +
        (conflict.origin.empty() ? ""
                                 : ", from " + Printable(conflict.origin)) +
        ", wins; the local value '" + Printable(conflict.lost) +
        "' is kept at " + key);
    ++agent.status.conflicts;
    if (agent.connected) Put(agent.connection, key, conflict.lost);
  }
  if (!conflicts.empty()) WriteStatus(agent.options.fleet, agent.status);
}

// Says what the round refused and held back, each once, and keeps the
// records under rejected/ in step.
void Report(Agent& agent, const Plan& plan) {
  for (const auto& [key, refusal] : plan.refusals) {
    Say("refused " + Printable(key) + " (revision " +
        std::to_string(refusal.revision) + "): " + refusal.reason);
    if (agent.connected) {
      Put(agent.connection, RecordKey(agent, "rejected", key),
          "revision " + std::to_string(refusal.revision) + ": " +
              refusal.reason);
    }
  }
  for (const std::string& key : plan.cleared) {
    if (agent.connected)
      Delete(agent.connection, RecordKey(agent, "rejected", key));
  }
  std::map<std::string, std::string> held;
  for (const Held& item : plan.held) {
    auto said = agent.held.find(item.key);
    if (said == agent.held.end() || said->second != item.reason) {
      Say("holding back " + Printable(item.key) + ": " + item.reason +
          "; it stays on this machine, unpublished");
    }
    held[item.key] = item.reason;
  }
  agent.held = std::move(held);
  RecordConflicts(agent, plan.conflicts);
}

void Unpublish(Agent& agent, const Publication& publication,
               const std::string& reason) {
  Unpublished& entry = agent.unpublished[publication.key];
  if (entry.reason.empty() || entry.value != publication.value) {
    Say("etcd refused to take " + publication.key + " (" + reason +
        "); it stays pending here, offered again every minute");
  }
  entry = Unpublished{publication.value, "etcd refused it: " + reason,
                      Clock::now() + kOfferAgain};
}

void KeepUnpublished(Agent& agent) {
  std::map<std::string, std::string> now;
  for (const auto& [key, entry] : agent.unpublished) now[key] = entry.reason;
  if (now == agent.status.unpublished) return;
  agent.status.unpublished = std::move(now);
  WriteStatus(agent.options.fleet, agent.status);
}

// Sends one publication: what etcd took becomes agreed in `after`, what
// lost to a newer value comes back as that value for the next round.
// False when the connection is gone.
bool PublishOne(Agent& agent, const Publication& publication, State& after) {
  auto refused = agent.unpublished.find(publication.key);
  if (refused != agent.unpublished.end() &&
      refused->second.value == publication.value &&
      Clock::now() < refused->second.retry) {
    return true;  // etcd refused it a moment ago
  }
  Outcome outcome;
  grpc::Status status =
      Publish(agent.connection, agent.options, publication, outcome);
  if (!status.ok() && IsRefusal(status)) {
    Unpublish(agent, publication, status.error_message());
    return true;
  }
  if (!status.ok()) {
    Disconnect(agent, status.error_message());
    return false;
  }
  agent.unpublished.erase(publication.key);
  if (!outcome.done) {
    agent.retry.push_back(outcome.current);
  } else if (publication.value) {
    after.agreed[publication.key] =
        Agreed{outcome.revision, *publication.value};
  } else {
    after.agreed.erase(publication.key);
  }
  return true;
}

// Sends the publications, and keeps what etcd took as agreed.
bool PublishAll(Agent& agent, const std::vector<Publication>& publications) {
  // What is no longer to be published is no longer refused.
  std::erase_if(agent.unpublished, [&](const auto& entry) {
    return std::none_of(publications.begin(), publications.end(),
                        [&](const Publication& publication) {
                          return publication.key == entry.first;
                        });
  });
  if (publications.empty()) {
    KeepUnpublished(agent);
    return true;
  }
  State after = agent.state;
  bool reachable = true;
  for (const Publication& publication : publications) {
    if (!PublishOne(agent, publication, after)) {
      reachable = false;
      break;
    }
  }
  KeepUnpublished(agent);
  std::string error;
  if (!Apply(agent.options.fleet, {}, agent.state, after, error)) {
    Say("cannot keep the agreed revisions: " + error);
    return reachable;
  }
  agent.state = after;
  return reachable;
}

}  // namespace

Input MakeInput(const Options& options, const State& state,
                const Status& status, Snapshot& snapshot) {
  Input input;
  input.local = std::move(snapshot.items);
  input.unreadable = std::move(snapshot.unreadable);
  input.sensitive = std::move(snapshot.sensitive);
  input.secure = options.secure();
  input.validate = status.validate;
  input.agreed = state.agreed;
  input.refused = state.refused;
  return input;
}

bool Round(Agent& agent, std::vector<Event> events, bool whole,
           int64_t revision) {
  Snapshot snapshot;
  std::string error;
  if (!ReadSnapshot(snapshot, error)) {
    Say("cannot read the store: " + error);
    return false;
  }
  bool remote = whole || !events.empty();
  events.insert(events.begin(), agent.retry.begin(), agent.retry.end());
  agent.retry.clear();
  Input input = MakeInput(agent.options, agent.state, agent.status, snapshot);
  input.events = std::move(events);
  input.whole = whole;
  Plan plan = Reconcile(input);
  State after{std::max({agent.state.revision, revision, agent.reached}),
              plan.agreed, plan.refused};
  if ((!plan.writes.empty() || !SameState(after, agent.state)) &&
      !Commit(agent, input, plan, after)) {
    return false;
  }
  agent.state = after;
  agent.reached = 0;
  Report(agent, plan);
  if (remote) {
    NoteRound(
        agent.ledger, after.revision, ValuesHash(after.agreed),
        static_cast<unsigned>(plan.held.size() + agent.unpublished.size()),
        static_cast<unsigned>(after.refused.size()));
  }
  if (!agent.connected) return true;
  return PublishAll(agent, plan.publications);
}

}  // namespace kxsync
