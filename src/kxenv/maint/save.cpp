// Saving the variable store to a file and loading it back. Both are thin:
// the support library owns the file format, the copy and the meaning of
// the replace flag. A save needs none of the library's own state; a
// restore is a write of the store like a set, made under the machine-wide
// mutex with the change sequence odd (StoreWrite), so that no cache in any
// process serves a record it replaced once it has returned.
#include "internal.h"

namespace {

const char* YesNo(int flag) {
  return flag ? "yes" : "no";
}

}  // namespace

extern "C" KXENV_API int KXsaveenv(const char* file, int replace) {
  return Guarded("KXsaveenv", -1, [&] {
    SetTraceStringA(kTraceComponent, "KXsaveenv: file=%s, replace=%s.\n",
                    file ? file : "(null)", YesNo(replace));
    return SaveRegistry(HKEY_LOCAL_MACHINE, kStoreKey, file, replace) ? 0 : -1;
  });
}

extern "C" KXENV_API int KXrestoreenv(const char* file, int replace) {
  return Guarded("KXrestoreenv", -1, [&] {
    SetTraceStringA(kTraceComponent, "KXrestoreenv: file=%s, replace=%s.\n",
                    file ? file : "(null)", YesNo(replace));
    // A store the library cannot use is restored all the same; the first
    // call also starts the store's journal, so a restore into a new store
    // is recorded too.
    Initialize();
    StoreWrite write;
    return RestoreRegistry(HKEY_LOCAL_MACHINE, kStoreKey, file, replace) ? 0
                                                                         : -1;
  });
}
