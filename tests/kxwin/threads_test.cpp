// Threads: exit codes, waits, self-suspension, priorities, and fork.
#include <gtest/gtest.h>

#include <atomic>

#include "kxwin/kxwin.h"
#include "kxwin_test_util.h"
#include "testing.h"

using kxtest::Handle;

namespace {

unsigned __stdcall ReturnArgument(void* argument) {
  Sleep(1000);  // long enough for the test to see it run, also loaded
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(argument));
}

unsigned __stdcall EndEarly(void*) {
  _endthreadex(7);
}

struct Handshake {
  HANDLE caller = nullptr;
  std::atomic<DWORD> resume_count{0};
};

// Resumes the caller until a resume finds it suspended, as a watch thread
// does once its notification is armed.
unsigned __stdcall ResumeCaller(void* argument) {
  auto* handshake = static_cast<Handshake*>(argument);
  DWORD previous;
  do {
    SwitchToThread();
    previous = ResumeThread(handshake->caller);
  } while (previous == 0);
  handshake->resume_count = previous;
  return 0;
}

}  // namespace

TEST(Thread, ExitCodeIsStillActiveUntilTheThreadReturnsOrEnds) {
  Handle returns(reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0, ReturnArgument, reinterpret_cast<void*>(42), 0, nullptr)));
  unsigned id = 0;
  Handle ends(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, EndEarly, nullptr, 0, &id)));
  EXPECT_NE(id, 0u);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(returns, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(returns, 0), WAIT_TIMEOUT);
  HANDLE handles[] = {ends};
  EXPECT_EQ(WaitForMultipleObjects(1, handles, FALSE, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(returns, 10000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(returns, &code));
  EXPECT_EQ(code, 42u);
  ASSERT_TRUE(GetExitCodeThread(ends, &code));
  EXPECT_EQ(code, 7u);
  HANDLE closed = ends.release();  // a handle that names nothing now
  EXPECT_TRUE(CloseHandle(closed) && !GetExitCodeThread(closed, &code));
}

TEST(Thread, SuspendedCallerIsResumedByTheThreadItStarted) {
  Handshake handshake;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                              GetCurrentProcess(), &handshake.caller, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  Handle thread(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, ResumeCaller, &handshake, 0, nullptr)));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_EQ(SuspendThread(handshake.caller), 0u);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_EQ(handshake.resume_count.load(), 1u);
  EXPECT_EQ(ResumeThread(handshake.caller), 0u);  // not suspended now
  EXPECT_TRUE(CloseHandle(handshake.caller));
}

TEST(Thread, CreatedSuspendedRunsOnlyWhenResumedAtTheRaisedPriority) {
  Handle thread(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, ReturnArgument, reinterpret_cast<void*>(3),
                     CREATE_SUSPENDED, nullptr)));
  // Accepted without privilege.
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  EXPECT_FALSE(SetThreadPriority(nullptr, THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  // Another thread cannot be suspended from outside.
  EXPECT_EQ(SuspendThread(thread), static_cast<DWORD>(-1));
}

#ifndef _WIN32  // Windows has no fork
#include <sys/wait.h>
#include <unistd.h>

TEST(Fork, ChildUsesTheStoreAfreshAndNotTheParentsThreads) {
  kxtest::Key key;
  ASSERT_EQ(kxtest::CreateKey("Software\\Forked", key.out()), ERROR_SUCCESS);
  ASSERT_EQ(kxtest::SetText(key, "before", "parent"), ERROR_SUCCESS);
  Handle thread(reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0, ReturnArgument, nullptr, CREATE_SUSPENDED, nullptr)));
  pid_t pid = fork();
  if (pid == 0) {
    DWORD code;
    bool ok = kxtest::GetText(key, "before") == "parent" &&
              kxtest::SetText(key, "child", "wrote") == ERROR_SUCCESS &&
              !GetExitCodeThread(thread, &code);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(kxtest::GetText(key, "child"), "wrote");
  ResumeThread(thread);
  WaitForSingleObject(thread, INFINITE);
}
#endif
