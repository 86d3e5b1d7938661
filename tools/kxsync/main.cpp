// kxenv-sync: the fleet agent. `kxenv sync ARGS` runs it as well.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "agent.h"
#include "credentials.h"
#include "ledger.h"

namespace {

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

struct Command {
  bool once = false, status = false, create = false, fleet_status = false;
  bool json = false, insecure_plaintext = false, no_validate = false;
  bool no_ledger = false;
  int64_t revision = 0;
  std::string endpoints, password_file;
};

void AddOptions(CLI::App& app, kxsync::Options& options, Command& command) {
  app.add_option("--endpoints", command.endpoints,
                 "etcd URLs, comma-separated: http://HOST:PORT or "
                 "https://HOST:PORT");
  app.add_option("--fleet", options.fleet, "The fleet's name")->required();
  app.add_option(
      "--machine", options.machine,
      "This machine's name in the fleet's records (default: host name)");
  app.add_option("--cacert", options.cacert, "TLS: the CA certificate");
  app.add_option("--cert", options.cert, "TLS: this client's certificate");
  app.add_option("--key", options.key, "TLS: this client's key");
  app.add_option("--user", options.user, "etcd authentication: the user NAME");
  app.add_option("--password-file", command.password_file,
                 "The user's password, in a file only its owner may read "
                 "(else KXENV_SYNC_PASSWORD, else asked on the terminal)");
  app.add_flag("--insecure-plaintext", command.insecure_plaintext,
               "Allow --user without TLS: the password travels in clear");
  app.add_flag("--once", command.once, "One reconcile with etcd, then exit");
  app.add_flag("--status", command.status,
               "Print the agent's state on this machine (no etcd needed)");
  app.add_flag("--create", command.create,
               "Create the fleet in etcd, then exit");
  app.add_flag("--no-validate", command.no_validate,
               "With --create: Global values travel whether or not they lie "
               "within their definition");
  app.add_flag("--fleet-status", command.fleet_status,
               "Print every live machine of the fleet from the ledger");
  app.add_flag("--json", command.json, "With --fleet-status: as JSON");
  app.add_option("--revision", command.revision,
                 "With --fleet-status: when this revision reached 50, 99 and "
                 "100 % of the machines");
  app.add_flag("--no-ledger", command.no_ledger,
               "Keep no entry for this machine in the fleet's ledger");
  app.add_flag("--verbose", options.verbose, "gRPC's own log lines too");
}

// Usage errors: exit status 2 with one line.
int Usage(const std::string& error) {
  std::cerr << "kxenv-sync: " << error << "\n";
  return 2;
}

// The command, once the options are parsed.
int Run(kxsync::Options& options, const Command& command) {
  for (const std::string* name : {&options.fleet, &options.machine}) {
    if (name->empty() || name->find_first_of("/\\") != std::string::npos) {
      return Usage("a fleet's or a machine's name is a word without / or \\");
    }
  }
  if (command.status) return kxsync::PrintStatus(options);
  std::stringstream list(command.endpoints);
  for (std::string endpoint; std::getline(list, endpoint, ',');) {
    if (!endpoint.empty()) options.endpoints.push_back(endpoint);
  }
  if (options.endpoints.empty()) {
    return Usage("--endpoints names no etcd endpoint");
  }
  std::string error;
  if (!kxsync::CheckConnection(options, command.insecure_plaintext, error) ||
      !kxsync::CheckTlsFiles(options, error) ||
      !kxsync::ReadPassword(command.password_file, options, error)) {
    return Usage(error);
  }
  if (!options.user.empty() && !options.tls) {
    kxsync::Say("the password of " + options.user +
                " travels in clear text (--insecure-plaintext)");
  }
  options.validate = !command.no_validate;
  options.ledger = !command.no_ledger;
  kxsync::RouteGrpcLog(options.verbose);
  if (command.create) return kxsync::CreateFleetCommand(options);
  if (command.fleet_status) {
    return kxsync::FleetStatusCommand(options, command.json, command.revision);
  }
  return command.once ? kxsync::RunOnce(options) : kxsync::RunAgent(options);
}

}  // namespace

int main(int argc, char** argv) {
  kxsync::Options options;
  options.machine = HostName();
  Command command;
  CLI::App app{
      "kxenv sync: shares the Global values, definitions and applications of "
      "the store that KX_REGISTRY names with a fleet of machines through "
      "etcd, and keeps them in step both ways until SIGTERM.",
      "kxenv sync"};
  AddOptions(app, options, command);
  app.footer(
      "Sensitive variables stay on this machine unless the fleet is reached "
      "over TLS and with a --user; then their values travel scrambled, as "
      "the store keeps them.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return Run(options, command);
}
