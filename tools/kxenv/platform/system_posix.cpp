#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
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

std::vector<std::string> Environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) entries.emplace_back(*entry);
  return entries;
}

std::string StartCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         intptr_t* process) {
  auto pointers = [](const std::vector<std::string>& words) {
    std::vector<char*> list;
    for (const std::string& word : words) {
      list.push_back(const_cast<char*>(word.c_str()));
    }
    list.push_back(nullptr);
    return list;
  };
  std::vector<char*> args = pointers(argv), env = pointers(environment);
  pid_t pid = 0;
  // The command starts with the signals' default handling: SIGINT and
  // SIGTERM are the tool's own business only while it runs.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  int error = posix_spawnp(&pid, args[0], nullptr, &attributes, args.data(),
                           env.data());
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return std::strerror(error);
  *process = pid;
  return "";
}

bool CommandEnded(intptr_t process, bool wait, std::string* failure) {
  int status = 0;
  pid_t ended;
  do {
    ended = waitpid(static_cast<pid_t>(process), &status, wait ? 0 : WNOHANG);
  } while (ended < 0 && errno == EINTR);
  if (ended == 0) return false;
  if (ended < 0) {
    *failure = std::string("could not be waited for: ") + std::strerror(errno);
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    *failure = "exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    *failure = "was ended by signal " + std::to_string(WTERMSIG(status)) +
               " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return true;
}

}  // namespace kxtool
