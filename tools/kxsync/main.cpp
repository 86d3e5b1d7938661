// kxenv-sync: the fleet agent. `kxenv sync ARGS` runs it as well.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "agent.h"

namespace {

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  kxsync::Options options;
  bool once = false, status = false, create = false;
  std::string endpoints;
  CLI::App app{
      "kxenv sync: shares the Global values, definitions and applications of "
      "the store that KX_REGISTRY names with a fleet of machines through "
      "etcd, and keeps them in step both ways until SIGTERM.",
      "kxenv sync"};
  app.add_option("--endpoints", endpoints, "etcd URLs, comma-separated");
  app.add_option("--fleet", options.fleet, "The fleet's name")->required();
  options.machine = HostName();
  app.add_option(
      "--machine", options.machine,
      "This machine's name in conflict records (default: host name)");
  app.add_option("--cacert", options.cacert, "TLS: the CA certificate");
  app.add_option("--cert", options.cert, "TLS: this client's certificate");
  app.add_option("--key", options.key, "TLS: this client's key");
  app.add_option("--user", options.user, "etcd authentication: NAME:PASSWORD");
  app.add_flag("--once", once, "One reconcile with etcd, then exit");
  app.add_flag("--status", status,
               "Print the agent's state on this machine (no etcd needed)");
  app.add_flag("--create", create, "Create the fleet in etcd, then exit");
  app.footer(
      "Sensitive variables stay on this machine unless both TLS (--cacert) "
      "and authentication (--user) are given; then their values travel "
      "scrambled, as the store keeps them.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  if (options.fleet.empty() ||
      options.fleet.find_first_of("/\\") != std::string::npos) {
    std::cerr << "kxenv-sync: a fleet name is a word without / or \\\n";
    return 2;
  }
  if (status) return kxsync::PrintStatus(options);
  std::stringstream list(endpoints);
  for (std::string endpoint; std::getline(list, endpoint, ',');) {
    if (!endpoint.empty()) options.endpoints.push_back(endpoint);
  }
  if (options.endpoints.empty()) {
    std::cerr << "kxenv-sync: --endpoints names no etcd endpoint\n";
    return 2;
  }
  if (create) return kxsync::CreateFleetCommand(options);
  return once ? kxsync::RunOnce(options) : kxsync::RunAgent(options);
}
