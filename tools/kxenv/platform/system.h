// What the tool needs of the operating system beyond the Win32 subset:
// platform/system_<platform>.cpp.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kxtool {

// The local time of `when`; false when there is none.
bool LocalTimeOf(std::time_t when, std::tm* local);

// While it lives, a request to stop (SIGINT or SIGTERM; on Windows Ctrl-C,
// Ctrl-Break or the console closing) only raises StopRequested(): the
// tool looks at it between short waits and ends through its normal return.
// One at a time.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
};
bool StopRequested();

// Replaces this process with the program `name` installed in this
// program's directory, handing it `argc` arguments; returns only when that
// fails, with the program and what went wrong.
std::string ExecBeside(const std::string& name, int argc, char** argv);

// The environment of this process, "NAME=VALUE" each.
std::vector<std::string> Environment();

// Starts the program argv[0] (looked up on PATH when it names no
// directory) with the arguments after it, never through a shell, with
// `environment` ("NAME=VALUE" each) as its whole environment and the
// tool's standard streams; its process in `process`. Says what went wrong
// when it cannot be started.
std::string StartCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         intptr_t* process);

// Whether the command has ended, waiting for its end with `wait`. When it
// has, its process is gone and `failure` says how it failed ("exited with
// status 3") or is left empty.
bool CommandEnded(intptr_t process, bool wait, std::string* failure);

}  // namespace kxtool
