// The local side of the fleet agent: the shared items read from the store,
// remote changes written into it, and the agent's own state (the revision
// it has applied up to, what it last agreed with etcd), which lives beside
// the variables under COM\SYNC\<fleet>, outside the key the library
// watches.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "reconcile.h"

namespace kxsync {

struct Snapshot {
  Items items;
  std::set<std::string> sensitive;
};

struct State {
  int64_t revision = 0;  // applied up to, inclusive
  AgreedMap agreed;
};

// What --status shows, kept by the running agent.
struct Status {
  std::string endpoint;  // empty: not connected
  unsigned conflicts = 0;
  unsigned resyncs = 0;
  unsigned pid = 0;
};

// Each returns false, with the reason in `error`, when the store fails.
bool ReadSnapshot(Snapshot& snapshot, std::string& error);
bool ReadState(const std::string& fleet, State& state, std::string& error);
bool ReadStatus(const std::string& fleet, Status& status);
// Writes the remote changes and the new state in one transaction: other
// processes see all of it or none, and their watches fire once.
bool Apply(const std::string& fleet, const std::vector<LocalWrite>& writes,
           const State& before, const State& after, std::string& error);
void WriteStatus(const std::string& fleet, const Status& status);

}  // namespace kxsync
