// System information: the locale's date format as a Windows date picture,
// the user's and the computer's names, and the two stock fonts.
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "font.h"
#include "internal.h"

namespace kxwin {
namespace {

// GetComputerNameA's "buffer too small"; kxwin.h does not define it.
// LCType bits that change nothing here: user overrides do not exist on
// Linux, and the text is UTF-8 whatever code page is asked for.
constexpr LCTYPE kLocaleNoUserOverride = 0x80000000u;
constexpr LCTYPE kLocaleUseCpAcp = 0x40000000u;

// ---- Date format

// The LC_TIME locale that the environment names now, else "C".
class TimeLocale {
 public:
  TimeLocale() : locale_(newlocale(LC_TIME_MASK, "", nullptr)) {
    if (!locale_) locale_ = newlocale(LC_TIME_MASK, "C", nullptr);
  }
  ~TimeLocale() {
    if (locale_) freelocale(locale_);
  }
  TimeLocale(const TimeLocale&) = delete;
  TimeLocale& operator=(const TimeLocale&) = delete;
  locale_t get() const { return locale_; }

 private:
  locale_t locale_;
};

// A Windows date picture being written. Windows reads every ASCII letter
// outside quotes as a picture element, so literal letters go between single
// quotes, where a quote itself is written twice.
struct Picture {
  std::string text;
  bool quoted = false;

  void Literal(char c) {
    bool needs_quotes =
        c == '\'' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (needs_quotes != quoted) {
      text += '\'';
      quoted = needs_quotes;
    }
    text += c == '\'' ? "''" : std::string(1, c);
  }
  void Element(const char* element) {
    if (quoted) text += '\'';
    quoted = false;
    text += element;
  }
};

// The picture of a strftime conversion; null for one without a date
// picture (times, week and day numbers, ...), which is left out.
const char* PictureOf(char conversion, bool unpadded) {
  switch (conversion) {
    case 'd':
      return unpadded ? "d" : "dd";
    case 'e':
      return "d";
    case 'm':
      return unpadded ? "M" : "MM";
    case 'y':
      return "yy";
    case 'Y':
      return "yyyy";
    case 'b':
    case 'h':
      return "MMM";
    case 'B':
      return "MMMM";
    case 'a':
      return "ddd";
    case 'A':
      return "dddd";
    case 'D':
      return "MM/dd/yy";
    case 'F':
      return "yyyy-MM-dd";
    default:
      return nullptr;
  }
}

// Skips a conversion's flags, width and E/O modifier (alternative eras and
// digits have no picture of their own); returns the conversion's index.
size_t ConversionAt(std::string_view format, size_t i, bool* unpadded) {
  *unpadded = false;
  while (i < format.size() &&
         std::string_view("_-0^#").find(format[i]) != std::string_view::npos) {
    *unpadded |= format[i] == '-';
    ++i;
  }
  while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i;
  if (i < format.size() && (format[i] == 'E' || format[i] == 'O')) ++i;
  return i;
}

// Translates a strftime date format; %x stands for `d_fmt`, expanded once
// only so that a format naming itself cannot loop.
void Translate(std::string_view format, std::string_view d_fmt, bool expand_x,
               Picture* out) {
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out->Literal(format[i]);
      continue;
    }
    bool unpadded;
    size_t at = ConversionAt(format, i + 1, &unpadded);
    if (at >= format.size()) {  // a '%' that ends the format stays literal
      out->Literal('%');
      return;
    }
    i = at;
    char conversion = format[at];
    if (conversion == '%') {
      out->Literal('%');
    } else if (conversion == 'x') {
      if (expand_x) Translate(d_fmt, d_fmt, false, out);
    } else if (const char* element = PictureOf(conversion, unpadded)) {
      out->Element(element);
    }
  }
}

// The short date format of LC_TIME as a Windows picture. POSIX has no long
// date format, so the long date is the same picture.
std::string DatePicture() {
  TimeLocale locale;
  if (!locale.get()) throw std::bad_alloc();
  std::string d_fmt = nl_langinfo_l(D_FMT, locale.get());
  Picture picture;
  Translate(d_fmt, d_fmt, true, &picture);
  if (picture.quoted) picture.text += '\'';
  return picture.text;
}

// The language of messages that the environment names (LC_ALL, then
// LC_MESSAGES, then LANG), as an ISO 639 code: "de_DE.UTF-8" gives "de".
// Without one, or with the C locale, it is English.
std::string MessageLanguage() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value || !*value) continue;
    std::string_view name = value;
    name = name.substr(0, name.find_first_of("_.@"));
    if (name == "C" || name == "POSIX" || name.empty()) break;
    return std::string(name);
  }
  return "en";
}

// The text of one locale item.
std::string LocaleItem(LCTYPE what) {
  if (what == LOCALE_SISO639LANGNAME) return MessageLanguage();
  return DatePicture();
}

bool IsDefaultLocale(LCID locale) {
  return locale == 0 || locale == LOCALE_SYSTEM_DEFAULT ||
         locale == LOCALE_USER_DEFAULT;
}

// ---- User and computer names

std::string LookUpUserName(uid_t uid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc == 0 && found && found->pw_name && *found->pw_name) {
      return found->pw_name;
    }
    break;
  }
  // A uid without a passwd entry (containers often have one).
  for (const char* variable : {"USER", "LOGNAME"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return value;
  }
  return std::to_string(uid);
}

// The name of the effective user, looked up in the password database once
// per process and again only when the effective user changed: a lookup
// costs as much as a store write.
OwnedMutex user_name_lock{LockRank::kLeaf};

std::string EffectiveUserName() {
  static uid_t cached_uid;
  static std::string& cached_name = *new std::string;  // outlives exit
  uid_t uid = geteuid();
  {
    std::lock_guard guard(user_name_lock);
    if (!cached_name.empty() && cached_uid == uid) return cached_name;
  }
  // Looked up without the lock, which a fork must never find held long.
  std::string name = LookUpUserName(uid);
  std::lock_guard guard(user_name_lock);
  cached_name = name;
  cached_uid = uid;
  return name;
}

// The host name up to its first '.'; sets the last error on failure.
std::optional<std::string> ShortHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    Fail(ErrorFromErrno(errno));
    return std::nullopt;
  }
  std::string host = name;
  return host.substr(0, host.find('.'));
}

// ---- Stock fonts

// Small tagged numbers, never addresses, like kxwin's other handles.
constexpr uintptr_t kStockObjectTag = 0x57000;

HGDIOBJ StockHandle(int index) {
  return reinterpret_cast<HGDIOBJ>(kStockObjectTag |
                                   static_cast<uintptr_t>(index));
}

bool IsStockFont(HGDIOBJ object) {
  return object == StockHandle(SYSTEM_FONT) ||
         object == StockHandle(DEFAULT_GUI_FONT);
}

// Cut to LF_FACESIZE - 1 bytes, and back to the start of a UTF-8 character
// so that the name stays valid text.
void CopyFaceName(const std::string& family, CHAR* face) {
  size_t length = std::min(family.size(), size_t{LF_FACESIZE - 1});
  if (length < family.size()) {
    while (length > 0 && (family[length] & 0xC0) == 0x80) --length;
  }
  std::memcpy(face, family.data(), length);
  face[length] = '\0';
}

LOGFONTA StockFont(HGDIOBJ object) {
  LOGFONTA font{};
  font.lfHeight = 16;
  font.lfWeight = object == StockHandle(SYSTEM_FONT) ? 700 : 400;
  font.lfCharSet = 0;  // ANSI_CHARSET
  CopyFaceName(SystemFontFamily(), font.lfFaceName);
  return font;
}

}  // namespace

OwnedMutex& UserNameLock() {
  return user_name_lock;
}

}  // namespace kxwin

using namespace kxwin;

int GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int size) {
  return Guarded<int>(0, [&]() -> int {
    if (!IsDefaultLocale(locale) || size < 0 || (size > 0 && !data)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    LCTYPE what = type & ~(kLocaleNoUserOverride | kLocaleUseCpAcp);
    if (what != LOCALE_SSHORTDATE && what != LOCALE_SLONGDATE &&
        what != LOCALE_SISO639LANGNAME) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    std::string picture = LocaleItem(what);
    int needed = static_cast<int>(picture.size() + 1);
    if (size == 0) return needed;
    if (size < needed) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(data, picture.c_str(), picture.size() + 1);
    return needed;
  });
}

BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (!size) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::string name = EffectiveUserName();
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    // A null buffer of size 0 is the usual way to ask for the size.
    if (*size < needed) {
      *size = needed;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::memcpy(buffer, name.c_str(), needed);
    *size = needed;
    return TRUE;
  });
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (!size) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::optional<std::string> name = ShortHostName();
    if (!name) return FALSE;
    DWORD needed = static_cast<DWORD>(name->size() + 1);
    if (*size < needed) {
      *size = needed;
      SetLastError(ERROR_BUFFER_OVERFLOW);
      return FALSE;
    }
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::memcpy(buffer, name->c_str(), needed);
    *size = needed - 1;  // on success, without the terminator
    return TRUE;
  });
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* value = std::getenv(name);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  size_t length = std::strlen(value);
  if (!buffer || length + 1 > size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  return static_cast<DWORD>(length);
}

HGDIOBJ GetStockObject(int index) {
  if (index == SYSTEM_FONT || index == DEFAULT_GUI_FONT) {
    return StockHandle(index);
  }
  // Brushes, pens and the other fonts exist on Windows but not here.
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}

int GetObjectA(HGDIOBJ object, int size, LPVOID buffer) {
  return Guarded<int>(0, [&]() -> int {
    if (!IsStockFont(object)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    if (!buffer) return static_cast<int>(sizeof(LOGFONTA));
    if (size < 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    // As on Windows, a smaller buffer gets the structure's first bytes.
    size_t count = std::min(static_cast<size_t>(size), sizeof(LOGFONTA));
    LOGFONTA font = StockFont(object);
    std::memcpy(buffer, &font, count);
    return static_cast<int>(count);
  });
}
