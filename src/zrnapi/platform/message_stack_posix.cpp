// The calling thread's message stack on Linux.
#include "internal.h"

namespace zrnapi {

MessageStack& ThreadStack() {
  thread_local MessageStack stack;
  return stack;
}

}  // namespace zrnapi
