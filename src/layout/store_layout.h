// The store's format, named in one place: the keys below
// HKEY_LOCAL_MACHINE where variables, options and applications live, the
// value names of a variable key, the machine-wide mutex that every writer of
// the store owns, what may be one key name, and the one fold that spells a
// name as records carry it. libkxenv, the tool and the fleet agent take all
// of it from here; none of them restates a key path, a value name or the
// mutex's name. Only Win32 (kxwin on Linux) lies below it.
//
//   <kStoreKey> = Software\Norvane\KX-Orrery\CurrentVersion\Components\COM\ENV
//     APP\<application>      Description; membership keys ENV and OPT with
//                            one empty value per member variable
//     ENV\<variable>         the definition values and Local, Global
//     OPT\<option>           the definition values and Local
//   ...\Components\COM\SYNC  the fleet agent's own state, outside the key
//                            the library watches
#pragma once

#include <cstddef>
#include <string>

#include "win32_extra.h"

namespace kx::layout {

#define KX_LAYOUT_PRODUCT "Software\\Norvane\\KX-Orrery\\CurrentVersion"
#define KX_LAYOUT_STORE KX_LAYOUT_PRODUCT "\\Components\\COM\\ENV"

// The product's key, where legacy values may also lie.
inline constexpr char kProductKey[] = KX_LAYOUT_PRODUCT;
// The store key: every class key lies below it, and the library's watcher
// watches it whole.
inline constexpr char kStoreKey[] = KX_LAYOUT_STORE;
inline constexpr char kAppKey[] = KX_LAYOUT_STORE "\\APP";
inline constexpr char kEnvKey[] = KX_LAYOUT_STORE "\\ENV";
inline constexpr char kOptKey[] = KX_LAYOUT_STORE "\\OPT";
inline constexpr char kSyncKey[] = KX_LAYOUT_PRODUCT "\\Components\\COM\\SYNC";

#undef KX_LAYOUT_STORE
#undef KX_LAYOUT_PRODUCT

// The class keys below the store key; an application's membership keys
// below its own key carry the same names.
inline constexpr char kAppClass[] = "APP";
inline constexpr char kEnvClass[] = "ENV";
inline constexpr char kOptClass[] = "OPT";

// The machine-wide mutex: owned across every write of the store, so that a
// cached read under it never meets half a change.
inline constexpr char kMutexName[] = "KX.COMMON.KXENV2.ENV.TAB.MUTEX";

// The values of a variable key. A definition is every one of them but the
// four that sets write (Local, Global, LastUser, TimeStamp).
inline constexpr char kDefault[] = "Default";
inline constexpr char kLocal[] = "Local";
inline constexpr char kGlobal[] = "Global";
inline constexpr char kApp[] = "App";
inline constexpr char kChoices[] = "Choices";
inline constexpr char kChoiceType[] = "ChoiceType";
inline constexpr char kDataType[] = "DataType";
inline constexpr char kLastUser[] = "LastUser";
inline constexpr char kReadOnly[] = "ReadOnly";
inline constexpr char kSensitive[] = "Sensitive";
inline constexpr char kDescription[] = "Description";
inline constexpr char kMaxSize[] = "MaxSize";
inline constexpr char kTimeStamp[] = "TimeStamp";

// Key paths are built in buffers of this size, terminator included.
inline constexpr size_t kKeyPathSize = MAX_PATH;
// The longest variable or option name whose key path fits.
inline constexpr size_t kMaxNameLength = kKeyPathSize - sizeof kEnvKey - 1;
static_assert(sizeof kEnvKey == sizeof kOptKey);

// True when `name` can be one key name below a class or application key:
// not empty (that would name the class key itself), no backslash (another
// key) and no control character (a line break above all: no save file
// could carry it).
inline bool IsKeyNameText(const char* name) {
  if (!name || *name == '\0') return false;
  for (const char* c = name; *c; ++c) {
    auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7f || byte == '\\') return false;
  }
  return true;
}

// A name as records spell it: upper case by the platform's multibyte fold
// (UTF-8 aware on Linux), in place.
inline void FoldName(char* name) {
  _mbsupr(reinterpret_cast<unsigned char*>(name));
}
inline std::string FoldedName(std::string name) {
  FoldName(name.data());
  return name;
}

}  // namespace kx::layout
