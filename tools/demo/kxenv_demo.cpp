// Shows the library at work across two processes: the first defines a
// variable, reads it twice (the second read comes from its cache), arms a
// watch and starts a writer process; the writer sets the variable; the
// first process's watch fires and its next get returns the new value.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kxenv/kxenv.h"
#include "kxwin/kxwin.h"

extern char** environ;

namespace {

constexpr char kName[] = "DEMO_GREETING";

int Writer(const char* value) {
  int rc = KXsetenv(kName, value);
  std::printf("  writer  (pid %d): KXsetenv(%s, \"%s\") = %d\n", getpid(),
              kName, value, rc);
  return rc == 0 ? 0 : 1;
}

pid_t StartWriter(const char* value) {
  char* argv[] = {const_cast<char*>("kxenv-demo"),
                  const_cast<char*>("--writer"), const_cast<char*>(value),
                  nullptr};
  pid_t pid = -1;
  posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ);
  return pid;
}

int Watcher() {
  KXsetenv(kName, "hello");
  const char* first = KXgetenv(kName);
  Sleep(200);  // the watcher thread starts on the first get
  const char* second = KXgetenv(kName);
  std::printf("watcher (pid %d): %s = \"%s\"; read again: %s\n", getpid(),
              kName, first,
              first == second ? "same record, from the cache" : "read anew");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  KXwatchenv(kName, event, 0);
  std::printf("watcher: armed an asynchronous watch of %s\n", kName);
  pid_t writer = StartWriter("hello from another process");
  DWORD woken = WaitForSingleObject(event, 10000);
  int status = 0;
  waitpid(writer, &status, 0);
  if (woken != WAIT_OBJECT_0) {
    std::printf("watcher: no notification!\n");
    return 1;
  }
  const char* value = KXgetenv(kName);
  std::printf("watcher: notified; %s = \"%s\"\n", kName, value);
  CloseHandle(event);
  return std::strcmp(value, "hello from another process") == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 3 && std::strcmp(argv[1], "--writer") == 0) {
    return Writer(argv[2]);
  }
  return Watcher();
}
