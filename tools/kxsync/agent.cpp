// One thread drives everything: it waits for the store's change
// notification (a set in any process), the watch thread's inbox, or a
// tick, and then runs a round of the reconcile step. The revision the
// store holds is only ever moved past events that a committed round
// applied, so a restart or a lost stream resumes where the store stands.
#include "agent.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <random>

#include "holders.h"
#include "kxwin/kxwin.h"
#include "store.h"
#include "store_layout.h"

namespace kxsync {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<bool> g_stop{false};

// A watch that has heard nothing for this long, although asked for its
// progress, is taken for dead.
constexpr auto kProgressEvery = std::chrono::seconds(4);
constexpr auto kSilenceLimit = std::chrono::seconds(10);

void Say(const std::string& line) {
  std::cerr << "kxenv-sync: " << line << std::endl;
}

struct Agent {
  Options options;
  Connection connection;
  bool connected = false;
  std::unique_ptr<WatchStream> watch;
  Inbox inbox;
  State state;
  Status status;
  std::vector<Event> retry;  // what etcd held when a publication lost
  size_t next_endpoint = 0;
  int failures = 0;
  Clock::time_point next_attempt{};
  Clock::time_point last_heard{};
  Clock::time_point progress_asked{};
  bool warned_unreachable = false;
};

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words)
    text += (text.empty() ? "" : "; ") + word;
  return text;
}

milliseconds Backoff(int failures) {
  static std::mt19937 random{std::random_device{}()};
  int base = std::min(5000, 200 << std::min(failures, 5));
  std::uniform_int_distribution<int> jitter(base / 2, base * 3 / 2);
  return milliseconds(jitter(random));
}

void Disconnect(Agent& agent, const std::string& reason) {
  StopWatch(agent.watch);
  if (agent.connected) {
    Say("lost " + agent.connection.endpoint + ": " + reason +
        "; local sets stay pending");
  }
  agent.connected = false;
  agent.status.endpoint.clear();
  WriteStatus(agent.options.fleet, agent.status);
  agent.next_endpoint =
      (agent.next_endpoint + 1) % agent.options.endpoints.size();
  agent.next_attempt = Clock::now() + Backoff(agent.failures++);
}

void RecordConflicts(Agent& agent, const std::vector<Conflict>& conflicts) {
  for (const Conflict& conflict : conflicts) {
    std::string key = agent.options.prefix() + "conflicts/" +
                      agent.options.machine + "/" + conflict.key;
    Say("conflict on " + conflict.key +
        ": etcd's value wins; the local value '" + conflict.lost +
        "' is kept at " + key);
    ++agent.status.conflicts;
    if (agent.connected) Put(agent.connection, key, conflict.lost);
  }
  if (!conflicts.empty()) WriteStatus(agent.options.fleet, agent.status);
}

// Sends the publications; what etcd took becomes agreed, what it refused
// comes back as its current value for the next round.
bool PublishAll(Agent& agent, const std::vector<Publication>& publications) {
  if (publications.empty()) return true;
  State after = agent.state;
  bool reachable = true;
  for (const Publication& publication : publications) {
    Outcome outcome;
    grpc::Status status =
        Publish(agent.connection, agent.options.prefix(), publication, outcome);
    if (!status.ok()) {
      Disconnect(agent, status.error_message());
      reachable = false;
      break;
    }
    if (!outcome.done) {
      agent.retry.push_back(outcome.current);
    } else if (publication.value) {
      after.agreed[publication.key] =
          Agreed{outcome.revision, *publication.value};
    } else {
      after.agreed.erase(publication.key);
    }
  }
  std::string error;
  if (!Apply(agent.options.fleet, {}, agent.state, after, error)) {
    Say("cannot keep the agreed revisions: " + error);
    return reachable;
  }
  agent.state = after;
  return reachable;
}

bool SameAgreement(const std::pair<const std::string, Agreed>& a,
                   const std::pair<const std::string, Agreed>& b) {
  return a.first == b.first && a.second.revision == b.second.revision &&
         a.second.value == b.second.value;
}

// One reconcile round: remote events (or the whole prefix) against the
// store, their writes committed with the revision reached, then the local
// changes published.
bool Round(Agent& agent, std::vector<Event> events, bool whole,
           int64_t revision) {
  Input input;
  Snapshot snapshot;
  std::string error;
  if (!ReadSnapshot(snapshot, error)) {
    Say("cannot read the store: " + error);
    return false;
  }
  events.insert(events.begin(), agent.retry.begin(), agent.retry.end());
  agent.retry.clear();
  input.events = std::move(events);
  input.whole = whole;
  input.local = std::move(snapshot.items);
  input.sensitive = std::move(snapshot.sensitive);
  input.secure = agent.options.secure();
  input.agreed = agent.state.agreed;
  Plan plan = Reconcile(input);
  State after{std::max(agent.state.revision, revision), plan.agreed};
  bool same = plan.writes.empty() && after.revision == agent.state.revision &&
              after.agreed.size() == agent.state.agreed.size() &&
              std::equal(after.agreed.begin(), after.agreed.end(),
                         agent.state.agreed.begin(), SameAgreement);
  if (!same &&
      !Apply(agent.options.fleet, plan.writes, agent.state, after, error)) {
    Say("cannot write the store: " + error);
    return false;
  }
  agent.state = after;
  RecordConflicts(agent, plan.conflicts);
  if (!agent.connected) return true;
  return PublishAll(agent, plan.publications);
}

bool Resync(Agent& agent) {
  std::vector<Event> items;
  int64_t revision = 0;
  grpc::Status status =
      ReadPrefix(agent.connection, agent.options.prefix(), items, revision);
  if (!status.ok()) {
    Disconnect(agent, status.error_message());
    return false;
  }
  agent.state.revision = 0;  // the whole read replaces what was applied
  return Round(agent, std::move(items), true, revision);
}

void Watch(Agent& agent) {
  agent.watch = StartWatch(agent.connection, agent.options.prefix(),
                           agent.state.revision + 1, agent.inbox);
  agent.last_heard = agent.progress_asked = Clock::now();
}

// Connects to the next endpoint that answers; 1 when the fleet is missing
// there (no use trying the others: they share one store), else 0.
int Reach(Agent& agent, std::string& error) {
  std::vector<std::string> reasons;
  for (size_t tried = 0; tried < agent.options.endpoints.size(); ++tried) {
    const std::string& endpoint = agent.options.endpoints[agent.next_endpoint];
    std::string reason;
    bool exists = false;
    if (Connect(agent.options, endpoint, agent.connection, reason)) {
      grpc::Status status =
          FleetExists(agent.connection, agent.options, exists);
      if (status.ok() && !exists) {
        error = "there is no fleet " + agent.options.fleet + " at " + endpoint +
                " (no key " + agent.options.prefix() +
                "fleet); create it with: kxenv sync --create --endpoints " +
                endpoint + " --fleet " + agent.options.fleet;
        return 1;
      }
      if (status.ok()) {
        agent.connected = true;
        agent.failures = 0;
        agent.status.endpoint = endpoint;
        WriteStatus(agent.options.fleet, agent.status);
        return 0;
      }
      reason = endpoint + ": " + status.error_message();
    }
    reasons.push_back(reason);
    agent.next_endpoint =
        (agent.next_endpoint + 1) % agent.options.endpoints.size();
  }
  error = "cannot reach etcd (" + Joined(reasons) + ")";
  return 0;
}

// After a connection: catch up. From the kept revision when there is one;
// else, or when etcd has compacted past it, by reading everything.
void CatchUp(Agent& agent) {
  if (agent.state.revision == 0) {
    if (!Resync(agent)) return;
  }
  Watch(agent);
}

void StartResync(Agent& agent, int64_t compacted) {
  Say("revision " + std::to_string(agent.state.revision + 1) +
      " is compacted (etcd keeps from " + std::to_string(compacted) +
      "); reading the whole fleet again");
  ++agent.status.resyncs;
  WriteStatus(agent.options.fleet, agent.status);
  StopWatch(agent.watch);
  if (Resync(agent)) Watch(agent);
}

// Drains the inbox into one round.
void Drain(Agent& agent) {
  std::deque<etcdserverpb::WatchResponse> responses;
  bool ended = false;
  std::string reason;
  {
    std::lock_guard<std::mutex> hold(agent.inbox.lock);
    responses.swap(agent.inbox.responses);
    ended = agent.inbox.ended;
    reason = agent.inbox.reason;
  }
  std::vector<Event> events;
  int64_t revision = 0;
  int64_t compacted = 0;
  for (const etcdserverpb::WatchResponse& response : responses) {
    agent.last_heard = Clock::now();
    if (response.compact_revision() > 0) {
      compacted = response.compact_revision();
      break;
    }
    if (response.canceled()) {
      ended = true;
      reason = response.cancel_reason().empty() ? "the watch was cancelled"
                                                : response.cancel_reason();
      break;
    }
    for (const auto& event : response.events()) {
      const auto& kv = event.kv();
      bool deleted = event.type() == etcdserverpb::Event::DELETE;
      events.push_back(Event{kv.key().substr(agent.options.prefix().size()),
                             deleted, deleted ? "" : kv.value(),
                             kv.mod_revision()});
      revision = std::max(revision, kv.mod_revision());
    }
    if (response.events_size() == 0 && !response.created()) {
      revision = std::max(revision, response.header().revision());
    }
  }
  if (!events.empty() || revision > agent.state.revision) {
    Round(agent, std::move(events), false, revision);
  }
  if (compacted > 0) {
    StartResync(agent, compacted);
  } else if (ended && agent.connected) {
    Disconnect(agent, reason);
  }
}

struct Notify {
  kx::UniqueHandle event;
  kx::UniqueKey key;
};

bool ArmNotify(Notify& notify) {
  return RegNotifyChangeKeyValue(
             notify.key.get(), TRUE,
             REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
             notify.event.get(), TRUE) == ERROR_SUCCESS;
}

void OnSignal(int) {
  g_stop = true;
}

void Tick(Agent& agent, std::string& error, int& fatal) {
  if (!agent.connected && Clock::now() >= agent.next_attempt) {
    fatal = Reach(agent, error);
    if (fatal) return;
    if (!agent.connected) {
      if (!agent.warned_unreachable)
        Say(error + "; retrying, local sets stay pending");
      agent.warned_unreachable = true;
      agent.next_attempt = Clock::now() + Backoff(agent.failures++);
      return;
    }
    agent.warned_unreachable = false;
    Say("connected to " + agent.connection.endpoint + ", from revision " +
        std::to_string(agent.state.revision));
    CatchUp(agent);
    if (agent.connected) Round(agent, {}, false, 0);  // what waited
    return;
  }
  if (agent.connected && agent.watch) {
    if (Clock::now() - agent.last_heard > kSilenceLimit) {
      Disconnect(agent,
                 "no word for " + std::to_string(kSilenceLimit.count()) + " s");
    } else if (Clock::now() - agent.progress_asked > kProgressEvery) {
      agent.progress_asked = Clock::now();
      RequestProgress(*agent.watch);
    }
  }
}

bool Prepare(Agent& agent, const Options& options) {
  agent.options = options;
  agent.status.pid = static_cast<unsigned>(getpid());
  ReadStatus(options.fleet, agent.status);
  agent.status.pid = static_cast<unsigned>(getpid());
  agent.status.endpoint.clear();
  std::string error;
  if (!ReadState(options.fleet, agent.state, error)) {
    Say("cannot read the agent's state from the store: " + error);
    return false;
  }
  return true;
}

}  // namespace

int RunAgent(const Options& options) {
  // Declared before the agent, so that it outlives the agent's threads.
  kx::UniqueHandle wake(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Agent agent;
  if (!Prepare(agent, options)) return 1;
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  Notify notify;
  notify.event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  agent.inbox.wake = wake.get();
  if (!notify.event || !agent.inbox.wake ||
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, kx::layout::kStoreKey, 0, nullptr, 0,
                      KEY_NOTIFY, nullptr, notify.key.out(),
                      nullptr) != ERROR_SUCCESS ||
      !ArmNotify(notify)) {
    Say("cannot watch the store for changes");
    return 1;
  }
  WriteStatus(options.fleet, agent.status);
  int fatal = 0;
  std::string error;
  while (!g_stop && !fatal) {
    Tick(agent, error, fatal);
    HANDLE handles[] = {notify.event.get(), agent.inbox.wake};
    DWORD woken = WaitForMultipleObjects(2, handles, FALSE, 200);
    if (woken == WAIT_OBJECT_0) {
      ArmNotify(notify);
      if (agent.connected) Round(agent, {}, false, 0);
    } else if (woken == WAIT_OBJECT_0 + 1) {
      Drain(agent);
    }
  }
  StopWatch(agent.watch);
  agent.status = Status{};
  ReadStatus(options.fleet, agent.status);
  agent.status.endpoint.clear();
  agent.status.pid = 0;
  WriteStatus(options.fleet, agent.status);
  if (fatal) Say(error);
  return fatal ? 1 : 0;
}

int RunOnce(const Options& options) {
  // Declared before the agent, so that it outlives the agent's threads.
  kx::UniqueHandle wake(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Agent agent;
  if (!Prepare(agent, options)) return 1;
  std::string error;
  if (Reach(agent, error) || !agent.connected) {
    Say(error);
    return 1;
  }
  // A publication etcd refused comes back as the value that won; one more
  // round applies it.
  bool done =
      Resync(agent) && (agent.retry.empty() || Round(agent, {}, false, 0));
  agent.status.endpoint.clear();
  agent.status.pid = 0;
  WriteStatus(options.fleet, agent.status);
  if (!done) Say("the reconcile did not finish; run it again");
  return done ? 0 : 1;
}

int CreateFleetCommand(const Options& options) {
  std::vector<std::string> reasons;
  for (const std::string& endpoint : options.endpoints) {
    Connection connection;
    std::string reason;
    if (!Connect(options, endpoint, connection, reason)) {
      reasons.push_back(reason);
      continue;
    }
    grpc::Status status = CreateFleet(connection, options);
    if (status.ok()) return 0;
    reasons.push_back(endpoint + ": " + status.error_message());
  }
  Say("cannot reach etcd (" + Joined(reasons) + ")");
  return 1;
}

int PrintStatus(const Options& options) {
  Status status;
  State state;
  Snapshot snapshot;
  std::string error;
  if (!ReadState(options.fleet, state, error) ||
      !ReadSnapshot(snapshot, error)) {
    Say("cannot read the store: " + error);
    return 1;
  }
  bool known = ReadStatus(options.fleet, status);
  Input input;
  input.local = std::move(snapshot.items);
  input.sensitive = std::move(snapshot.sensitive);
  input.secure = options.secure();
  input.agreed = state.agreed;
  size_t pending = Reconcile(input).publications.size();
  bool running =
      status.pid != 0 && kill(static_cast<pid_t>(status.pid), 0) == 0;
  std::cout << "fleet      " << options.fleet
            << (known ? "" : " (never synced here)") << "\nagent      "
            << (running ? "running, pid " + std::to_string(status.pid)
                        : "not running")
            << "\nendpoint   "
            << (running && !status.endpoint.empty() ? status.endpoint
                                                    : "not connected")
            << "\nrevision   " << state.revision << "\npending    " << pending
            << "\nconflicts  " << status.conflicts << "\nresyncs    "
            << status.resyncs << std::endl;
  return 0;
}

}  // namespace kxsync
