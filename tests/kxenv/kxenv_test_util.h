// Helpers for the tests of libkxenv: keys written straight into the store
// and read back raw, environment variables that are put back, trace files,
// and waiting for the watcher.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
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
#include <vector>

#include "kxenv/kxenv.h"
#include "kxwin_test_util.h"
#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace kxtest {

using namespace std::chrono_literals;

inline constexpr char kProductKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion";
inline constexpr char kStoreKey[] =
    "Software\\Norvane\\KX-Orrery\\CurrentVersion\\Components\\COM\\ENV";
inline std::string EnvKey(const std::string& name) {
  return std::string(kStoreKey) + "\\ENV\\" + name;
}
inline std::string OptKey(const std::string& name) {
  return std::string(kStoreKey) + "\\OPT\\" + name;
}
inline std::string AppKey(const std::string& name) {
  return std::string(kStoreKey) + "\\APP\\" + name;
}

// One value of a key: its type and its bytes exactly as stored.
struct StoreValue {
  std::string name;
  DWORD type;
  std::string bytes;
};
inline StoreValue Text(const std::string& name, const std::string& text) {
  return {name, REG_SZ, text + '\0'};
}
inline StoreValue Number(const std::string& name, DWORD number) {
  return {name, REG_DWORD, std::string(reinterpret_cast<char*>(&number), 4)};
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

// The stored value, or nothing when the key or the value is missing.
inline std::optional<StoreValue> ReadRaw(const std::string& path,
                                         const char* name) {
  Key key;
  StoreValue raw{name, REG_NONE, std::string(4096, '\0')};
  DWORD size = 4096;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()) !=
          ERROR_SUCCESS ||
      RegQueryValueExA(key, name, nullptr, &raw.type,
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
  return raw->bytes.substr(0, raw->bytes.find('\0'));
}

inline bool KeyExists(const std::string& path) {
  Key key;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ,
                       key.out()) == ERROR_SUCCESS;
}

// A returned text for comparisons; a null pointer reads "(null)".
inline std::string Str(const char* text) {
  return text ? text : "(null)";
}

// Sets (or, with null, removes) an environment variable for a scope and
// puts the earlier state back at its end. The trace sink is read again each
// time, since the support library reads KX_TRACE only once.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const char* value) {
    value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
    ReloadTraceSink();
  }
  std::string name_;
  std::optional<std::string> old_;
};

// One line of a trace file: "date time pid tid component text".
struct TraceLine {
  pid_t pid = 0;
  std::string thread, component, text;
};

// A fresh trace file that KX_TRACE names while the holder lives; or, made
// with `follow` (in a helper process), the file that KX_TRACE names already.
class TraceFile {
 public:
  explicit TraceFile(bool follow = false) {
    if (follow) {
      path_ = std::getenv("KX_TRACE") ? std::getenv("KX_TRACE") : "";
    } else {
      path_ = MakeTempDir("trace") + "/trace.log";
      sink_.emplace("KX_TRACE", path_.c_str());
    }
  }

  // Every whole line, or with `fresh` those written since the last such
  // call, in the order written.
  std::vector<TraceLine> Lines(bool fresh = false) {
    std::ifstream file(path_, std::ios::binary);  // only what is new
    file.seekg(fresh ? seen_ : 0);
    std::string text{std::istreambuf_iterator<char>(file), {}};
    size_t end = text.rfind('\n') + 1;  // 0 when there is none
    if (fresh) seen_ += static_cast<std::streamoff>(end);
    std::vector<TraceLine> lines;
    for (const std::string& line : SplitLines(text.substr(0, end))) {
      std::string date, time;
      TraceLine& parsed = lines.emplace_back();
      std::istringstream fields(line);
      fields >> date >> time >> parsed.pid >> parsed.thread >> parsed.component;
      std::getline(fields >> std::ws, parsed.text);
    }
    return lines;
  }

  // How many of the library's lines of a process contain `part`.
  int Count(const std::string& part, pid_t pid = getpid(), bool fresh = false) {
    int count = 0;
    for (const auto& line : Lines(fresh)) {
      count += line.pid == pid && line.component == "KXENV2" &&
               line.text.find(part) != std::string::npos;
    }
    return count;
  }
  int CountNew(const std::string& part, pid_t pid = getpid()) {
    return Count(part, pid, true);
  }

 private:
  std::string path_;
  std::streamoff seen_ = 0;
  std::optional<ScopedEnv> sink_;
};

// The trace line that a get answered from the cache writes.
inline std::string HitLine(const std::string& name) {
  return "GetCachedValue " + name + ": returning cache value";
}

// Repeats `get` until the trace shows a get answered from the cache, which
// needs the process's watcher to wait for changes; false when none came.
inline bool GetUntilHit(const std::function<void()>& get,
                        const std::string& name, TraceFile& trace) {
  return WaitUntil([&] {
    get();
    return trace.CountNew(HitLine(name)) > 0;
  });
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

// Lets `count` threads start together, as std::latch would; a spin, since
// the std::latch of MinGW's GCC 12 can miss a wake-up and leave a thread
// waiting for ever (seen under Wine).
class StartLine {
 public:
  explicit StartLine(int count) : left_(count) {}
  void arrive_and_wait() {
    left_.fetch_sub(1);
    while (left_.load() > 0) std::this_thread::yield();
  }

 private:
  std::atomic<int> left_;
};

// Sanitized builds run several times slower: long loops run fewer rounds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace kxtest
