#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "platform/system.h"

namespace kxtool {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
  g_stop = 1;
}

// The handlers that StopSignals replaced; only its lifetime touches them.
struct sigaction g_old_interrupt {};
struct sigaction g_old_terminate {};

}  // namespace

bool LocalTimeOf(std::time_t when, std::tm* local) {
  return localtime_r(&when, local) != nullptr;
}

StopSignals::StopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  // A signal must not fail a system call of the library or of the output
  // in the middle; the flag is looked at between waits anyway.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &g_old_interrupt);
  sigaction(SIGTERM, &action, &g_old_terminate);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &g_old_interrupt, nullptr);
  sigaction(SIGTERM, &g_old_terminate, nullptr);
}

bool StopRequested() {
  return g_stop != 0;
}

std::string ExecBeside(const std::string& name, int argc, char** argv) {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string program = length > 0 ? std::string(self, length) : "";
  program = program.substr(0, program.rfind('/') + 1) + name;
  std::vector<char*> args{program.data()};
  args.insert(args.end(), argv, argv + argc);
  args.push_back(nullptr);
  execv(program.c_str(), args.data());
  return program + ": " + std::strerror(errno);
}

}  // namespace kxtool
