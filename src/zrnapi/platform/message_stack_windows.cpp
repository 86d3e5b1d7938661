// The calling thread's message stack on Windows.
#include <windows.h>

#include "internal.h"

namespace zrnapi {
namespace {

// MinGW's runtime frees a thread's thread_local storage in a DLL before it
// destroys the objects there, so a thread_local with a destructor frees
// garbage at the thread's exit. The stack lives on the heap instead, in a
// fiber-local slot whose callback deletes it at the thread's exit (and for
// every thread when the slot is freed, as this DLL unloads).
void NTAPI DeleteStack(void* stack) {
  delete static_cast<MessageStack*>(stack);
}

struct StackSlot {
  DWORD index = FlsAlloc(DeleteStack);
  ~StackSlot() { FlsFree(index); }
};

}  // namespace

// FlsGetValue clears the thread's last error, which callers of the
// message calls still read: it is put back.
MessageStack& ThreadStack() {
  static StackSlot slot;
  DWORD last_error = GetLastError();
  auto* stack = static_cast<MessageStack*>(FlsGetValue(slot.index));
  SetLastError(last_error);
  if (!stack) {
    stack = new MessageStack;
    FlsSetValue(slot.index, stack);
  }
  return *stack;
}

}  // namespace zrnapi
