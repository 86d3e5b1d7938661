// Writing a record's text into a profile file on Linux.
#include "platform/profile_text.h"

BOOL WriteProfileText(const char* section, const char* key,
                      const std::string& text, const std::string& path) {
  return WritePrivateProfileStringA(section, key, text.c_str(), path.c_str());
}
