// The transacted registry calls, found at run time.
//
// Windows has RegOpenKeyTransactedA and RegCreateKeyTransactedA since
// Vista; Wine (8.0) exports no RegOpenKeyTransactedA at all, and a call
// through an import the loader could not bind ends the process. So each
// module looks both up in advapi32 at its first use. Without both, every
// registry call is a plain one (RegOpenKeyExA, RegCreateKeyExA): each
// write is then atomic by itself, but the writes of one transaction are
// not atomic together, and no snapshot isolates a reader. That is traced
// once per module, through the trace its upper layer names at load
// (KXWIN_TRACE_TRANSACTED_FALLBACK; this floor calls nothing above it), and
// KxwinRegistryTransactions() tells tests that check atomicity to skip.
#pragma once

// <ktmw32.h> uses the types of <windows.h>.
// clang-format off
#include <windows.h>
#include <ktmw32.h>
// clang-format on

// The trace of the module that includes this header: a printf-like call
// with a component and a format. Null until the module names one (a test
// program of this layer names none, and then nothing is said).
using KxwinTraceCall = void (*)(const char* component, const char* format, ...);
inline KxwinTraceCall& KxwinTransactedTrace() {
  static KxwinTraceCall trace = nullptr;
  return trace;
}

// Names `trace` for this module when it is loaded, before any registry
// call can look the transacted calls up: one use at namespace scope in one
// source file of each module.
#define KXWIN_TRACE_TRANSACTED_FALLBACK(trace)                  \
  [[maybe_unused]] static const bool kxwin_transacted_traced_ = \
      (KxwinTransactedTrace() = (trace), true)

struct KxwinTransactedCalls {
  decltype(&RegOpenKeyTransactedA) open = nullptr;
  decltype(&RegCreateKeyTransactedA) create = nullptr;
};

// One lookup per module (the local static), the fallback traced with it.
inline const KxwinTransactedCalls& KxwinFindTransactedCalls() {
  static const KxwinTransactedCalls calls = [] {
    KxwinTransactedCalls found;
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi) {
      found.open =
          reinterpret_cast<decltype(found.open)>(reinterpret_cast<void*>(
              GetProcAddress(advapi, "RegOpenKeyTransactedA")));
      found.create =
          reinterpret_cast<decltype(found.create)>(reinterpret_cast<void*>(
              GetProcAddress(advapi, "RegCreateKeyTransactedA")));
    }
    // Half a pair would make some calls transacted and others not.
    if (!found.open || !found.create) {
      found = {};
      if (KxwinTraceCall trace = KxwinTransactedTrace()) {
        trace("KXWIN",
              "advapi32 has no transacted registry calls: each registry "
              "call commits by itself\n");
      }
    }
    return found;
  }();
  return calls;
}

// True when several registry calls can be made atomic together.
inline bool KxwinRegistryTransactions() {
  return KxwinFindTransactedCalls().open != nullptr;
}

inline LSTATUS KxwinRegOpenKeyTransactedA(HKEY parent, LPCSTR sub_key,
                                          DWORD options, REGSAM access,
                                          PHKEY key, HANDLE transaction,
                                          PVOID reserved) {
  auto open = KxwinFindTransactedCalls().open;
  if (!open) return RegOpenKeyExA(parent, sub_key, options, access, key);
  return open(parent, sub_key, options, access, key, transaction, reserved);
}

inline LSTATUS KxwinRegCreateKeyTransactedA(
    HKEY parent, LPCSTR sub_key, DWORD reserved, LPSTR class_name,
    DWORD options, REGSAM access, const LPSECURITY_ATTRIBUTES security,
    PHKEY key, LPDWORD disposition, HANDLE transaction, PVOID extended) {
  auto create = KxwinFindTransactedCalls().create;
  if (!create) {
    return RegCreateKeyExA(parent, sub_key, reserved, class_name, options,
                           access, security, key, disposition);
  }
  return create(parent, sub_key, reserved, class_name, options, access,
                security, key, disposition, transaction, extended);
}

// Every caller goes through the lookup, unchanged.
#define RegOpenKeyTransactedA KxwinRegOpenKeyTransactedA
#define RegCreateKeyTransactedA KxwinRegCreateKeyTransactedA
