// Critical sections: recursive pthread mutexes in the caller's storage.
#include <pthread.h>

#include "kxwin/kxwin.h"

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque_),
              "CRITICAL_SECTION is too small for a pthread mutex");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) {
  return reinterpret_cast<pthread_mutex_t*>(section->opaque_.bytes_);
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(MutexOf(section), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_lock(MutexOf(section));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return pthread_mutex_trylock(MutexOf(section)) == 0;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_unlock(MutexOf(section));
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_destroy(MutexOf(section));
}
