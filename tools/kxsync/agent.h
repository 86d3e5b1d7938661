// The agent's loop: etcd and the local store reconciled whenever either
// changes, through one endpoint at a time.
#pragma once

#include <string>

#include "etcd.h"

namespace kxsync {

// Exit statuses: 0 done, 1 failed (the reason on standard error).
int RunAgent(const Options& options);  // until SIGTERM or SIGINT
int RunOnce(const Options& options);
int CreateFleetCommand(const Options& options);
int PrintStatus(const Options& options);

// One line of the agent's log, on standard error (the journal under
// systemd).
void Say(const std::string& line);

// For a command: connects to the first endpoint that lets it in, or says
// why none did.
bool ConnectOrSay(const Options& options, Connection& connection);

}  // namespace kxsync
