// Declarations shared by the files of zrnapi01. Nothing here is exported.
#pragma once

#include <cstdarg>
#include <string>

#include "zrnapi/zrnapi.h"

namespace zrnapi {

// The component name of this library's own trace lines.
constexpr const char kComponent[] = "ZRNAPI01";

// messages.cpp: records the text of a failure for the calling thread's
// GetMsgString and, unless `quiet`, writes it as a trace line too.
void RecordFailure(bool quiet, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// A printf-style text made whole.
std::string FormatText(const char* format, va_list arguments);
// The text of a Win32 error code ("<text> (code N)").
std::string ErrorText(DWORD code);

}  // namespace zrnapi
