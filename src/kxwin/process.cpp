// Identity of processes: a process id together with the process's start
// time, so that a recycled process id is never taken for the process that
// once had it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "internal.h"

namespace kxwin {
namespace {

// Field 22 of /proc/<pid>/stat; 0 when the process does not exist.
uint64_t ReadStartTime(int32_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  kx::UniqueFile file(std::fopen(path, "re"));
  if (!file) return 0;
  char buffer[1024];
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, file.get());
  file.reset();
  buffer[n] = '\0';
  // The command name in field 2 may hold blanks and parentheses; the fields
  // after it start behind the last ')'.
  const char* p = std::strrchr(buffer, ')');
  if (!p) return 0;
  unsigned long long start = 0;
  int field = 2;
  for (++p; *p && field < 22; ++p) {
    if (*p == ' ') ++field;
  }
  if (field != 22 || std::sscanf(p, "%llu", &start) != 1) return 0;
  return start;
}

ProcessIdentity identity;
std::once_flag identity_once;

void Identify() {
  identity.pid = static_cast<int32_t>(getpid());
  identity.start_time = ReadStartTime(identity.pid);
}

void IdentifyChild() {
  Identify();
}

}  // namespace

const ProcessIdentity& ThisProcess() {
  std::call_once(identity_once, [] {
    Identify();
    pthread_atfork(nullptr, nullptr, IdentifyChild);
  });
  return identity;
}

bool ProcessAlive(int32_t pid, uint64_t start_time) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  return ReadStartTime(pid) == start_time;
}

}  // namespace kxwin

DWORD GetCurrentProcessId(void) {
  return static_cast<DWORD>(kxwin::ThisProcess().pid);
}
