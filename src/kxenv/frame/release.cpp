// The exported release of records handed to callers: thin wrappers over
// the cache's ReleaseRecord, which does the work and writes the lines.
#include "internal.h"

int KXfreememEx(VarIndex* index, void* pointer) {
  // A null argument is refused untouched; otherwise the library is set up
  // before the release writes its first line.
  if (index && pointer) Initialize();
  return ReleaseRecord(index, pointer) ? 0 : -1;
}

int KXfreemem(void* pointer) {
  return Guarded("KXfreemem", -1,
                 [&] { return KXfreememEx(g_value_index, pointer); });
}
