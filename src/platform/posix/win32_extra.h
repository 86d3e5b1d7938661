// The Win32 names beyond <windows.h> that the libraries use: on Linux kxwin
// declares them all.
#pragma once
#include <kxwin/kxwin.h>

// kxwin's registry always has transactions (see transacted.h on Windows).
inline bool KxwinRegistryTransactions() {
  return true;
}
// ... so there is no fallback to trace (transacted.h on Windows).
#define KXWIN_TRACE_TRANSACTED_FALLBACK(trace) static_assert(true)
