// kxenv watch --exec: runs a command for each change the watch sees.
//
// The watch hands every change to Queue, and calls Tend between its short
// waits. Runs go one at a time, each for one variable, with the class, the
// name and the new value in the command's environment (KXENV_CLASS,
// KXENV_NAME, KXENV_VALUE; no KXENV_VALUE for a deleted variable), never
// through a shell, so no value is ever read as shell syntax. A run waits
// `coalesce` from the first change of its variable that it serves: further
// changes of that variable meanwhile, or while an earlier run still runs,
// only update its value, so a burst of sets makes a run or two with the
// latest value rather than one each. A command that fails (cannot be
// started, exits with a status other than 0, or is killed) is reported on
// standard error, and the watch goes on.
#include "exec.h"

#include <algorithm>
#include <cctype>

#include "output.h"
#include "platform/system.h"

namespace kxtool {
namespace {

using std::chrono::milliseconds;

// How long Tend lets the watch wait while a command runs: the command's
// end is noticed by looking.
constexpr milliseconds kPoll{20};
constexpr milliseconds kIdle{100};

constexpr const char* kExecNames[] = {"KXENV_CLASS", "KXENV_NAME",
                                      "KXENV_VALUE"};

// Whether an environment entry ("NAME=VALUE") sets `name`; without regard
// to case, as Windows compares the names.
bool SameVariable(const std::string& name, const std::string& entry) {
  if (entry.size() <= name.size() || entry[name.size()] != '=') return false;
  return std::equal(name.begin(), name.end(), entry.begin(),
                    [](char a, char b) {
                      return std::toupper(static_cast<unsigned char>(a)) ==
                             std::toupper(static_cast<unsigned char>(b));
                    });
}

// This process's environment with the change's variables in it.
std::vector<std::string> CommandEnvironment(const ExecChange& change) {
  std::vector<std::string> environment;
  for (std::string& entry : Environment()) {
    bool ours = false;
    for (const char* name : kExecNames)
      ours = ours || SameVariable(name, entry);
    if (!ours) environment.push_back(std::move(entry));
  }
  environment.push_back(std::string(kExecNames[0]) + '=' + change.view);
  environment.push_back(std::string(kExecNames[1]) + '=' + change.name);
  if (change.value) {
    environment.push_back(std::string(kExecNames[2]) + '=' + *change.value);
  }
  return environment;
}

void Reap(Runner* runner, bool wait) {
  std::string failure;
  if (!runner->running || !CommandEnded(*runner->running, wait, &failure)) {
    return;
  }
  runner->running.reset();
  if (!failure.empty()) {
    Tell(runner->command[0] + " for " + runner->running_name + " " + failure +
         "; the watch goes on");
  }
}

void Start(Runner* runner, const ExecChange& change) {
  intptr_t process = 0;
  std::string trouble =
      StartCommand(runner->command, CommandEnvironment(change), &process);
  if (!trouble.empty()) {
    Tell("cannot run " + runner->command[0] + " for " + change.name + ": " +
         trouble + "; the watch goes on");
    return;
  }
  runner->running = process;
  runner->running_name = change.name;
}

}  // namespace

void Queue(Runner* runner, ExecChange change) {
  for (ExecChange& waiting : runner->pending) {
    if (waiting.view == change.view && waiting.name == change.name) {
      waiting.value = std::move(change.value);
      return;
    }
  }
  change.came = Clock::now();
  runner->pending.push_back(std::move(change));
}

milliseconds Tend(Runner* runner) {
  Reap(runner, false);
  if (runner->running) return kPoll;
  if (runner->pending.empty()) return kIdle;
  ExecChange& next = runner->pending.front();
  auto due = next.came + runner->coalesce;
  auto now = Clock::now();
  if (now < due) {
    return std::chrono::ceil<milliseconds>(due - now);
  }
  ExecChange change = std::move(next);
  runner->pending.erase(runner->pending.begin());
  Start(runner, change);
  return runner->running ? kPoll : milliseconds(0);
}

void Finish(Runner* runner) {
  runner->pending.clear();
  if (runner->running) {
    Tell("waiting for " + runner->command[0] + " to end");
    Reap(runner, true);
  }
}

}  // namespace kxtool
