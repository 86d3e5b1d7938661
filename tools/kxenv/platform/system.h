// What the tool needs of the operating system beyond the Win32 subset:
// platform/system_<platform>.cpp.
#pragma once

#include <ctime>
#include <string>

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

}  // namespace kxtool
