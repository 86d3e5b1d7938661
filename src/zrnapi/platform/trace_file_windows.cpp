// Appending a trace line to a file on Windows.
#include <windows.h>

#include <string>

#include "internal.h"

namespace zrnapi {

// The C runtime's append mode seeks to the end and then writes, so that two
// writers can put their lines at one offset; a handle that may only append
// data writes each line at the end whole, with '\n' as on Linux. Wine finds
// the end and then writes even there, so writers also take turns by a lock
// on a byte far beyond any end (a lock stops readers of the bytes it covers).
void AppendToFile(const std::string& path, const std::string& line) {
  kx::UniqueHandle file(
      CreateFileA(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  OVERLAPPED far_byte{};
  far_byte.OffsetHigh = 0x7fffffff;
  BOOL locked =
      LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &far_byte);
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
  if (locked) UnlockFileEx(file.get(), 0, 1, 0, &far_byte);
}

}  // namespace zrnapi
