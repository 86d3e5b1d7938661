// The running agent's state, shared by its loop (agent.cpp) and its rounds
// (round.cpp). One thread owns all of it; only `inbox` is shared with the
// watch thread, under its own lock.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "etcd.h"
#include "ledger.h"
#include "store.h"

namespace kxsync {

using Clock = std::chrono::steady_clock;

// A local item that etcd refused to take, and when to offer it again (its
// user's role may change).
struct Unpublished {
  std::optional<std::string> value;
  std::string reason;
  Clock::time_point retry;
};

struct Agent {
  Options options;
  Connection connection;
  bool connected = false;
  Clock::time_point connected_at{};
  std::unique_ptr<WatchStream> watch;
  Inbox inbox;
  State state;
  Status status;
  std::vector<Event> retry;  // what etcd held when a publication lost
  std::map<std::string, Unpublished> unpublished;
  std::map<std::string, std::string> held;  // held back, as last said
  // A revision that only events of no item moved to, not yet kept.
  int64_t reached = 0;
  Clock::time_point reached_kept{};
  bool again = false;  // the last round left work for another
  Ledger ledger;
  size_t next_endpoint = 0;
  int failures = 0;  // connections lost since one served a while
  Clock::time_point next_attempt{};
  Clock::time_point last_heard{};
  Clock::time_point progress_asked{};
  std::string warned;  // the kind of reason for not connecting last said
};

// The round's input: the store as read, the agent's state and the fleet's
// settings.
Input MakeInput(const Options& options, const State& state,
                const Status& status, Snapshot& snapshot);

// One reconcile round: remote events (or the whole prefix read at
// `revision`) against the store, their writes committed with the revision
// reached, then the local changes published. False when the store could
// not be read or written: the events are not applied, and the agent must
// take them again from the revision it kept.
bool Round(Agent& agent, std::vector<Event> events, bool whole,
           int64_t revision);

// Gives up the connection for `reason`, and waits before the next one.
void Disconnect(Agent& agent, const std::string& reason);

}  // namespace kxsync
