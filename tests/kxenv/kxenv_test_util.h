// Helpers for the tests of libkxenv: fixtures written straight into the
// store, raw reads of what the library wrote, environment variables that
// are put back, and the trace file of a test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
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

// ---- The process environment -----------------------------------------------

// Sets (or, with null, removes) an environment variable for a scope and
// puts the earlier state back at its end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
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
      std::istringstream fields(line);
      std::string date, time;
      TraceLine parsed;
      fields >> date >> time >> parsed.pid >> parsed.thread >> parsed.component;
      std::getline(fields >> std::ws, parsed.text);
      lines.push_back(parsed);
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

}  // namespace kxtest
