#include "testing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

extern char** environ;

namespace kxtest {
namespace {

std::map<std::string, RoleFunction>& Roles() {
  static std::map<std::string, RoleFunction> roles;
  return roles;
}

// Set by main before any test runs.
std::string temp_root, store_dir;

constexpr const char kRoleFlag[] = "--kx-role=";

}  // namespace

RoleRegistration::RoleRegistration(const char* name, RoleFunction fn) {
  Roles()[name] = std::move(fn);
}

const std::string& StoreDir() {
  return store_dir;
}

int ReplayFuzzInputs(const std::string& fixtures, const std::string& target,
                     FuzzCheck check) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(fixtures) / target)) {
    std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.starts_with(".")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<unsigned char> input{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(check(input.data(), input.size())) << target << "/" << name;
    ++replayed;
  }
  return replayed;
}

std::string MakeTempDir(const std::string& tag) {
  static int counter = 0;
  std::string dir = temp_root + "/" + tag + std::to_string(++counter);
  std::filesystem::create_directories(dir);
  return dir;
}

// The child's input is a socket rather than a pipe, so that telling a child
// that died fails instead of raising SIGPIPE.
Child::Child(const std::string& role, const std::vector<std::string>& args,
             const std::string& executable) {
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
    throw std::runtime_error("pipe");
  }
  std::vector<std::string> argv_strings = {executable,
                                           std::string(kRoleFlag) + role};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
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
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

void Child::Kill(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

std::string Child::ReadLine() {
  for (;;) {
    auto newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    char chunk[256];
    ssize_t n = read(out_fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string rest = std::move(buffered_);
      buffered_.clear();
      return rest;
    }
    buffered_.append(chunk, static_cast<size_t>(n));
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

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

std::string Hear() {
  std::string line;
  std::getline(std::cin, line);
  return line;
}

}  // namespace kxtest

// A helper process runs its role and exits; a test process makes its
// temporary store first, so that every helper it starts inherits it.
int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], kxtest::kRoleFlag,
                                sizeof kxtest::kRoleFlag - 1) == 0) {
    std::string role = argv[1] + sizeof kxtest::kRoleFlag - 1;
    auto found = kxtest::Roles().find(role);
    if (found == kxtest::Roles().end()) {
      std::fprintf(stderr, "unknown role %s\n", role.c_str());
      return 99;
    }
    return found->second(std::vector<std::string>(argv + 2, argv + argc));
  }
  char pattern[] = "/tmp/kxtest.XXXXXX";
  if (!mkdtemp(pattern)) return 98;
  kxtest::temp_root = pattern;
  kxtest::store_dir = std::string(pattern) + "/registry";
  setenv("KX_REGISTRY", kxtest::store_dir.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  // A test may have taken write permission away somewhere; give it back so
  // that nothing is left behind.
  std::error_code error;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(pattern, error)) {
    std::filesystem::permissions(entry.path(),
                                 std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
  }
  std::filesystem::remove_all(pattern, error);
  return rc;
}
