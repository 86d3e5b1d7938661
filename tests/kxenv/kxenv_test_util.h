// Helpers for the tests of libkxenv: fixtures written straight into the
// store, raw reads of what the library wrote, environment variables that
// are put back, and the trace file of a test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kxenv/kxenv.h"
#include "kxwin_test_util.h"
#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace kxtest {

// ---- Where variables live --------------------------------------------------

inline constexpr char kStoreKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion\\Components\\COM\\ENV";
inline constexpr char kProductKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion";

inline std::string EnvKey(const std::string& name) {
  return std::string(kStoreKey) + "\\ENV\\" + name;
}
inline std::string OptKey(const std::string& name) {
  return std::string(kStoreKey) + "\\OPT\\" + name;
}
inline std::string AppKey(const std::string& name) {
  return std::string(kStoreKey) + "\\APP\\" + name;
}

// ---- Writing fixtures ------------------------------------------------------

// One value of a fixture key: its bytes exactly as they are to be stored.
struct StoreValue {
  std::string name;
  DWORD type;
  std::string bytes;
};

inline StoreValue Text(const std::string& name, const std::string& text) {
  return {name, REG_SZ, text + '\0'};
}
inline StoreValue Number(const std::string& name, DWORD number) {
  return {name, REG_DWORD,
          std::string(reinterpret_cast<const char*>(&number), sizeof number)};
}
inline StoreValue Multi(const std::string& name,
                        const std::vector<std::string>& items) {
  std::string bytes;
  for (const auto& item : items) bytes += item + '\0';
  return {name, REG_MULTI_SZ, bytes + '\0'};
}

// Creates the key where missing and writes the values, in one request.
inline bool WriteKey(const std::string& path,
                     const std::vector<StoreValue>& values) {
  std::vector<RegistryValue> list;
  for (const auto& value : values) {
    list.push_back({value.name.c_str(), value.type,
                    const_cast<char*>(value.bytes.data()),
                    static_cast<DWORD>(value.bytes.size())});
  }
  list.push_back({nullptr, 0, nullptr, 0});
  RegistryRequest request[] = {{HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                values.empty() ? nullptr : list.data()},
                               {}};
  return CreateRegistry(request) != FALSE;
}

// ---- Reading what the library wrote ----------------------------------------

struct RawValue {
  DWORD type = REG_NONE;
  std::string bytes;  // exactly as stored
};

// The stored value, or nothing when the key or the value is missing.
inline std::optional<RawValue> ReadRaw(const std::string& path,
                                       const char* name) {
  Key key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  RawValue raw;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &raw.type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  raw.bytes.resize(size);
  if (size > 0 && RegQueryValueExA(key, name, nullptr, &raw.type,
                                   reinterpret_cast<BYTE*>(raw.bytes.data()),
                                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  raw.bytes.resize(size);
  return raw;
}

// A REG_SZ value without its terminator, or "<missing>".
inline std::string ReadText(const std::string& path, const char* name) {
  auto raw = ReadRaw(path, name);
  if (!raw) return "<missing>";
  if (raw->type != REG_SZ) return "<type " + std::to_string(raw->type) + ">";
  std::string text = raw->bytes;
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

inline bool KeyExists(const std::string& path) {
  Key key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ,
                       key.out()) == ERROR_SUCCESS;
}

// ---- Values the library returns --------------------------------------------

// A returned text for comparisons; a null pointer reads "(null)".
inline std::string Str(const char* text) {
  return text ? text : "(null)";
}

// ---- Files ----------------------------------------------------------------

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The whole file, or "<missing>".
inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// ---- The process environment -----------------------------------------------

// Sets (or, with null, removes) an environment variable for a scope and
// puts the earlier state back at its end. The trace sink is read again each
// time, since the support library reads KX_TRACE only once.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
    ReloadTraceSink();
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
    ReloadTraceSink();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// ---- Trace files -----------------------------------------------------------

// One line of a trace file: "date time pid tid component text".
struct TraceLine {
  pid_t pid = 0;
  std::string thread;
  std::string component;
  std::string text;
};

inline TraceLine ParseTraceLine(const std::string& line) {
  std::istringstream fields(line);
  std::string date, time;
  TraceLine parsed;
  fields >> date >> time >> parsed.pid >> parsed.thread >> parsed.component;
  std::getline(fields >> std::ws, parsed.text);
  return parsed;
}

// A fresh trace file that KX_TRACE names while the holder lives.
class TraceFile {
 public:
  TraceFile()
      : path_(MakeTempDir("trace") + "/trace.log"),
        sink_("KX_TRACE", path_.c_str()) {}

  const std::string& path() const { return path_; }

  // Every line, in the order written.
  std::vector<TraceLine> Lines() const {
    std::vector<TraceLine> lines;
    std::ifstream file(path_);
    for (std::string line; std::getline(file, line);) {
      lines.push_back(ParseTraceLine(line));
    }
    return lines;
  }

  // The texts of the library's lines written by one process.
  std::vector<std::string> LibraryTexts(pid_t pid = getpid()) const {
    std::vector<std::string> texts;
    for (const auto& line : Lines()) {
      if (line.pid == pid && line.component == "KXENV2") {
        texts.push_back(line.text);
      }
    }
    return texts;
  }

  // How many of the library's lines of a process contain `part`.
  int Count(const std::string& part, pid_t pid = getpid()) const {
    int count = 0;
    for (const auto& text : LibraryTexts(pid)) {
      if (text.find(part) != std::string::npos) ++count;
    }
    return count;
  }

 private:
  std::string path_;
  ScopedEnv sink_;
};

// Follows a trace file (by default the one KX_TRACE names, so that helper
// processes can follow the file of their test): each call reads only the
// whole lines written since the previous one.
class TraceTail {
 public:
  explicit TraceTail(std::string path = DefaultPath())
      : path_(std::move(path)) {}

  std::vector<TraceLine> NewLines() {
    std::ifstream file(path_, std::ios::binary);
    if (!file) return {};
    file.seekg(offset_);
    std::string added{std::istreambuf_iterator<char>(file),
                      std::istreambuf_iterator<char>()};
    size_t end = added.rfind('\n');
    if (end == std::string::npos) return {};
    offset_ += static_cast<std::streamoff>(end + 1);
    std::vector<TraceLine> lines;
    std::istringstream whole(added.substr(0, end + 1));
    for (std::string line; std::getline(whole, line);) {
      lines.push_back(ParseTraceLine(line));
    }
    return lines;
  }

  // How many new library lines of a process contain `part`.
  int CountNew(const std::string& part, pid_t pid = getpid()) {
    int count = 0;
    for (const auto& line : NewLines()) {
      count += line.pid == pid && line.component == "KXENV2" &&
               line.text.find(part) != std::string::npos;
    }
    return count;
  }

 private:
  static std::string DefaultPath() {
    const char* path = std::getenv("KX_TRACE");
    return path ? path : "";
  }
  std::string path_;
  std::streamoff offset_ = 0;
};

// ---- Waiting ---------------------------------------------------------------

// Polls `done` every millisecond until it holds or `limit` has passed;
// reports whether it held.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Repeats `get` until the trace shows that it was answered from the cache
// ("GetCachedValue <name>: returning cache value ...", written on hits
// only), which needs the process's watcher to wait for changes; false when
// no hit came within `limit`.
inline bool GetUntilHit(const std::function<void()>& get,
                        const std::string& name, TraceTail& tail,
                        std::chrono::milliseconds limit) {
  const std::string hit = "GetCachedValue " + name + ": returning cache value";
  return WaitUntil(
      [&] {
        get();
        return tail.CountNew(hit) > 0;
      },
      limit);
}

// For roles: ends the process with `code` if it is still running after
// `limit`, so that a helper stuck in a call fails its test instead of
// hanging it.
inline void ExitAfter(std::chrono::seconds limit, int code) {
  std::thread([limit, code] {
    std::this_thread::sleep_for(limit);
    _exit(code);
  }).detach();
}

// ---- Helpers that listen ---------------------------------------------------

// A helper process whose standard input comes from the test: the role reads
// with Hear() what the test sends with Tell(). A socket rather than a pipe,
// so that telling a helper that died fails instead of raising SIGPIPE.
class TalkingChild {
 public:
  TalkingChild(const std::string& role,
               const std::vector<std::string>& args = {})
      : child_(Spawn(role, args, &input_)) {}
  ~TalkingChild() { CloseInput(); }
  TalkingChild(const TalkingChild&) = delete;
  TalkingChild& operator=(const TalkingChild&) = delete;

  pid_t pid() const { return child_.pid(); }
  std::string ReadLine() { return child_.ReadLine(); }
  bool Tell(const std::string& line) {
    std::string data = line + '\n';
    for (size_t sent = 0; sent < data.size();) {
      ssize_t n =
          send(input_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // Closes the helper's input (it reads an end of file) and waits for it.
  int Wait() {
    CloseInput();
    return child_.Wait();
  }

 private:
  // Starts the helper with one end of a socket pair as its standard input;
  // the test's own standard input is put back at once.
  static Child Spawn(const std::string& role,
                     const std::vector<std::string>& args, int* input) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      throw std::runtime_error("socketpair");
    }
    int saved = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
    struct Restore {
      int saved;
      ~Restore() {
        if (saved >= 0) {
          dup2(saved, STDIN_FILENO);
          close(saved);
        } else {
          close(STDIN_FILENO);
        }
      }
    } restore{saved};
    try {
      Child child(role, args);
      *input = ends[1];
      return child;
    } catch (...) {
      close(ends[1]);
      throw;
    }
  }
  void CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  int input_ = -1;
  Child child_;
};

// ---- Builds with sanitizers -----------------------------------------------

// Sanitized builds run several times slower: long loops run fewer rounds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace kxtest
