// Helper processes and the store of a test process on Linux.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "platform.h"
#include "testing.h"

extern char** environ;

namespace kxtest {

std::string SelfPath() {
  return "/proc/self/exe";
}

std::string MakeTempRoot() {
  char pattern[] = "/tmp/kxtest.XXXXXX";
  return mkdtemp(pattern) ? pattern : "";
}

std::string MakeStore(const std::string& temp_root) {
  std::string dir = temp_root + "/registry";
  setenv("KX_REGISTRY", dir.c_str(), 1);
  return dir;
}

void AdoptStore() {}  // KX_REGISTRY is inherited
void RemoveStore() {}

namespace {

// The process's exit code, or 128 + the number of the signal that ended it.
int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (auto& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

// The child's input is a socket rather than a pipe, so that telling a child
// that died fails instead of raising SIGPIPE.
Child::Child(const std::string& role, const std::vector<std::string>& args,
             const std::string& executable) {
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
    throw std::runtime_error("pipe");
  }
  std::vector<std::string> argv_strings = {executable, "--kx-role=" + role};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv = Pointers(argv_strings);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  int rc = posix_spawn(&pid_, executable.c_str(), &actions, nullptr,
                       argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(in[0]);
  out_fd_ = out[0];
  in_fd_ = in[1];
  if (rc != 0) throw std::runtime_error("posix_spawn");
}

Child::Child(Child&& other) noexcept
    : pid_(other.pid_),
      out_fd_(other.out_fd_),
      in_fd_(other.in_fd_),
      buffered_(std::move(other.buffered_)) {
  other.pid_ = -1;
  other.out_fd_ = other.in_fd_ = -1;
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
  if (out_fd_ >= 0) close(out_fd_);
}

int Child::Wait() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
  if (pid_ <= 0) return -1;
  return WaitFor(std::exchange(pid_, -1));
}

void Child::Kill(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

size_t Child::ReadSome(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(out_fd_, buffer, size);
    if (n >= 0 || errno != EINTR) return n > 0 ? static_cast<size_t>(n) : 0;
  }
}

bool Child::Tell(const std::string& line) {
  std::string data = line + '\n';
  for (size_t sent = 0; sent < data.size();) {
    ssize_t n =
        send(in_fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

int RunToEnd(const std::vector<std::string>& argv,
             const std::vector<std::string>& env, const std::string& in,
             const std::string& out, const std::string& err) {
  std::vector<std::string> words = argv, variables;
  for (char** variable = environ; *variable; ++variable) {
    std::string text = *variable;
    bool replaced = false;
    for (const auto& added : env) {
      replaced |= text.substr(0, text.find('=') + 1) ==
                  added.substr(0, added.find('=') + 1);
    }
    if (!replaced) variables.push_back(text);
  }
  variables.insert(variables.end(), env.begin(), env.end());
  std::vector<char*> argv_pointers = Pointers(words);
  std::vector<char*> env_pointers = Pointers(variables);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY,
                                   0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, words[0].c_str(), &actions, nullptr,
                        argv_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + words[0]);
  return WaitFor(pid);
}

}  // namespace kxtest
