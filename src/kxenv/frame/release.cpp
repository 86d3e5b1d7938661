// Release of records handed to callers.
#include "internal.h"

namespace {

// The record that a var block belongs to: the first block of its chain.
// `pointer` is a live payload; call with the Memory lock held.
VariableRecord* RecordOf(void* pointer) {
  AssertMemoryLockHeld();
  VarBlock* block = BlockOf(pointer);
  while (block->prev) block = block->prev;
  return reinterpret_cast<VariableRecord*>(block + 1);
}

void FreeChain(VariableRecord* record) {
  MemoryLock lock;
  FreeVarChain(BlockOf(record));
}

}  // namespace

void FreeRecord(VariableRecord* record) {
  UnIndexVar(g_value_index, record);
  FreeChain(record);
}

int KXfreememEx(VarIndex* index, void* pointer) {
  if (!g_library.quiet) {
    SetTraceStringA(kTraceComponent, "KXfreememEx: enter - input=0x%X.\n",
                    TraceAddress(pointer));
  }
  if (!index || !pointer) return -1;
  Initialize();
  // One holding of the lock, so that two threads that free the same record
  // at once free it once.
  VariableRecord* record = nullptr;
  bool freed = Guarded("KXfreememEx", [&] {
    MemoryLock lock;
    if (!IsVarPayload(pointer)) return;
    record = RecordOf(pointer);
    UnIndexVar(index, record);
    FreeChain(record);
  });
  if (!freed || !record) return -1;
  if (!g_library.quiet) {
    SetTraceStringA(kTraceComponent, "KXfreememEx: exited successfully.\n");
  }
  return 0;
}

int KXfreemem(void* pointer) {
  return Guarded("KXfreemem", -1,
                 [&] { return KXfreememEx(g_value_index, pointer); });
}
