// Mutexes, events and waits, within a process and across processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "kxwin/kxwin.h"
#include "kxwin_test_util.h"
#include "testing.h"

using kxtest::Child;
using kxtest::Handle;
using kxtest::MakeEvent;

namespace {

constexpr char kMutexName[] = "KX.TEST.MUTEX";

}  // namespace

TEST(Mutex, OwnerMayTakeItAgainAndMustReleaseItAsOften) {
  Handle mutex(CreateMutexA(nullptr, FALSE, "KX.TEST.REENTRANT"));
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  }).join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 20), WAIT_TIMEOUT);
  }).join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  }).join();
}

TEST(Mutex, SecondCreateOpensTheSameMutex) {
  Handle first(CreateMutexA(nullptr, TRUE, "KX.TEST.SAME"));
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  Handle second(CreateMutexA(nullptr, TRUE, "KX.TEST.SAME"));
  ASSERT_NE(second.get(), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // Initial ownership was granted once, through the first call only.
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_FALSE(ReleaseMutex(first));
  std::string overlong(MAX_PATH, 'n');  // an objects file slot's limit
  if (kxtest::kKxwin) {
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, overlong.c_str()), nullptr);
  }
}

KX_ROLE(hold_mutex) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
  if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return 1;
  WaitForSingleObject(mutex, INFINITE);  // twice: death abandons it anyway
  kxtest::Say("owned");
  for (;;) Sleep(1000);
}

TEST(Mutex, OwnerKilledLeavesItAbandonedNotDeadlocked) {
  Child holder("hold_mutex");
  ASSERT_EQ(holder.ReadLine(), "owned");
  Handle mutex(CreateMutexA(nullptr, FALSE, kMutexName));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(mutex, 30), WAIT_TIMEOUT);
  holder.Kill(SIGKILL);
  holder.Wait();
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  for (BOOL released : {TRUE, TRUE, FALSE}) {
    EXPECT_EQ(ReleaseMutex(mutex), released);
  }
}

// Increments a counter in the store under the mutex, args[0] times, and
// writes a value of its own per round on the shared key.
KX_ROLE(count_under_mutex) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
  kxtest::Key key;
  if (kxtest::CreateKey("Software\\Counter", key.out())) return 1;
  for (int i = 0; i < std::stoi(args.at(0)); ++i) {
    if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return 2;
    DWORD value = 0, size = sizeof value;
    // Only the very first round finds no counter; any other failure would
    // lose counts.
    LSTATUS read = RegQueryValueExA(key, "n", nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(&value), &size);
    if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return 3;
    ++value;
    char own[64];
    std::snprintf(own, sizeof own, "p%lu_%d",
                  static_cast<unsigned long>(GetCurrentProcessId()), i);
    if (RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value),
                       4) ||
        kxtest::SetText(key, own, "x")) {
      return 4;
    }
    ReleaseMutex(mutex);
  }
  return 0;
}

TEST(Mutex, ProcessesCountingUnderItLoseNoWrite) {
  constexpr int kProcesses = 4, kRounds = 50;
  std::vector<Child> children;
  for (int i = 0; i < kProcesses; ++i) {
    children.emplace_back("count_under_mutex",
                          std::vector<std::string>{std::to_string(kRounds)});
  }
  for (auto& child : children) EXPECT_EQ(child.Wait(), 0);
  kxtest::Key key;
  ASSERT_EQ(kxtest::CreateKey("Software\\Counter", key.out()), ERROR_SUCCESS);
  EXPECT_EQ(kxtest::GetDword(key, "n"), DWORD{kProcesses * kRounds});
  EXPECT_EQ(kxtest::KeyInfo(key)[2], DWORD{kProcesses * kRounds + 1});
}

// Three waiters on one signal: a manual-reset event releases all and stays
// set, an automatic one releases one and resets itself.
// Maps the named section and says what its first byte holds.
KX_ROLE(read_section) {
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                      PAGE_READWRITE, 0, 8, args.at(0).c_str());
  auto* view = static_cast<char*>(
      section ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 8) : nullptr);
  kxtest::Say(view ? std::string(1, view[0]) : "none");
  return view ? 0 : 1;
}

// As Wine's tests show: a second create opens the same section
// (ERROR_ALREADY_EXISTS), names are case-sensitive, and what one process
// writes into a view another one's view holds.
TEST(Section, NamedSectionIsOneMemoryForEveryProcess) {
  const char* name = "KX.TEST.SECTION";
  Handle first(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  0, 8, name));
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  auto* view =
      static_cast<char*>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 8));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);
  view[0] = 'x';
  Handle again(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  0, 8, name));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  Handle other(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  0, 8, "KX.TEST.section"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  Child reader("read_section", {name});
  EXPECT_EQ(reader.ReadLine(), "x");
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_TRUE(UnmapViewOfFile(view));
}

TEST(Event, ManualResetReleasesEveryWaiterAndAutomaticResetOne) {
  for (BOOL manual : {TRUE, FALSE}) {
    Handle event(MakeEvent(manual));
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
        if (WaitForSingleObject(event, manual ? 10000 : 300) == WAIT_OBJECT_0) {
          ++woken;
        }
      });
    }
    Sleep(20);
    EXPECT_TRUE(SetEvent(event));
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), manual ? 3 : 1);
    EXPECT_EQ(WaitForSingleObject(event, 0),
              manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  }
}

TEST(Wait, LowestSignalledIndexWinsAndTimeoutsEnd) {
  Handle a(MakeEvent(TRUE)), b(MakeEvent(FALSE)), c(MakeEvent(TRUE));
  HANDLE all[] = {a, b, c};
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 30), WAIT_TIMEOUT);
  SetEvent(c);
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 1);
  // b resets itself on the wait that took it; c stays signalled.
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2);
  ResetEvent(c);
  std::thread setter([&] {
    Sleep(30);
    SetEvent(a);
  });
  EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, INFINITE), WAIT_OBJECT_0);
  setter.join();
}

TEST(WaitBadInput, ClosedOrForeignHandlesFailTheWait) {
  HANDLE event = MakeEvent(TRUE, TRUE);
  Handle live(MakeEvent(TRUE, TRUE));  // before the close reuses its value
  HANDLE mixed[] = {live, event};
  // A poll that found the handles good vouches for none of them later.
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  // The two low bits of a handle are the caller's: set, they name the same
  // event (Wine's tests on Windows), or still none.
  for (auto bits : {1, 2, 3}) {
    auto tagged = [&](HANDLE h) { return (HANDLE)((uintptr_t)h | bits); };
    EXPECT_EQ(WaitForSingleObject(tagged(live), 0), WAIT_OBJECT_0) << bits;
    EXPECT_EQ(WaitForSingleObject(tagged(event), 0), WAIT_FAILED) << bits;
  }
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, mixed, FALSE, 0), WAIT_FAILED);
  if (!kxtest::kKxwin) return;  // kxwin waits for one, events are unnamed
  EXPECT_EQ(WaitForMultipleObjects(1, mixed, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  for (int i = 0; i < 2; ++i) EnterCriticalSection(&section);
  std::thread([&] { EXPECT_FALSE(TryEnterCriticalSection(&section)); }).join();
  for (int i = 0; i < 2; ++i) LeaveCriticalSection(&section);
  std::thread([&] {
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
  }).join();
  DeleteCriticalSection(&section);
}
