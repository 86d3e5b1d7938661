// Threads of this process, with Win32 handles, exit codes, priorities and
// self-suspension.
//
// Every thread that kxwin knows has a ThreadObject: threads made by
// _beginthreadex get theirs at creation, any other thread when it first
// asks for a handle to itself. A thread-local holder marks the record done
// when the thread ends, whether it returned, called _endthreadex or
// pthread_exit, and wakes every waiter on its `done` word.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "handles.h"
#include "internal.h"
#include "sync.h"

namespace kxwin {
namespace {

// Marks the calling thread's record done when the thread ends.
struct CurrentThreadHolder {
  std::shared_ptr<ThreadObject> thread;
  ~CurrentThreadHolder() {
    if (!thread) return;
    DWORD code = thread->exit_code.load();
    if (code == STILL_ACTIVE) thread->exit_code.store(0);
    thread->done.store(1);
    FutexWakeAll(&thread->done, false);
  }
};

thread_local CurrentThreadHolder current;

pid_t CurrentTid() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

int NiceFor(int priority) {
  switch (priority) {
    case THREAD_PRIORITY_TIME_CRITICAL:
      return -20;
    case THREAD_PRIORITY_HIGHEST:
      return -10;
    case THREAD_PRIORITY_ABOVE_NORMAL:
      return -5;
    case THREAD_PRIORITY_BELOW_NORMAL:
      return 5;
    case THREAD_PRIORITY_LOWEST:
      return 10;
    case THREAD_PRIORITY_IDLE:
      return 19;
    default:
      return 0;
  }
}

void WaitWhileSuspended(ThreadObject& thread) {
  std::unique_lock lock(thread.suspend_lock);
  thread.resumed.wait(lock, [&] { return thread.suspend_count == 0; });
}

void* ThreadMain(void* argument) {
  auto* start = static_cast<std::shared_ptr<ThreadObject>*>(argument);
  current.thread = std::move(*start);
  delete start;
  ThreadObject& thread = *current.thread;
  thread.tid.store(CurrentTid());
  ApplyPriority(thread.tid.load(), thread.priority.load());
  WaitWhileSuspended(thread);
  unsigned code = thread.start(thread.argument);
  thread.exit_code.store(code);
  return nullptr;
}

void ForgetParentThreads() {
  // After fork only the forking thread exists in the child; handles to the
  // parent's other threads are not the child's.
  auto me = current.thread;
  DropHandles(HandleKind::kThread, [&](const std::shared_ptr<void>& object) {
    return object != me;
  });
  if (me) me->owner_pid = getpid();
}

void WatchForForks() {
  static std::once_flag once;
  std::call_once(once,
                 [] { pthread_atfork(nullptr, nullptr, ForgetParentThreads); });
}

}  // namespace

std::shared_ptr<ThreadObject> CurrentThreadObject() {
  if (!current.thread) {
    WatchForForks();
    auto thread = std::make_shared<ThreadObject>();
    thread->tid.store(CurrentTid());
    thread->owner_pid = getpid();
    current.thread = std::move(thread);
  }
  return current.thread;
}

void ApplyPriority(pid_t tid, int priority) {
  if (tid == 0) return;  // applied when the thread starts
  // Raising a priority needs a privilege that callers seldom have; Windows
  // programs expect the call to work, so a refusal is not an error.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceFor(priority));
}

}  // namespace kxwin

using namespace kxwin;

uintptr_t _beginthreadex(void*, unsigned stack_size,
                         _beginthreadex_proc_type start, void* argument,
                         unsigned flags, unsigned* thread_id) {
  if (!start) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    WatchForForks();
    auto thread = std::make_shared<ThreadObject>();
    thread->start = start;
    thread->argument = argument;
    thread->owner_pid = getpid();
    thread->suspend_count = (flags & CREATE_SUSPENDED) ? 1 : 0;
    HANDLE handle = InsertHandle(HandleKind::kThread, thread);
    if (!handle) return 0;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size) pthread_attr_setstacksize(&attributes, stack_size);
    pthread_t id;
    auto* start_copy = new std::shared_ptr<ThreadObject>(thread);
    int rc = pthread_create(&id, &attributes, ThreadMain, start_copy);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
      delete start_copy;
      RemoveHandle(handle, HandleKind::kThread);
      errno = rc;
      SetLastError(ErrorFromErrno(rc));
      return 0;
    }
    if (thread_id) {
      // The id is the kernel's thread id, known once the thread runs.
      while (thread->tid.load() == 0) sched_yield();
      *thread_id = static_cast<unsigned>(thread->tid.load());
    }
    return reinterpret_cast<uintptr_t>(handle);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

void _endthreadex(unsigned code) {
  CurrentThreadObject()->exit_code.store(code);
  pthread_exit(nullptr);
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
  if (!exit_code) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto thread = handle == kCurrentThread
                    ? CurrentThreadObject()
                    : Lookup<ThreadObject>(handle, HandleKind::kThread);
  if (!thread) return FALSE;
  *exit_code = thread->done.load() ? thread->exit_code.load() : STILL_ACTIVE;
  return TRUE;
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
  auto thread = handle == kCurrentThread
                    ? CurrentThreadObject()
                    : Lookup<ThreadObject>(handle, HandleKind::kThread);
  if (!thread) return FALSE;
  thread->priority.store(priority);
  ApplyPriority(thread->tid.load(), priority);
  return TRUE;
}

int GetThreadPriority(HANDLE handle) {
  auto thread = handle == kCurrentThread
                    ? CurrentThreadObject()
                    : Lookup<ThreadObject>(handle, HandleKind::kThread);
  return thread ? thread->priority.load() : 0x7FFFFFFF;
}

DWORD SuspendThread(HANDLE handle) {
  auto me = CurrentThreadObject();
  auto thread = handle == kCurrentThread
                    ? me
                    : Lookup<ThreadObject>(handle, HandleKind::kThread);
  if (!thread) return static_cast<DWORD>(-1);
  if (thread != me) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return static_cast<DWORD>(-1);
  }
  std::unique_lock lock(thread->suspend_lock);
  int previous = thread->suspend_count++;
  thread->resumed.wait(lock, [&] { return thread->suspend_count == 0; });
  return static_cast<DWORD>(previous);
}

DWORD ResumeThread(HANDLE handle) {
  auto thread = handle == kCurrentThread
                    ? CurrentThreadObject()
                    : Lookup<ThreadObject>(handle, HandleKind::kThread);
  if (!thread) return static_cast<DWORD>(-1);
  std::lock_guard lock(thread->suspend_lock);
  int previous = thread->suspend_count;
  if (previous > 0 && --thread->suspend_count == 0) {
    thread->resumed.notify_all();
  }
  return static_cast<DWORD>(previous);
}

BOOL SwitchToThread(void) {
  return sched_yield() == 0;
}

DWORD GetCurrentThreadId(void) {
  return static_cast<DWORD>(CurrentTid());
}

HANDLE GetCurrentProcess(void) {
  return kCurrentProcess;
}

HANDLE GetCurrentThread(void) {
  return kCurrentThread;
}
