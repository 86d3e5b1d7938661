// Message markers: "%s<n>" or "%S<n>" names message n of the locale module.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "table.h"

unsigned long FindMsgMarker(const char* text, std::size_t* prefix,
                            const char** rest) {
  if (!text) return 0;
  // The lower-case form wins even when an upper-case one comes earlier.
  const char* marker = std::strstr(text, "%s<");
  if (!marker) marker = std::strstr(text, "%S<");
  if (!marker) return 0;
  const char* digits = marker + 3;
  // Only digits count: strtoul would also take blanks and a sign.
  if (*digits < '0' || *digits > '9') return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long number = std::strtoul(digits, &end, 10);
  // Message numbers are 32-bit; a longer number is no marker.
  if (errno == ERANGE || number > 0xFFFFFFFFul) return 0;
  if (number == 0 || *end != '>') return 0;
  if (prefix) *prefix = static_cast<std::size_t>(marker - text);
  if (rest) *rest = end + 1;
  return number;
}
