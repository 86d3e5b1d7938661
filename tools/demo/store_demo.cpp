// Shows the machine-wide store at work across two processes: a watcher arms
// a change notification on a key and starts a writer process; the writer
// sets values; the watcher is woken by the notification and reads them.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "kxwin/kxwin.h"

extern char** environ;

namespace {

constexpr char kKey[] = "Software\\Norvane\\KX-Orrery\\Demo";

int Writer(int round) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return 1;
  }
  std::string text = "value of round " + std::to_string(round);
  DWORD number = static_cast<DWORD>(round);
  LSTATUS status = RegSetValueExA(key, "Message", 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>(text.size() + 1));
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExA(key, "Round", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&number), 4);
  }
  std::printf("  writer  (pid %d): set Message and Round\n", getpid());
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : 1;
}

pid_t StartWriter(const char* self, int round) {
  std::string round_text = std::to_string(round);
  char* argv[] = {const_cast<char*>(self), const_cast<char*>("--writer"),
                  round_text.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ)) {
    return -1;
  }
  return pid;
}

void ReadBack(HKEY key) {
  char text[256];
  DWORD size = sizeof text, number = 0, number_size = 4;
  RegQueryValueExA(key, "message", nullptr, nullptr,
                   reinterpret_cast<BYTE*>(text), &size);
  RegQueryValueExA(key, "ROUND", nullptr, nullptr,
                   reinterpret_cast<BYTE*>(&number), &number_size);
  std::printf("  watcher (pid %d): read Message=\"%s\" Round=%u\n", getpid(),
              text, number);
}

int Watcher(const char* self) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot open the store (KX_REGISTRY)\n");
    return 1;
  }
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  int failures = 0;
  for (int round = 1; round <= 3; ++round) {
    ResetEvent(event);
    RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
    std::printf("round %d: watcher armed a notification on HKLM\\%s\n", round,
                kKey);
    auto start = std::chrono::steady_clock::now();
    pid_t writer = StartWriter(self, round);
    DWORD wait = WaitForSingleObject(event, 10000);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    int status = 0;
    waitpid(writer, &status, 0);
    if (wait != WAIT_OBJECT_0) {
      std::printf("  watcher: no notification!\n");
      ++failures;
      continue;
    }
    std::printf(
        "  watcher (pid %d): notified %lld us after starting the "
        "writer\n",
        getpid(), static_cast<long long>(micros));
    ReadBack(key);
  }
  CloseHandle(event);
  RegCloseKey(key);
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 3 && std::strcmp(argv[1], "--writer") == 0) {
    return Writer(std::atoi(argv[2]));
  }
  return Watcher(argv[0]);
}
