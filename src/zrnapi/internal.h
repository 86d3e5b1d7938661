// Declarations shared by the files of zrnapi01. Nothing here is exported.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "holders.h"
#include "win32_extra.h"
#include "zrnapi/zrnapi.h"

namespace zrnapi {

// The component name of this library's own trace lines.
constexpr const char kComponent[] = "ZRNAPI01";

// messages.cpp: records the text of a failure for the calling thread's
// GetMsgString and, unless `quiet`, writes it as a trace line too.
void RecordFailure(bool quiet, const char* format, ...)
    __attribute__((format(ZRNAPI_PRINTF, 2, 3)));
// A printf-style text made whole.
std::string FormatText(const char* format, va_list arguments);
// The text of a Win32 error code ("<text> (code N)").
std::string ErrorText(DWORD code);

// Runs an exported function's body; no exception leaves the library. One
// that comes (memory ran out) is recorded and traced as "<name>: out of
// memory" and gives `failure`.
template <typename Result, typename Body>
Result Guarded(const char* name, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    RecordFailure(false, "%s: out of memory", name);
    return failure;
  }
}

// A thread's message frames: the top one holds the current failure text.
struct MessageStack {
  std::vector<std::string> frames{std::string()};
  size_t overflow = 0;  // pushes beyond the deepest frame not yet popped
};

// ---- platform/message_stack_<platform>.cpp: the calling thread's stack,
// made at its first use and deleted when the thread ends.
MessageStack& ThreadStack();

// ---- platform/trace_file_<platform>.cpp: appends a whole trace line to
// the file at `path`, so that lines of several threads and processes never
// interleave or overwrite each other.
void AppendToFile(const std::string& path, const std::string& line);

// ---- platform/locale_<platform>.cpp: the directory of the installed
// locale modules, found from this library's own file name.
std::string InstalledLocaleDirectory(std::string module_path);

// A registry transaction: rolled back unless it was committed, and closed,
// on every way out. The handle stays null when none was begun. A joined
// transaction is the caller's: it is neither committed, rolled back nor
// closed here.
struct TransactionHolder {
  HANDLE handle = nullptr;
  bool committed = false;
  bool joined = false;
  kx::UniqueHandle begun;  // the one begun here
  TransactionHolder() = default;
  ~TransactionHolder() {
    if (begun && !committed) RollbackTransaction(begun.get());
  }
  // Joins the caller's transaction, if it gave one.
  bool Join(HANDLE given) {
    handle = given;
    return joined = given != nullptr;
  }
  // Begins the transaction (CreateOptions as CreateTransaction takes
  // them); false, with the last error set, when none can be had.
  bool Begin(DWORD options = 0) {
    HANDLE made =
        CreateTransaction(nullptr, nullptr, options, 0, 0, 0, nullptr);
    if (made == INVALID_HANDLE_VALUE) return false;
    begun.reset(made);
    handle = made;
    return true;
  }
  // Commits; a failure leaves the last error set.
  bool Commit() {
    return committed = joined || CommitTransaction(handle) != FALSE;
  }
};

}  // namespace zrnapi
