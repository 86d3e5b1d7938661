// fork() in a process whose threads are in the library and kxwin at that
// moment: the parent never hangs in the call. (POSIX only.)
#include <sys/wait.h>

#include <atomic>

#include "kxenv_test_util.h"

using namespace kxtest;

// A registry call first, so that kxwin's parts are used in the order that
// once made a fork wait for ever; then one thread opens and closes keys,
// another sets and gets (the watcher re-arms after every set), and the
// main thread forks, each child ending at once.
KX_ROLE(fork_while_busy) {
  ExitAfter(60s, 3);  // a fork that hangs
  Key first;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, nullptr, 0, KEY_READ,
                      nullptr, first.out(), nullptr) != ERROR_SUCCESS ||
      KXsetenv("KXT_FORK", "0") != 0 || !KXgetenv("KXT_FORK")) {
    return 1;
  }
  std::atomic<bool> stop{false};
  std::thread opener([&] {
    while (!stop.load()) {
      Key key;
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, key.out());
    }
  });
  std::thread setter([&] {
    for (int i = 0; !stop.load(); ++i) {
      KXsetenv("KXT_FORK", std::to_string(i).c_str());
      KXgetenv("KXT_FORK");
    }
  });
  int failed = 0;
  for (int i = 0; i < std::stoi(args.at(0)); ++i) {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    int status = 0;
    failed += pid < 0 || waitpid(pid, &status, 0) != pid || status != 0;
  }
  stop = true;
  opener.join();
  setter.join();
  return failed ? 2 : 0;
}

TEST(ConcurrentAccess, ForksNeverWaitForLocksWhileThreadsUseTheStore) {
  EXPECT_EQ(Child("fork_while_busy", {kSanitized ? "100" : "400"}).Wait(), 0);
}
