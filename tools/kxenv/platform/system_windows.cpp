#include <windows.h>

#include <atomic>

#include "platform/system.h"

namespace kxtool {
namespace {

// The console runs a control handler on a thread of its own.
std::atomic<bool> g_stop{false};

// Ctrl-C, Ctrl-Break and the console closing all ask the tool to end. For
// a close, Windows ends the process once the handler returns, so the
// handler gives the main thread a moment to leave its wait first.
BOOL WINAPI OnControl(DWORD kind) {
  g_stop = true;
  if (kind == CTRL_CLOSE_EVENT) Sleep(500);
  return TRUE;
}

}  // namespace

bool LocalTimeOf(std::time_t when, std::tm* local) {
  return localtime_s(local, &when) == 0;
}

StopSignals::StopSignals() {
  SetConsoleCtrlHandler(OnControl, TRUE);
}

StopSignals::~StopSignals() {
  SetConsoleCtrlHandler(OnControl, FALSE);
}

bool StopRequested() {
  return g_stop;
}

// The fleet agent speaks gRPC to etcd and is built for Linux only.
std::string ExecBeside(const std::string& name, int, char**) {
  return name + ": not built for Windows";
}

}  // namespace kxtool
