// Test support: a temporary store per test process, and helper processes
// that are this test binary started with a role. On Windows the store is a
// fresh key that stands in for HKEY_LOCAL_MACHINE in the test process and
// every helper it starts.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#ifdef _WIN32
#include <process.h>

#include <cstdlib>
#endif

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
// The POSIX names the tests use, on the C runtime of Windows.
inline int setenv(const char* name, const char* value, int) {
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
#ifndef SIGKILL
#define SIGKILL 9
#endif
#endif

// Ends a test on Windows as skipped, for what only the Linux build
// promises (kxwin's own files, value order, LANG-driven locales...).
#ifdef _WIN32
#define KX_LINUX_ONLY(why) GTEST_SKIP() << "Linux only: " << why
#else
#define KX_LINUX_ONLY(why) static_cast<void>(0)
#endif

namespace kxtest {

// The path of this test binary.
std::string SelfPath();

// The store of this test process, made fresh before the first test runs
// and removed after the last: the directory KX_REGISTRY names, or on
// Windows the path of the key below HKEY_CURRENT_USER that stands in for
// HKEY_LOCAL_MACHINE.
const std::string& StoreDir();
// A fresh empty directory below the test's temporary area.
std::string MakeTempDir(const std::string& tag);

// A role is a function that a helper process runs; its result is the
// process's exit code.
using RoleFunction = std::function<int(const std::vector<std::string>& args)>;
struct RoleRegistration {
  RoleRegistration(const char* name, RoleFunction fn);
};
#define KX_ROLE(name)                                                        \
  static int name##_role(const std::vector<std::string>& args);              \
  static ::kxtest::RoleRegistration name##_registration(#name, name##_role); \
  static int name##_role([[maybe_unused]] const std::vector<std::string>& args)

// A helper process running a role, its standard output read by ReadLine and
// its standard input written by Tell; killed and reaped if still running
// when the holder goes.
class Child {
 public:
  // Starts this test binary, or the program at `executable` (a copy of it),
  // in the given role.
  Child(const std::string& role, const std::vector<std::string>& args = {},
        const std::string& executable = SelfPath());
  ~Child();
  Child(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Closes the child's input (it reads an end of file), waits for the end
  // and returns the exit code, or 128 + signal number.
  int Wait();
  // On Windows the child ends at once with 128 + signal as its exit code.
  void Kill(int signal);
  // Reads one line that the child wrote to its standard output.
  std::string ReadLine();
  // Writes a line to the child's standard input; false once it has gone.
  bool Tell(const std::string& line);
  // Lines up to the first empty one or the end, each with its end.
  std::string ReadLines();

 private:
  // Reads what the child wrote, at least a byte; 0 at its end.
  size_t ReadSome(char* buffer, size_t size);
  pid_t pid_ = -1;
#ifdef _WIN32
  void* process_ = nullptr;
  void* out_ = nullptr;
  void* in_ = nullptr;
#else
  int out_fd_ = -1;
  int in_fd_ = -1;
#endif
  std::string buffered_;
};

// The whole file at `path`, or "<missing>"; and a file written whole.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// The lines of a text, without their ends.
std::vector<std::string> SplitLines(const std::string& text);

// Polls `done` every `step` until it holds or `limit` has passed; reports
// whether it held.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(5),
               std::chrono::milliseconds step = std::chrono::milliseconds(1));

// A program run to its end: its exit code (128 + signal number when one
// ended it) and everything it wrote.
struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs argv[0] with the other words as its arguments; `env` adds or
// replaces variables ("TZ=UTC") and `input` is its standard input.
Ran RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env = {},
               const std::string& input = "");

// The first line a helper in `role` says, or "ended with status N" when
// it fails.
std::string FirstLine(const std::string& role,
                      const std::vector<std::string>& args = {});

// For roles: writes a line to standard output and flushes it, so that the
// parent's ReadLine sees it at once.
void Say(const std::string& line);
// For roles: reads one line from standard input (the parent's Tell).
std::string Hear();

// Whether `text` holds `part`, or begins with it; a failure shows both.
inline testing::AssertionResult Has(const std::string& text,
                                    const std::string& part) {
  if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << '"' << part << "\" not in:\n" << text;
}
inline testing::AssertionResult StartsWith(const std::string& text,
                                           const std::string& part) {
  if (text.starts_with(part)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << '"' << part << "\" does not begin:\n"
                                     << text;
}

// Runs every input kept for a fuzzer (files of tests/fixtures/fuzz/<target>,
// seeds and past findings) through the check that the fuzzer runs, as one
// expectation each; returns how many there were.
using FuzzCheck = bool (*)(const unsigned char* data, std::size_t size);
int ReplayFuzzInputs(const std::string& fixtures, const std::string& target,
                     FuzzCheck check);

}  // namespace kxtest
