// The convergence ledger: each agent keeps /kx-orrery/<fleet>/seen/<machine>
// bound to a lease that it renews, so that only live machines are listed,
// saying how far it has applied the fleet, a hash of the fleet's values as
// it holds them, and its counts of held-back and refused items. `kxenv sync
// --fleet-status` reads every entry and tells which machine lags, which
// holds other values than the majority, and when a revision reached half,
// 99 % and all of the live machines.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "etcd.h"
#include "reconcile.h"

namespace kxsync {

// One machine's entry, as JSON: {"revision": R, "hash": "...", "time": ms,
// "version": "...", "held": n, "refused": n, "rounds": [[R, ms], ...]}.
struct LedgerEntry {
  int64_t revision = 0;  // applied (or deliberately refused) up to
  std::string hash;      // ValuesHash of what it agreed with etcd
  int64_t time = 0;      // of the entry, in ms since 1970
  std::string version;
  unsigned held = 0, refused = 0;
  // Its last rounds that moved the revision: the revision and when, in ms.
  std::vector<std::pair<int64_t, int64_t>> rounds;
};

std::string ValuesHash(const AgreedMap& agreed);

// The agent's side of its entry.
struct Ledger {
  using Clock = std::chrono::steady_clock;
  LedgerEntry entry;
  int64_t lease = 0;    // 0: none granted on this connection
  bool dirty = false;   // the entry changed since it was written
  bool barred = false;  // etcd refused the entry; not tried again until the
                        // next connection
  Clock::time_point written{}, renewed{};
};

// After a round of remote items: the revision reached and the counts.
void NoteRound(Ledger& ledger, int64_t revision, const std::string& hash,
               unsigned held, unsigned refused);
// Called on every turn of the loop while connected: grants the lease,
// renews it, and writes the entry when it changed (at most once a second).
// A refusal bars the entry until the next connection; another failure
// comes back, for the connection is not good (an expired token, say).
grpc::Status TendLedger(Ledger& ledger, Connection& connection,
                        const Options& options);
// A new connection: a new lease and the entry written again.
void ResetLedger(Ledger& ledger);
// On a clean stop: the entry leaves with its lease.
void DropLedger(Ledger& ledger, Connection& connection);

// `kxenv sync --fleet-status [--json] [--revision R]`.
int FleetStatusCommand(const Options& options, bool json, int64_t revision);

}  // namespace kxsync
