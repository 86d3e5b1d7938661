// One thread drives everything: it waits for the store's change
// notification (a set in any process), the watch thread's inbox, or a
// tick, and then runs a round of the reconcile step. The revision the
// store holds is only ever moved past events that a committed round
// applied or refused, so a restart or a lost stream resumes where the
// store stands.
//
// Losing etcd and being refused by it are told apart. A call that fails
// for want of a connection (no answer, a timeout, a token etcd no longer
// knows) gives the connection up; the next one is made after a back-off
// that doubles from 200 ms to 30 s, with jitter so that a fleet does not
// come back in step, and that starts afresh only after a connection that
// served for a while: one that fails again at once does not reset it. A
// request etcd refuses (no permission, too large) marks its item and the
// connection serves on (round.cpp). The loop wakes five times a second
// when idle and does nothing costly then.
#include "agent.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "holders.h"
#include "kxwin/kxwin.h"
#include "session.h"
#include "store_layout.h"
#include "validate.h"

namespace kxsync {
namespace {

using std::chrono::milliseconds;

std::atomic<bool> g_stop{false};

// A watch that has heard nothing for this long, although asked for its
// progress, is taken for dead.
constexpr auto kProgressEvery = std::chrono::seconds(4);
constexpr auto kSilenceLimit = std::chrono::seconds(10);
// A connection that served this long was a good one: its loss starts the
// back-off afresh.
constexpr auto kStableAfter = std::chrono::seconds(10);
constexpr int kFirstBackoffMs = 200, kLastBackoffMs = 30000;
// A revision that events of no item moved to is kept at most this late.
constexpr auto kKeepReachedEvery = std::chrono::seconds(10);

milliseconds Backoff(int failures) {
  static std::mt19937 random{std::random_device{}()};
  int base = std::min(kLastBackoffMs, kFirstBackoffMs << std::min(failures, 8));
  std::uniform_int_distribution<int> jitter(base / 2, base);
  return milliseconds(jitter(random));
}

// The fleet's marker: {"validate": false} when it was created with
// --no-validate; anything else validates.
bool MarkerValidates(const std::string& marker) {
  auto object = nlohmann::json::parse(marker, nullptr, false);
  auto validate = object.is_object() ? object.find("validate") : object.end();
  return !(validate != object.end() && validate->is_boolean() &&
           !validate->get<bool>());
}

// The items among events of the prefix, each with the machine that
// published it (origin/KEY at the same revision); the fleet's marker
// changes the fleet's settings.
std::vector<Event> Sift(Agent& agent, std::vector<Event> all, bool& marker) {
  std::map<std::pair<int64_t, std::string>, std::string> origins;
  std::vector<Event> items;
  for (Event& event : all) {
    if (event.key == "fleet" && !event.deleted) {
      agent.status.validate = MarkerValidates(event.value);
      WriteStatus(agent.options.fleet, agent.status);
      marker = true;
    } else if (event.key.rfind("origin/", 0) == 0) {
      origins[{event.revision, event.key.substr(7)}] = event.value;
    } else if (KindOf(event.key) != Kind::kOther) {
      items.push_back(std::move(event));
    }
  }
  for (Event& item : items) {
    auto origin = origins.find({item.revision, item.key});
    if (origin != origins.end()) item.origin = origin->second;
  }
  return items;
}

bool Resync(Agent& agent) {
  std::vector<Event> all;
  int64_t revision = 0;
  grpc::Status status =
      ReadPrefix(agent.connection, agent.options.prefix(), all, revision);
  if (!status.ok()) {
    Disconnect(agent, "cannot read the fleet: " + status.error_message());
    return false;
  }
  agent.state.revision = 0;  // the whole read replaces what was applied
  bool marker = false;
  std::vector<Event> items = Sift(agent, std::move(all), marker);
  if (!Round(agent, std::move(items), true, revision)) {
    Disconnect(agent, "the store did not take the fleet's items");
    return false;
  }
  return true;
}

void Watch(Agent& agent) {
  agent.watch = StartWatch(agent.connection, agent.options.prefix(),
                           agent.state.revision + 1, agent.inbox);
  agent.last_heard = agent.progress_asked = Clock::now();
}

// Connects to the next endpoint that lets the agent in; 1 when the fleet
// is missing there (no use trying the others: they share one store), else
// 0, with the reason in `error` when no connection was made.
int Reach(Agent& agent, std::string& error) {
  const Options& options = agent.options;
  if (ConnectAny(options, agent.next_endpoint, agent.connection, error) !=
      Contact::kMade) {
    return 0;
  }
  std::optional<std::string> marker;
  grpc::Status status = ReadMarker(agent.connection, options, marker);
  const std::string& endpoint = agent.connection.endpoint;
  if (!status.ok()) {
    error = (IsRefusal(status) ? "etcd refused (" : "cannot reach etcd (") +
            endpoint + ": " + status.error_message() + ")";
    agent.next_endpoint = (agent.next_endpoint + 1) % options.endpoints.size();
    return 0;
  }
  if (!marker) {
    error = "there is no fleet " + options.fleet + " at " + endpoint +
            " (no key " + options.prefix() +
            "fleet); create it with: kxenv sync --create --endpoints " +
            endpoint + " --fleet " + options.fleet;
    return 1;
  }
  agent.status.validate = MarkerValidates(*marker);
  agent.connected = true;
  agent.connected_at = Clock::now();
  agent.status.endpoint = endpoint;
  WriteStatus(options.fleet, agent.status);
  ResetLedger(agent.ledger);
  return 0;
}

// After a connection: catch up. From the kept revision when there is one;
// else, or when etcd has compacted past it, by reading everything.
void CatchUp(Agent& agent) {
  if (agent.state.revision == 0 && !Resync(agent)) return;
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

// Events of no item (the ledger, records) move the revision without a
// round; it is kept now and then, and with the next round.
void KeepReached(Agent& agent, int64_t revision) {
  agent.reached = std::max(agent.reached, revision);
  if (Clock::now() - agent.reached_kept < kKeepReachedEvery) return;
  agent.reached_kept = Clock::now();
  State after = agent.state;
  after.revision = agent.reached;
  std::string error;
  if (Apply(agent.options.fleet, {}, agent.state, after, error)) {
    agent.state = after;
    agent.reached = 0;
  }
}

// The events of the responses, and the revision they reach.
std::vector<Event> EventsOf(Agent& agent,
                            const std::deque<etcdserverpb::WatchResponse>& all,
                            int64_t& revision, int64_t& compacted, bool& ended,
                            std::string& reason) {
  std::vector<Event> events;
  for (const etcdserverpb::WatchResponse& response : all) {
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
                             kv.mod_revision(), ""});
      revision = std::max(revision, kv.mod_revision());
    }
    if (response.events_size() == 0 && !response.created()) {
      revision = std::max(revision, response.header().revision());
    }
  }
  return events;
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
  int64_t revision = 0, compacted = 0;
  bool marker = false;
  std::vector<Event> items = Sift(
      agent, EventsOf(agent, responses, revision, compacted, ended, reason),
      marker);
  if (!items.empty() || marker) {
    if (!Round(agent, std::move(items), false, revision)) {
      return Disconnect(agent, "the store did not take a round of the fleet's");
    }
  } else if (revision > agent.state.revision) {
    KeepReached(agent, revision);
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

void TryToConnect(Agent& agent, std::string& error, int& fatal) {
  fatal = Reach(agent, error);
  if (fatal) return;
  if (!agent.connected) {
    // Said once while it lasts: the endpoints' order, and so the text,
    // changes with every attempt.
    std::string kind = error.substr(0, error.find('('));
    if (kind != agent.warned)
      Say(error + "; retrying, local sets stay pending");
    agent.warned = kind;
    agent.next_attempt = Clock::now() + Backoff(agent.failures++);
    return;
  }
  agent.warned.clear();
  Say("connected to " + agent.connection.endpoint + ", from revision " +
      std::to_string(agent.state.revision));
  CatchUp(agent);
  if (agent.connected) Round(agent, {}, false, 0);  // what waited
}

// Whether a publication etcd refused is due to be offered again.
bool OfferDue(const Agent& agent) {
  return std::any_of(
      agent.unpublished.begin(), agent.unpublished.end(),
      [](const auto& entry) { return Clock::now() >= entry.second.retry; });
}

void Tick(Agent& agent, std::string& error, int& fatal) {
  if (!agent.connected) {
    if (Clock::now() >= agent.next_attempt) TryToConnect(agent, error, fatal);
    return;
  }
  if (agent.watch) {
    if (Clock::now() - agent.last_heard > kSilenceLimit) {
      return Disconnect(
          agent, "no word for " + std::to_string(kSilenceLimit.count()) + " s");
    }
    if (Clock::now() - agent.progress_asked > kProgressEvery) {
      agent.progress_asked = Clock::now();
      RequestProgress(*agent.watch);
    }
  }
  grpc::Status status =
      TendLedger(agent.ledger, agent.connection, agent.options);
  if (!status.ok()) {
    return Disconnect(agent, "the ledger: " + status.error_message());
  }
  if (agent.again || OfferDue(agent)) {
    agent.again = false;
    Round(agent, {}, false, 0);
  }
}

bool Prepare(Agent& agent, const Options& options) {
  agent.options = options;
  ReadStatus(options.fleet, agent.status);
  agent.status.pid = static_cast<unsigned>(getpid());
  agent.status.endpoint.clear();
  agent.status.unpublished.clear();
  std::string error;
  if (!ReadState(options.fleet, agent.state, error)) {
    Say("cannot read the agent's state from the store: " + error);
    return false;
  }
  return true;
}

void Leave(Agent& agent) {
  StopWatch(agent.watch);
  if (agent.connected) DropLedger(agent.ledger, agent.connection);
  agent.status.endpoint.clear();
  agent.status.pid = 0;
  WriteStatus(agent.options.fleet, agent.status);
}

}  // namespace

void Say(const std::string& line) {
  std::cerr << "kxenv-sync: " << line << std::endl;
}

void Disconnect(Agent& agent, const std::string& reason) {
  StopWatch(agent.watch);
  if (agent.connected) {
    Say("lost " + agent.connection.endpoint + ": " + reason +
        "; local sets stay pending");
    if (Clock::now() - agent.connected_at >= kStableAfter) agent.failures = 0;
  }
  agent.connected = false;
  agent.reached = 0;
  agent.status.endpoint.clear();
  WriteStatus(agent.options.fleet, agent.status);
  agent.next_endpoint =
      (agent.next_endpoint + 1) % agent.options.endpoints.size();
  agent.next_attempt = Clock::now() + Backoff(agent.failures++);
}

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
  Leave(agent);
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
  Leave(agent);
  if (!done) Say("the reconcile did not finish; run it again");
  return done ? 0 : 1;
}

bool ConnectOrSay(const Options& options, Connection& connection) {
  size_t index = 0;
  std::string error;
  if (ConnectAny(options, index, connection, error) == Contact::kMade) {
    return true;
  }
  Say(error);
  return false;
}

int CreateFleetCommand(const Options& options) {
  Connection connection;
  if (!ConnectOrSay(options, connection)) return 1;
  grpc::Status status = CreateFleet(connection, options);
  if (status.ok()) return 0;
  Say((IsRefusal(status) ? "etcd refused to create the fleet ("
                         : "cannot create the fleet (") +
      connection.endpoint + ": " + status.error_message() + ")");
  return 1;
}

namespace {

// The refused and held-back items of --status, one line each.
std::string ItemLines(const State& state, const std::vector<Held>& held) {
  std::ostringstream lines;
  lines << "refused    " << state.refused.size() << "\n";
  for (const auto& [key, refusal] : state.refused) {
    lines << "  " << Printable(key) << " (revision " << refusal.revision
          << "): " << refusal.reason << "\n";
  }
  lines << "held back  " << held.size() << "\n";
  for (const Held& item : held) {
    lines << "  " << Printable(item.key) << ": " << item.reason << "\n";
  }
  return lines.str();
}

}  // namespace

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
  Plan plan = Reconcile(MakeInput(options, state, status, snapshot));
  // What etcd refused to take is held back, not pending.
  std::vector<Held> held = plan.held;
  size_t pending = 0;
  for (const Publication& publication : plan.publications) {
    auto refused = status.unpublished.find(publication.key);
    if (refused == status.unpublished.end()) {
      ++pending;
    } else {
      held.push_back({publication.key, refused->second});
    }
  }
  bool running =
      status.pid != 0 && kill(static_cast<pid_t>(status.pid), 0) == 0;
  std::cout << "fleet      " << options.fleet
            << (known ? "" : " (never synced here)") << "\nagent      "
            << (running ? "running, pid " + std::to_string(status.pid)
                        : "not running")
            << "\nendpoint   "
            << (running && !status.endpoint.empty() ? status.endpoint
                                                    : "not connected")
            << "\nvalidate   "
            << (status.validate ? "on" : "off (the fleet says --no-validate)")
            << "\nrevision   " << state.revision << "\npending    " << pending
            << "\nconflicts  " << status.conflicts << "\nresyncs    "
            << status.resyncs << "\n"
            << ItemLines(state, held) << std::flush;
  return 0;
}

}  // namespace kxsync
