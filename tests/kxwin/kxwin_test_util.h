// Small holders and helpers for the tests of kxwin and zrnapi01.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "holders.h"
#include "kxwin/kxwin.h"
#include "testing.h"

namespace kxtest {

// Whether the calls under test are kxwin's rather than Windows' own: for
// checks of what only kxwin promises.
#ifdef _WIN32
constexpr bool kKxwin = false;
#else
constexpr bool kKxwin = true;
#endif

// The shared holders, handed to the calls under test as the raw key or
// handle they hold.
struct Key : kx::UniqueKey {
  using Holder::Holder;
  operator HKEY() const { return get(); }
};
struct Handle : kx::UniqueHandle {
  using Holder::Holder;
  operator HANDLE() const { return get(); }
};

// An unnamed event.
inline HANDLE MakeEvent(BOOL manual_reset = TRUE, BOOL signalled = FALSE) {
  return CreateEventA(nullptr, manual_reset, signalled, nullptr);
}

// The loaded object that holds `address`, or null.
inline HMODULE ModuleOf(const void* address, DWORD flags = 0) {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                     static_cast<LPCSTR>(address), &module);
  return module;
}

// Creates or opens the key below `parent`.
inline LSTATUS CreateKey(const std::string& path, HKEY* out,
                         REGSAM access = KEY_ALL_ACCESS,
                         DWORD* disposition = nullptr,
                         HKEY parent = HKEY_LOCAL_MACHINE) {
  return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, access, nullptr,
                         out, disposition);
}

inline LSTATUS OpenKey(const std::string& path, HKEY* out,
                       HKEY parent = HKEY_LOCAL_MACHINE) {
  return RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, out);
}

// The status, then the numbers of subkeys and values and the longest value
// name and data.
inline std::vector<DWORD> KeyInfo(HKEY key) {
  DWORD subkeys = 0, values = 0, name = 0, data = 0;
  LSTATUS status =
      RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                       nullptr, &values, &name, &data, nullptr, nullptr);
  return {static_cast<DWORD>(status), subkeys, values, name, data};
}

// The REG_DWORD value, or nothing.
inline std::optional<DWORD> GetDword(HKEY key, const char* name) {
  DWORD value = 0, size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&value), &size)) {
    return std::nullopt;
  }
  return value;
}

inline LSTATUS SetText(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// The REG_SZ value, or "<error N>".
inline std::string GetText(HKEY key, const char* name) {
  char buffer[1024];
  DWORD size = sizeof buffer;
  LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(buffer), &size);
  if (status != ERROR_SUCCESS) return "<error " + std::to_string(status) + ">";
  return std::string(buffer, size ? size - 1 : 0);
}

}  // namespace kxtest
