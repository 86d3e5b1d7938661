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
  VarBlock* block = BlockOf(record);
  while (block) {
    VarBlock* next = block->next;
    FreeVarBlock(block);
    block = next;
  }
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
  VariableRecord* record =
      Guarded<VariableRecord*>("KXfreememEx", nullptr, [&] {
        MemoryLock lock;
        return IsVarPayload(pointer) ? RecordOf(pointer) : nullptr;
      });
  if (!record) return -1;
  UnIndexVar(index, record);
  if (!Guarded("KXfreememEx", [&] { FreeChain(record); })) return -1;
  if (!g_library.quiet) {
    SetTraceStringA(kTraceComponent, "KXfreememEx: exited successfully.\n");
  }
  return 0;
}

int KXfreemem(void* pointer) {
  return Guarded("KXfreemem", -1,
                 [&] { return KXfreememEx(g_value_index, pointer); });
}
