// Runs the built kxenv program (KX_TOOL) as a child process on the test's
// own store (KX_REGISTRY is inherited), with its standard output and
// standard error read through pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kxtest {

// What a finished run left: its exit status and everything it wrote.
struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

// One run of the tool; killed and reaped if still running when the holder
// goes.
class Tool {
 public:
  // `env` adds or replaces variables of the test's environment
  // ("TZ=UTC").
  explicit Tool(const std::vector<std::string>& args,
                const std::vector<std::string>& env = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    std::vector<std::string> argv_text = {KX_TOOL};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<std::string> env_text = Environment(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    int rc = posix_spawn(&pid_, KX_TOOL, &actions, nullptr,
                         Pointers(argv_text).data(), Pointers(env_text).data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    streams_[0].fd = out[0];
    streams_[1].fd = err[0];
    if (rc != 0) throw std::runtime_error("posix_spawn");
  }
  ~Tool() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    for (Stream& stream : streams_) {
      if (stream.fd >= 0) close(stream.fd);
    }
  }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  // The next whole line of standard output (or error); nothing when the
  // stream ended or `limit` passed first.
  std::optional<std::string> OutLine(std::chrono::milliseconds limit) {
    return ReadLine(streams_[0], limit);
  }
  std::optional<std::string> ErrLine(std::chrono::milliseconds limit) {
    return ReadLine(streams_[1], limit);
  }

  void Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
  }

  // Reads both streams to their end, then reaps the process.
  Ran Finish() {
    for (;;) {
      pollfd ready[2];
      Stream* open[2];
      nfds_t count = 0;
      for (Stream& stream : streams_) {
        if (stream.ended) continue;
        ready[count] = {stream.fd, POLLIN, 0};
        open[count++] = &stream;
      }
      if (count == 0) break;
      if (poll(ready, count, -1) < 0 && errno != EINTR) break;
      for (nfds_t i = 0; i < count; ++i) {
        if (ready[i].revents) ReadSome(*open[i]);
      }
    }
    Ran ran;
    ran.out = std::move(streams_[0].buffered);
    ran.err = std::move(streams_[1].buffered);
    ran.status = Wait();
    return ran;
  }

  // The exit status, or 128 + the number of the signal that ended it.
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  struct Stream {
    int fd = -1;
    bool ended = false;
    std::string buffered;
  };

  static std::vector<std::string> Environment(
      const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
      std::string text = *entry;
      bool replaced = false;
      for (const std::string& added : extra) {
        std::string key = added.substr(0, added.find('=') + 1);
        replaced = replaced || text.compare(0, key.size(), key) == 0;
      }
      if (!replaced) env.push_back(text);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  // Reads what the stream holds; marks its end.
  static void ReadSome(Stream& stream) {
    char chunk[4096];
    ssize_t got = read(stream.fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) return;
    if (got <= 0) {
      stream.ended = true;
      return;
    }
    stream.buffered.append(chunk, static_cast<size_t>(got));
  }

  // Waits up to `timeout_ms` for data and reads it; false once the stream
  // has ended.
  static bool Fill(Stream& stream, int timeout_ms) {
    if (stream.ended) return false;
    pollfd ready{stream.fd, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) > 0) ReadSome(stream);
    return !stream.ended;
  }

  static std::optional<std::string> ReadLine(Stream& stream,
                                             std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      size_t newline = stream.buffered.find('\n');
      if (newline != std::string::npos) {
        std::string line = stream.buffered.substr(0, newline);
        stream.buffered.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      if (!Fill(stream, static_cast<int>(left.count()))) return std::nullopt;
    }
  }

  pid_t pid_ = -1;
  Stream streams_[2];
};

// Runs the tool to its end.
inline Ran RunTool(const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}) {
  return Tool(args, env).Finish();
}

}  // namespace kxtest
