// On Windows the store is the registry itself: what can be wrong with it
// for this tool is mostly a user who may not write HKEY_LOCAL_MACHINE. The
// probe opens HKEY_LOCAL_MACHINE\Software for reading or for writing, which
// writes nothing and fires no watch.
#include <windows.h>

#include <cstdlib>

#include "holders.h"
#include "store.h"

namespace kxtool {
namespace {

constexpr char kKey[] = "Software";

std::string SystemText(LSTATUS status) {
  char text[512];
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
  while (length && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                    text[length - 1] == '.')) {
    --length;
  }
  return std::string(text, length);
}

}  // namespace

std::string StoreTrouble(bool write) {
  kx::UniqueKey key;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0,
                                 write ? KEY_WRITE : KEY_READ, key.out());
  if (status == ERROR_SUCCESS) return "";
  std::string what =
      std::string("the registry key HKEY_LOCAL_MACHINE\\") + kKey + " ";
  if (status == ERROR_ACCESS_DENIED) {
    return what + "is read-only to this user (an administrator may write it)";
  }
  return what + "cannot be used: " + SystemText(status) + " (error " +
         std::to_string(status) + ")";
}

// The stand-in gets the Software key that HKEY_LOCAL_MACHINE always has,
// so that the probe above finds it. The override keeps its own copy of
// the key's handle.
std::string UseChosenStore() {
  const char* name = std::getenv("KX_REGISTRY");
  if (!name || !*name) return "";
  kx::UniqueKey key, software;
  LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegCreateKeyExA(key.get(), kKey, 0, nullptr, 0, KEY_READ, nullptr,
                             software.out(), nullptr);
  }
  if (status == ERROR_SUCCESS) {
    status = RegOverridePredefKey(HKEY_LOCAL_MACHINE, key.get());
  }
  if (status == ERROR_SUCCESS) return "";
  return std::string("the store HKEY_CURRENT_USER\\") + name +
         " that KX_REGISTRY names cannot be used: " + SystemText(status) +
         " (error " + std::to_string(status) + ")";
}

}  // namespace kxtool
