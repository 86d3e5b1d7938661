// Writing a record's text into a profile file on Windows.
#include "platform/profile_text.h"

// Windows' ANSI call takes its value through a counted string of at most
// 32767 characters (Wine's cuts a longer one short and still reports
// success), while a record's text may be twice as long. The text is ASCII,
// so the wide call writes the same bytes, whatever the file's encoding.
BOOL WriteProfileText(const char* section, const char* key,
                      const std::string& text, const std::string& path) {
  auto wide = [](const char* ansi) {
    int size = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    std::wstring converted(size > 0 ? size : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, converted.data(), size);
    return converted;
  };
  std::wstring value(text.begin(), text.end());
  return WritePrivateProfileStringW(wide(section).c_str(), wide(key).c_str(),
                                    value.c_str(), wide(path.c_str()).c_str());
}
