// Writing a record's text into a profile file, which differs by platform
// (platform/profile_text_<platform>.cpp).
#pragma once

#include <string>

#include "win32_extra.h"

// Writes `text` as the value of `key` in `section` of the profile at
// `path`; FALSE when the profile call fails.
BOOL WriteProfileText(const char* section, const char* key,
                      const std::string& text, const std::string& path);
