// kxenv watch --exec: the command that runs for the changes a watch sees
// (exec.cpp tells how runs are gathered).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kxtool {

using Clock = std::chrono::steady_clock;

// A change as the command sees it: KXENV_CLASS, KXENV_NAME, KXENV_VALUE.
struct ExecChange {
  std::string view;
  std::string name;
  std::optional<std::string> value;  // nothing: the variable was deleted
  Clock::time_point came{};          // when its first unrun change came
};

struct Runner {
  std::vector<std::string> command;
  std::chrono::milliseconds coalesce;
  std::vector<ExecChange> pending;  // a run each, in the order they came
  std::optional<intptr_t> running;  // the command's process
  std::string running_name;         // the variable it runs for
};

// Notes a change: a run for its variable, or the latest value for the run
// that is waiting already.
void Queue(Runner* runner, ExecChange change);
// Reaps a command that has ended (reporting a failure on standard error)
// and starts the next run that is due; the longest the watch may wait
// before it calls again.
std::chrono::milliseconds Tend(Runner* runner);
// Waits for a running command to end; runs not yet started are dropped.
void Finish(Runner* runner);

}  // namespace kxtool
