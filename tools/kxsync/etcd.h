// The agent's etcd client: one endpoint at a time over gRPC, the calls it
// needs (a read of the fleet's prefix, guarded transactions, puts), and a
// watch stream read by a thread of its own into an inbox that the agent's
// loop drains.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "etcd.grpc.pb.h"
#include "reconcile.h"

namespace kxsync {

struct Options {
  std::vector<std::string> endpoints;  // URLs: http://host:port, https://...
  std::string fleet;
  std::string machine;
  std::string cacert, cert, key;  // TLS files
  bool tls = false;               // every endpoint is reached over TLS
  std::string user, password;     // etcd authentication
  bool validate = true;           // --create: the fleet checks Global values
  bool ledger = true;             // keep this machine's entry under seen/
  bool verbose = false;           // gRPC's own log lines too
  bool secure() const { return tls && !user.empty(); }
  std::string prefix() const { return "/kx-orrery/" + fleet + "/"; }
};

struct Connection {
  std::string endpoint;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<etcdserverpb::KV::Stub> kv;
  std::unique_ptr<etcdserverpb::Watch::Stub> watch;
  std::unique_ptr<etcdserverpb::Lease::Stub> lease;
  std::string token;  // from authentication
};

// gRPC's own log goes through the agent's: every line with `verbose`, and
// the last error line of a failed connection into the agent's reason.
void RouteGrpcLog(bool verbose);

// How a connection attempt ended: made, or the endpoint could not be
// reached (no answer, no TLS session), or etcd answered with a refusal.
enum class Contact { kMade, kUnreachable, kRefused };

// Connects to one endpoint and authenticates; the reason when it fails.
Contact Connect(const Options& options, const std::string& endpoint,
                Connection& connection, std::string& error);

// Connects to the first endpoint, from `index` on, that lets the agent in;
// `index` then names it. Else the reason names every endpoint's.
Contact ConnectAny(const Options& options, size_t& index,
                   Connection& connection, std::string& error);

// Whether a failed call is etcd refusing this one request (no permission,
// too large), after which the connection serves on.
bool IsRefusal(const grpc::Status& status);

// Every key from `from` up to `to` (keys without `prefix`) at one revision;
// `keys_only` leaves the values empty.
grpc::Status ReadRange(Connection& connection, const std::string& prefix,
                       const std::string& from, const std::string& to,
                       bool keys_only, std::vector<Event>& items,
                       int64_t& revision);
// Every key under the prefix at one revision.
grpc::Status ReadPrefix(Connection& connection, const std::string& prefix,
                        std::vector<Event>& items, int64_t& revision);
// The one-past-the-end key of a prefix, for a range over it.
std::string RangeEnd(std::string prefix);
// The fleet's marker: its value, or none when the fleet does not exist.
grpc::Status ReadMarker(Connection& connection, const Options& options,
                        std::optional<std::string>& marker);
grpc::Status CreateFleet(Connection& connection, const Options& options);
// A put, bound to `lease` unless it is 0.
grpc::Status Put(Connection& connection, const std::string& key,
                 const std::string& value, int64_t lease = 0);
grpc::Status Delete(Connection& connection, const std::string& key);

// A lease of `ttl` seconds; kept alive by KeepAlive, whose `ttl` comes
// back 0 when etcd no longer has it.
grpc::Status Grant(Connection& connection, int64_t ttl, int64_t& lease);
grpc::Status KeepAlive(Connection& connection, int64_t lease, int64_t& ttl);
grpc::Status Revoke(Connection& connection, int64_t lease);

// A guarded publication: `done` when etcd took it (at `revision`); else
// `current` holds what etcd has instead (deleted when the key is gone).
struct Outcome {
  bool done = false;
  int64_t revision = 0;
  Event current;
};
// With the publication goes origin/KEY, the machine that made it, in the
// same transaction and so at the same revision.
grpc::Status Publish(Connection& connection, const Options& options,
                     const Publication& publication, Outcome& outcome);

// What the watch thread hands to the loop.
struct Inbox {
  std::mutex lock;
  std::deque<etcdserverpb::WatchResponse> responses;
  bool ended = false;  // the stream is gone; `reason` says why
  std::string reason;
  void* wake = nullptr;  // a kxwin event, set on every arrival
};

struct WatchStream {
  grpc::ClientContext context;
  std::unique_ptr<grpc::ClientReaderWriter<etcdserverpb::WatchRequest,
                                           etcdserverpb::WatchResponse>>
      stream;
  std::mutex write_lock;
  std::thread reader;
};

// Watches the prefix from `start` (inclusive), with progress notifications
// and without serving a member that has lost its leader.
std::unique_ptr<WatchStream> StartWatch(Connection& connection,
                                        const std::string& prefix,
                                        int64_t start, Inbox& inbox);
// Asks for a progress notification; false when the stream is gone.
bool RequestProgress(WatchStream& watch);
void StopWatch(std::unique_ptr<WatchStream>& watch);

}  // namespace kxsync
