// fork() on POSIX: the library's handlers, registered at load, after those
// of kxwin (which the loader initialises first), so that they take the
// library's locks before kxwin's.
#include <pthread.h>

#include "internal.h"

void WatchForForks(const ForkSteps& steps) {
  pthread_atfork(steps.prepare, steps.parent, steps.child);
}
