// The Win32 names beyond <windows.h> that the libraries use: transactions
// (KtmW32, the registry's transacted calls found at run time) and the
// multibyte string comparisons of the C runtime.
#pragma once

// <ktmw32.h> uses the types of <windows.h>.
// clang-format off
#include <windows.h>
#include <ktmw32.h>
#include <mbstring.h>
// clang-format on

#include "transacted.h"

// The loader calls DllMain itself; kxwin's hook for Linux names the
// library's entry function instead.
#define KXWIN_DLL_ENTRY_POINT(entry)                             \
  extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, \
                                 LPVOID reserved) {              \
    return entry(module, reason, reserved);                      \
  }

// kxwin's read-only transaction lets readers share one snapshot; a KTM
// transaction has no such option, so on Windows a reader's transaction is
// an ordinary one (the same snapshot, without the sharing).
#define KXWIN_TRANSACTION_READ_ONLY 0u

// Windows has no call that reads several values of a subkey, nor one that
// passes over the missing ones: a subkey's read is refused, so the caller
// opens the key, and the strict call fails when a value is missing, so the
// caller reads them one at a time.
inline LSTATUS KxwinQueryPresentValues(HKEY key, LPCSTR sub_key, PVALENTA list,
                                       DWORD count, LPSTR buffer,
                                       LPDWORD total) {
  if (sub_key && *sub_key) return ERROR_NOT_SUPPORTED;
  return RegQueryMultipleValuesA(key, list, count, buffer, total);
}

// Windows keeps named objects in the kernel: no objects file can be at
// fault, so a failed CreateMutexA is reported as itself.
inline DWORD KxwinObjectsFile(LPSTR path, DWORD size) {
  if (size) path[0] = '\0';
  return ERROR_SUCCESS;
}

// The registry keeps no journal of its changes on Windows (docs/windows.md,
// "The change journal"): the library's naming of its key does nothing.
inline DWORD KxwinJournalKey(LPCSTR, LPCSTR) {
  return ERROR_NOT_SUPPORTED;
}
