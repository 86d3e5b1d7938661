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
  std::string cacert, cert, key;  // TLS, when cacert is given
  std::string user;               // NAME:PASSWORD for etcd authentication
  bool secure() const { return !cacert.empty() && !user.empty(); }
  std::string prefix() const { return "/kx-orrery/" + fleet + "/"; }
};

struct Connection {
  std::string endpoint;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<etcdserverpb::KV::Stub> kv;
  std::unique_ptr<etcdserverpb::Watch::Stub> watch;
  std::string token;  // from authentication
};

// Connects to one endpoint and authenticates; false with the reason.
bool Connect(const Options& options, const std::string& endpoint,
             Connection& connection, std::string& error);

// Every item under the prefix (keys without it) at one revision.
grpc::Status ReadPrefix(Connection& connection, const std::string& prefix,
                        std::vector<Event>& items, int64_t& revision);
// Whether the fleet's marker key exists.
grpc::Status FleetExists(Connection& connection, const Options& options,
                         bool& exists);
grpc::Status CreateFleet(Connection& connection, const Options& options);
grpc::Status Put(Connection& connection, const std::string& key,
                 const std::string& value);

// A guarded publication: `done` when etcd took it (at `revision`); else
// `current` holds what etcd has instead (deleted when the key is gone).
struct Outcome {
  bool done = false;
  int64_t revision = 0;
  Event current;
};
grpc::Status Publish(Connection& connection, const std::string& prefix,
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
