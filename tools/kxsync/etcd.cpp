#include "etcd.h"

#include <grpc/support/log.h>
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

#include "kxwin/kxwin.h"

namespace kxsync {
namespace {

using namespace etcdserverpb;

// A call that etcd cannot answer within this (no quorum: a write waits
// about 7 s before it fails) leaves its work pending for the next round.
constexpr auto kCallTimeout = std::chrono::seconds(3);

std::string Slurp(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// gRPC's last error line, for the reason of a failed connection. gRPC
// logs from its own threads.
std::mutex g_grpc_lock;
std::string g_grpc_error;     // guarded by g_grpc_lock
bool g_grpc_verbose = false;  // set before gRPC starts

void OnGrpcLog(gpr_log_func_args* args) {
  if (g_grpc_verbose) {
    std::cerr << "kxenv-sync: grpc: " << args->message << std::endl;
  }
  if (args->severity == GPR_LOG_SEVERITY_ERROR) {
    std::lock_guard<std::mutex> hold(g_grpc_lock);
    g_grpc_error = args->message;
  }
}

std::string TakeGrpcError() {
  std::lock_guard<std::mutex> hold(g_grpc_lock);
  std::string error;
  error.swap(g_grpc_error);
  return error;
}

void Prepare(grpc::ClientContext& context, const Connection& connection) {
  context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
  if (!connection.token.empty()) context.AddMetadata("token", connection.token);
}

Event ToEvent(const std::string& prefix, const KeyValue& kv, bool deleted) {
  return Event{kv.key().substr(prefix.size()), deleted,
               deleted ? "" : kv.value(), kv.mod_revision(), ""};
}

// Why a channel could not be made: the reason of a call on it, which fails
// at once ("Connection refused", a name that does not resolve, ...), and
// gRPC's own account of it (a TLS handshake's failure says why only there).
Contact Unreachable(const Options& options, const Connection& connection,
                    std::string& error) {
  RangeRequest request;
  request.set_key("/");
  RangeResponse response;
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() +
                       std::chrono::seconds(1));
  grpc::Status status =
      KV::NewStub(connection.channel)->Range(&context, request, &response);
  std::string detail = TakeGrpcError();
  if (detail.find("andshake") != std::string::npos) {
    error = "no TLS session with " + connection.endpoint + ": " + detail;
    return Contact::kUnreachable;
  }
  error = "cannot reach " + connection.endpoint + ": " +
          (status.ok() ? detail : status.error_message());
  // A server that wants a client certificate and gets none closes the
  // session; gRPC then reports a read that failed.
  if (options.tls && options.cert.empty() &&
      (error.find("TSI_") != std::string::npos ||
       error.find("read failed") != std::string::npos)) {
    error += "; if etcd wants client certificates, give --cert and --key";
  }
  return Contact::kUnreachable;
}

Contact Authenticate(const Options& options, Connection& connection,
                     std::string& error) {
  AuthenticateRequest request;
  request.set_name(options.user);
  request.set_password(options.password);
  AuthenticateResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = Auth::NewStub(connection.channel)
                            ->Authenticate(&context, request, &response);
  if (status.ok()) {
    connection.token = response.token();
    return Contact::kMade;
  }
  bool answered = status.error_code() != grpc::StatusCode::UNAVAILABLE &&
                  status.error_code() != grpc::StatusCode::DEADLINE_EXCEEDED;
  error = (answered ? connection.endpoint + " refused the user " + options.user
                    : "cannot reach " + connection.endpoint) +
          ": " + status.error_message();
  return answered ? Contact::kRefused : Contact::kUnreachable;
}

}  // namespace

void RouteGrpcLog(bool verbose) {
  g_grpc_verbose = verbose;
  gpr_set_log_verbosity(verbose ? GPR_LOG_SEVERITY_DEBUG
                                : GPR_LOG_SEVERITY_ERROR);
  gpr_set_log_function(OnGrpcLog);
}

std::string RangeEnd(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

bool IsRefusal(const grpc::Status& status) {
  switch (status.error_code()) {
    case grpc::StatusCode::PERMISSION_DENIED:   // the user's role
    case grpc::StatusCode::INVALID_ARGUMENT:    // etcd: request is too large
    case grpc::StatusCode::RESOURCE_EXHAUSTED:  // gRPC: message too large
    case grpc::StatusCode::OUT_OF_RANGE:
      return true;
    default:
      return false;
  }
}

Contact Connect(const Options& options, const std::string& endpoint,
                Connection& connection, std::string& error) {
  std::string address = endpoint;
  size_t scheme = address.find("://");
  if (scheme != std::string::npos) address = address.substr(scheme + 3);
  std::shared_ptr<grpc::ChannelCredentials> credentials;
  if (options.tls) {
    grpc::SslCredentialsOptions ssl;
    ssl.pem_root_certs = Slurp(options.cacert);
    if (!options.cert.empty()) ssl.pem_cert_chain = Slurp(options.cert);
    if (!options.key.empty()) ssl.pem_private_key = Slurp(options.key);
    credentials = grpc::SslCredentials(ssl);
  } else {
    credentials = grpc::InsecureChannelCredentials();
  }
  // Keepalive pings find a dead peer on a quiet connection.
  grpc::ChannelArguments arguments;
  arguments.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 5000);
  arguments.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 3000);
  arguments.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 200);
  arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
  connection = Connection();
  connection.endpoint = endpoint;
  TakeGrpcError();  // what an earlier attempt left
  connection.channel =
      grpc::CreateCustomChannel(address, credentials, arguments);
  if (!connection.channel->WaitForConnected(std::chrono::system_clock::now() +
                                            std::chrono::seconds(2))) {
    return Unreachable(options, connection, error);
  }
  connection.kv = KV::NewStub(connection.channel);
  connection.watch = Watch::NewStub(connection.channel);
  connection.lease = Lease::NewStub(connection.channel);
  if (options.user.empty()) return Contact::kMade;
  return Authenticate(options, connection, error);
}

Contact ConnectAny(const Options& options, size_t& index,
                   Connection& connection, std::string& error) {
  std::string reasons;
  bool refused = false;
  for (size_t tried = 0; tried < options.endpoints.size(); ++tried) {
    std::string reason;
    Contact contact =
        Connect(options, options.endpoints[index], connection, reason);
    if (contact == Contact::kMade) return contact;
    refused = refused || contact == Contact::kRefused;
    reasons += (reasons.empty() ? "" : "; ") + reason;
    index = (index + 1) % options.endpoints.size();
  }
  error = (refused ? "etcd refused (" : "cannot reach etcd (") + reasons + ")";
  return refused ? Contact::kRefused : Contact::kUnreachable;
}

grpc::Status ReadRange(Connection& connection, const std::string& prefix,
                       const std::string& from, const std::string& to,
                       bool keys_only, std::vector<Event>& items,
                       int64_t& revision) {
  RangeRequest request;
  request.set_key(from);
  request.set_range_end(to);
  request.set_keys_only(keys_only);
  RangeResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = connection.kv->Range(&context, request, &response);
  if (!status.ok()) return status;
  items.clear();
  for (const KeyValue& kv : response.kvs()) {
    items.push_back(ToEvent(prefix, kv, false));
  }
  revision = response.header().revision();
  return status;
}

grpc::Status ReadPrefix(Connection& connection, const std::string& prefix,
                        std::vector<Event>& items, int64_t& revision) {
  return ReadRange(connection, prefix, prefix, RangeEnd(prefix), false, items,
                   revision);
}

grpc::Status ReadMarker(Connection& connection, const Options& options,
                        std::optional<std::string>& marker) {
  RangeRequest request;
  request.set_key(options.prefix() + "fleet");
  RangeResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = connection.kv->Range(&context, request, &response);
  marker.reset();
  if (status.ok() && response.kvs_size() > 0) marker = response.kvs(0).value();
  return status;
}

grpc::Status CreateFleet(Connection& connection, const Options& options) {
  TxnRequest request;
  Compare* compare = request.add_compare();
  compare->set_key(options.prefix() + "fleet");
  compare->set_target(Compare::CREATE);
  compare->set_result(Compare::EQUAL);
  compare->set_create_revision(0);
  PutRequest* put = request.add_success()->mutable_request_put();
  put->set_key(options.prefix() + "fleet");
  put->set_value(options.validate ? R"({"validate":true})"
                                  : R"({"validate":false})");
  TxnResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  return connection.kv->Txn(&context, request, &response);
}

grpc::Status Put(Connection& connection, const std::string& key,
                 const std::string& value, int64_t lease) {
  PutRequest request;
  request.set_key(key);
  request.set_value(value);
  request.set_lease(lease);
  PutResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  return connection.kv->Put(&context, request, &response);
}

grpc::Status Delete(Connection& connection, const std::string& key) {
  DeleteRangeRequest request;
  request.set_key(key);
  DeleteRangeResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  return connection.kv->DeleteRange(&context, request, &response);
}

grpc::Status Grant(Connection& connection, int64_t ttl, int64_t& lease) {
  LeaseGrantRequest request;
  request.set_ttl(ttl);
  LeaseGrantResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status =
      connection.lease->LeaseGrant(&context, request, &response);
  lease = response.id();
  return status;
}

// One request on a stream of its own: the agent renews seldom, and a
// stream kept open would need a reader of its own.
grpc::Status KeepAlive(Connection& connection, int64_t lease, int64_t& ttl) {
  grpc::ClientContext context;
  Prepare(context, connection);
  auto stream = connection.lease->LeaseKeepAlive(&context);
  LeaseKeepAliveRequest request;
  request.set_id(lease);
  LeaseKeepAliveResponse response;
  ttl = 0;
  if (stream->Write(request) && stream->Read(&response)) ttl = response.ttl();
  stream->WritesDone();
  return stream->Finish();
}

grpc::Status Revoke(Connection& connection, int64_t lease) {
  LeaseRevokeRequest request;
  request.set_id(lease);
  LeaseRevokeResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  return connection.lease->LeaseRevoke(&context, request, &response);
}

grpc::Status Publish(Connection& connection, const Options& options,
                     const Publication& publication, Outcome& outcome) {
  const std::string prefix = options.prefix();
  std::string key = prefix + publication.key;
  TxnRequest request;
  Compare* compare = request.add_compare();
  compare->set_key(key);
  compare->set_target(Compare::MOD);
  compare->set_result(Compare::EQUAL);
  compare->set_mod_revision(publication.expected);
  if (publication.value) {
    PutRequest* put = request.add_success()->mutable_request_put();
    put->set_key(key);
    put->set_value(*publication.value);
  } else {
    request.add_success()->mutable_request_delete_range()->set_key(key);
  }
  PutRequest* origin = request.add_success()->mutable_request_put();
  origin->set_key(prefix + "origin/" + publication.key);
  origin->set_value(options.machine);
  request.add_failure()->mutable_request_range()->set_key(key);
  TxnResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = connection.kv->Txn(&context, request, &response);
  if (!status.ok()) return status;
  outcome = Outcome();
  outcome.done = response.succeeded();
  outcome.revision = response.header().revision();
  outcome.current = Event{publication.key, true, "", outcome.revision, ""};
  if (!outcome.done && response.responses_size() > 0 &&
      response.responses(0).response_range().kvs_size() > 0) {
    outcome.current =
        ToEvent(prefix, response.responses(0).response_range().kvs(0), false);
  }
  return status;
}

namespace {

void ReadResponses(WatchStream* watch, Inbox* inbox) {
  WatchResponse response;
  while (watch->stream->Read(&response)) {
    std::lock_guard<std::mutex> hold(inbox->lock);
    inbox->responses.push_back(std::move(response));
    response = WatchResponse();
    SetEvent(inbox->wake);
  }
  grpc::Status status = watch->stream->Finish();
  std::lock_guard<std::mutex> hold(inbox->lock);
  inbox->ended = true;
  inbox->reason = status.ok() ? "the stream ended" : status.error_message();
  SetEvent(inbox->wake);
}

}  // namespace

std::unique_ptr<WatchStream> StartWatch(Connection& connection,
                                        const std::string& prefix,
                                        int64_t start, Inbox& inbox) {
  auto watch = std::make_unique<WatchStream>();
  // Without it a member cut off from the leader keeps the stream open and
  // silent; with it etcd ends the stream, and the agent moves on.
  watch->context.AddMetadata("hasleader", "true");
  if (!connection.token.empty()) {
    watch->context.AddMetadata("token", connection.token);
  }
  watch->stream = connection.watch->Watch(&watch->context);
  WatchRequest request;
  WatchCreateRequest* create = request.mutable_create_request();
  create->set_key(prefix);
  create->set_range_end(RangeEnd(prefix));
  create->set_start_revision(start);
  create->set_progress_notify(true);
  {
    std::lock_guard<std::mutex> hold(inbox.lock);
    inbox.responses.clear();
    inbox.ended = false;
  }
  if (!watch->stream->Write(request)) {
    // Read then returns false at once and Finish says why.
  }
  watch->reader = std::thread(ReadResponses, watch.get(), &inbox);
  return watch;
}

bool RequestProgress(WatchStream& watch) {
  WatchRequest request;
  request.mutable_progress_request();
  std::lock_guard<std::mutex> hold(watch.write_lock);
  return watch.stream->Write(request);
}

void StopWatch(std::unique_ptr<WatchStream>& watch) {
  if (!watch) return;
  watch->context.TryCancel();
  if (watch->reader.joinable()) watch->reader.join();
  watch.reset();
}

}  // namespace kxsync
