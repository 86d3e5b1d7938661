#include "etcd.h"

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <fstream>
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

// The one-past-the-end key of a prefix, for a range over it.
std::string RangeEnd(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

void Prepare(grpc::ClientContext& context, const Connection& connection) {
  context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
  if (!connection.token.empty()) context.AddMetadata("token", connection.token);
}

Event ToEvent(const std::string& prefix, const KeyValue& kv, bool deleted) {
  return Event{kv.key().substr(prefix.size()), deleted,
               deleted ? "" : kv.value(), kv.mod_revision()};
}

}  // namespace

bool Connect(const Options& options, const std::string& endpoint,
             Connection& connection, std::string& error) {
  std::string address = endpoint;
  bool tls = false;
  if (address.rfind("https://", 0) == 0) {
    address = address.substr(8);
    tls = true;
  } else if (address.rfind("http://", 0) == 0) {
    address = address.substr(7);
  }
  std::shared_ptr<grpc::ChannelCredentials> credentials;
  if (tls || !options.cacert.empty()) {
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
  connection.channel =
      grpc::CreateCustomChannel(address, credentials, arguments);
  if (!connection.channel->WaitForConnected(std::chrono::system_clock::now() +
                                            std::chrono::seconds(2))) {
    // A call on the failed channel fails at once, with gRPC's reason
    // ("Connection refused", a name that does not resolve, ...).
    RangeRequest request;
    request.set_key("/");
    RangeResponse response;
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() +
                         std::chrono::seconds(1));
    grpc::Status status =
        KV::NewStub(connection.channel)->Range(&context, request, &response);
    error = "cannot connect to " + endpoint +
            (status.ok() ? "" : ": " + status.error_message());
    return false;
  }
  connection.kv = KV::NewStub(connection.channel);
  connection.watch = Watch::NewStub(connection.channel);
  if (options.user.empty()) return true;
  size_t colon = options.user.find(':');
  AuthenticateRequest request;
  request.set_name(options.user.substr(0, colon));
  if (colon != std::string::npos)
    request.set_password(options.user.substr(colon + 1));
  AuthenticateResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = Auth::NewStub(connection.channel)
                            ->Authenticate(&context, request, &response);
  if (!status.ok()) {
    error = endpoint + " refused the user: " + status.error_message();
    return false;
  }
  connection.token = response.token();
  return true;
}

grpc::Status ReadPrefix(Connection& connection, const std::string& prefix,
                        std::vector<Event>& items, int64_t& revision) {
  RangeRequest request;
  request.set_key(prefix);
  request.set_range_end(RangeEnd(prefix));
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

grpc::Status FleetExists(Connection& connection, const Options& options,
                         bool& exists) {
  RangeRequest request;
  request.set_key(options.prefix() + "fleet");
  request.set_count_only(true);
  RangeResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = connection.kv->Range(&context, request, &response);
  exists = response.count() > 0;
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
  put->set_value("1");
  TxnResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  return connection.kv->Txn(&context, request, &response);
}

grpc::Status Put(Connection& connection, const std::string& key,
                 const std::string& value) {
  PutRequest request;
  request.set_key(key);
  request.set_value(value);
  PutResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  return connection.kv->Put(&context, request, &response);
}

grpc::Status Publish(Connection& connection, const std::string& prefix,
                     const Publication& publication, Outcome& outcome) {
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
  request.add_failure()->mutable_request_range()->set_key(key);
  TxnResponse response;
  grpc::ClientContext context;
  Prepare(context, connection);
  grpc::Status status = connection.kv->Txn(&context, request, &response);
  if (!status.ok()) return status;
  outcome = Outcome();
  outcome.done = response.succeeded();
  outcome.revision = response.header().revision();
  outcome.current = Event{publication.key, true, "", outcome.revision};
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
