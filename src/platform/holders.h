// Holders of the resources that every layer closes: a registry key, a
// handle and a C stdio file, each released by its destructor on every way
// out. One holder per kind, here, so that there is one place where each is
// closed and none where one is closed twice: a holder moves but never
// copies. kxwin's file descriptors use the same Holder (src/kxwin/internal.h).
//
// Header-only, compiled against kxwin's declarations on Linux and against
// <windows.h> on Windows. It is part of the build tree only (the libraries,
// the tool and the tests include it); it is not installed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <utility>

#include "win32_extra.h"

namespace kx {

// The predefined root keys (HKEY_CLASSES_ROOT up to
// HKEY_PERFORMANCE_NLSTEXT) belong to the system: RegCloseKey never closes
// them, so neither does a holder. Counted from HKEY_CLASSES_ROOT so that
// the 64-bit Windows headers, which sign-extend the values, agree.
inline bool IsPredefinedKey(HKEY key) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
  return reinterpret_cast<uintptr_t>(key) - first <= 0x60u;
}

// What a holder holds: `kNone` is the value of an empty holder, `Empty`
// says a value is none, `Close` releases one.
struct KeyTraits {
  static constexpr HKEY kNone = nullptr;
  static bool Empty(HKEY key) { return key == nullptr; }
  static void Close(HKEY key) {
    if (!IsPredefinedKey(key)) RegCloseKey(key);
  }
};
// Win32 marks a missing handle with null or with INVALID_HANDLE_VALUE,
// depending on the call; both mean none.
struct HandleTraits {
  static constexpr HANDLE kNone = nullptr;
  static bool Empty(HANDLE handle) {
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
  }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
struct FileTraits {
  static constexpr FILE* kNone = nullptr;
  static bool Empty(FILE* file) { return file == nullptr; }
  static int Close(FILE* file) { return std::fclose(file); }
};

// One resource of type T, closed by Traits::Close when the holder goes or
// is given another. Moving passes the resource on; copying is refused.
template <typename T, typename Traits>
class Holder {
 public:
  Holder() = default;
  explicit Holder(T value) noexcept : value_(value) {}
  Holder(Holder&& other) noexcept : value_(other.release()) {}
  Holder& operator=(Holder&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return !Traits::Empty(value_); }
  // Closes what is held and gives the place for a call's out parameter
  // (RegOpenKeyExA(parent, name, 0, access, key.out())).
  T* out() noexcept {
    reset();
    return &value_;
  }
  // Gives the resource up to the caller, who closes it.
  T release() noexcept { return std::exchange(value_, Traits::kNone); }
  // Closes what is held and holds `value` instead.
  void reset(T value = Traits::kNone) noexcept {
    T old = std::exchange(value_, value);
    if (!Traits::Empty(old)) Traits::Close(old);
  }
  // Closes now, while something is held, and gives what closing says
  // (fclose's 0 when every byte was written).
  auto close() noexcept { return Traits::Close(release()); }

 private:
  T value_ = Traits::kNone;
};

// A registry key (RegCloseKey; a predefined key is held but never closed).
using UniqueKey = Holder<HKEY, KeyTraits>;
// A handle (CloseHandle; null and INVALID_HANDLE_VALUE are none).
using UniqueHandle = Holder<HANDLE, HandleTraits>;
// A C stdio file (fclose); close() tells whether buffered data was written.
using UniqueFile = Holder<FILE*, FileTraits>;

}  // namespace kx
