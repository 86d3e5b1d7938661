// Saving the variable store to a file and loading it back. Both are thin:
// the support library owns the file format, the copy and the meaning of
// the replace flag. Neither needs the library's own state (no first-call
// initialisation, no machine-wide mutex, no cache): a restored store is
// announced to every process by the store's change notification.
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
    JournalStore();  // a first restore into a new store is journalled too
    return RestoreRegistry(HKEY_LOCAL_MACHINE, kStoreKey, file, replace) ? 0
                                                                         : -1;
  });
}
