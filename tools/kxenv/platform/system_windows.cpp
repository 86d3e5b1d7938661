#include <windows.h>

#include <atomic>
#include <cstdint>

#include "command_line.h"
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

std::vector<std::string> Environment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStringsA();
  if (!block) return entries;
  for (const char* entry = block; *entry; entry += entries.back().size() + 1) {
    entries.emplace_back(entry);
  }
  FreeEnvironmentStringsA(block);
  return entries;
}

std::string StartCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         intptr_t* process) {
  std::string line = CommandLine(argv), block;
  for (const std::string& entry : environment) block += entry + '\0';
  block += '\0';
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0,
                      block.data(), nullptr, &startup, &started)) {
    return "error " + std::to_string(GetLastError()) + " from CreateProcess";
  }
  CloseHandle(started.hThread);
  *process = reinterpret_cast<intptr_t>(started.hProcess);
  return "";
}

bool CommandEnded(intptr_t process, bool wait, std::string* failure) {
  HANDLE handle = reinterpret_cast<HANDLE>(process);
  if (WaitForSingleObject(handle, wait ? INFINITE : 0) == WAIT_TIMEOUT) {
    return false;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(handle, &code)) {
    *failure = "could not be waited for";
  } else if (code != 0) {
    *failure = "exited with status " + std::to_string(code);
  }
  CloseHandle(handle);
  return true;
}

// The fleet agent speaks gRPC to etcd and is built for Linux only.
std::string ExecBeside(const std::string& name, int, char**) {
  return name + ": not built for Windows";
}

}  // namespace kxtool
