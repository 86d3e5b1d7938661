// Case folding of UTF-8 text, independent of the caller's locale.
//
// Names in the store and in the libraries above are compared by upper-casing
// each character with the Unicode mapping of the C.UTF-8 locale. A
// character whose upper case would have another encoded length, and every
// byte that is not part of valid UTF-8, is left as it is; folding therefore
// never changes a text's length, and byte offsets stay valid across it.
#include <locale.h>
#include <wctype.h>

#include <cstring>

#include "internal.h"

namespace kxwin {
namespace {

locale_t UnicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  return locale;
}

// Decodes one UTF-8 character; returns its length, 0 when the bytes at `p`
// are not a valid, shortest-form encoding.
size_t DecodeUtf8(const unsigned char* p, size_t n, char32_t* out) {
  unsigned char lead = p[0];
  size_t length;
  char32_t cp;
  if (lead < 0x80) {
    *out = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07;
  } else {
    return 0;
  }
  if (length > n) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[length] || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  *out = cp;
  return length;
}

size_t EncodedLength(char32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

void EncodeUtf8(char32_t cp, size_t length, unsigned char* out) {
  if (length == 1) {
    out[0] = static_cast<unsigned char>(cp);
    return;
  }
  static constexpr unsigned char kLeadMark[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t i = length - 1; i > 0; --i) {
    out[i] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<unsigned char>(kLeadMark[length] | cp);
}

// The upper case of each ASCII byte (only the first 128 entries are used).
constexpr auto kAsciiUpper = [] {
  struct Table {
    unsigned char upper[128];
    constexpr unsigned char operator[](unsigned char c) const {
      return upper[c];
    }
  } table{};
  for (int c = 0; c < 128; ++c) {
    table.upper[c] =
        static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return table;
}();

// Folds the character at `p` into `out` (at least 4 bytes); returns the
// number of bytes consumed, which equals the number written.
size_t FoldChar(const unsigned char* p, size_t n, unsigned char* out) {
  if (p[0] < 0x80) {
    out[0] = (p[0] >= 'a' && p[0] <= 'z') ? p[0] - 'a' + 'A' : p[0];
    return 1;
  }
  char32_t cp;
  size_t length = DecodeUtf8(p, n, &cp);
  if (length == 0) {
    out[0] = p[0];
    return 1;
  }
  locale_t locale = UnicodeLocale();
  char32_t upper =
      locale
          ? static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), locale))
          : cp;
  if (EncodedLength(upper) == length) {
    EncodeUtf8(upper, length, out);
  } else {
    std::memcpy(out, p, length);
  }
  return length;
}

// Walks the folded form of a text one character at a time.
struct FoldedCursor {
  const unsigned char* p;
  size_t left;
  unsigned char folded[4];
  size_t folded_length = 0;
  size_t folded_pos = 0;

  // Next folded byte, or -1 at the end.
  int Next() {
    if (folded_pos == folded_length) {
      if (left == 0) return -1;
      folded_length = FoldChar(p, left, folded);
      p += folded_length;
      left -= folded_length;
      folded_pos = 0;
    }
    return folded[folded_pos++];
  }
};

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string folded(text.size(), '\0');
  auto* in = reinterpret_cast<const unsigned char*>(text.data());
  auto* out = reinterpret_cast<unsigned char*>(folded.data());
  for (size_t i = 0; i < text.size();) {
    i += FoldChar(in + i, text.size() - i, out + i);
  }
  return folded;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  // Names are nearly always ASCII: compare those bytes by a table until the
  // first difference or the first byte of a multi-byte character. Both
  // texts have consumed whole characters up to there, so the cursors can
  // take over at the same offset.
  auto* x = reinterpret_cast<const unsigned char*>(a.data());
  auto* y = reinterpret_cast<const unsigned char*>(b.data());
  size_t common = a.size() < b.size() ? a.size() : b.size();
  size_t i = 0;
  for (; i < common && (x[i] | y[i]) < 0x80; ++i) {
    unsigned char fx = kAsciiUpper[x[i]], fy = kAsciiUpper[y[i]];
    if (fx != fy) return fx < fy ? -1 : 1;
  }
  if (i == common) {  // the shorter text is a prefix of the other
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
  }
  FoldedCursor left{x + i, a.size() - i, {}};
  FoldedCursor right{y + i, b.size() - i, {}};
  for (;;) {
    int x = left.Next();
    int y = right.Next();
    if (x != y) return x < y ? -1 : 1;
    if (x < 0) return 0;
  }
}

}  // namespace kxwin

int _mbsicmp(const unsigned char* a, const unsigned char* b) {
  if (!a || !b) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0x7FFFFFFF;  // the C runtime's _NLSCMPERROR
  }
  return kxwin::CompareNoCase(reinterpret_cast<const char*>(a),
                              reinterpret_cast<const char*>(b));
}

int _mbsnbicmp(const unsigned char* a, const unsigned char* b, size_t count) {
  if (!a || !b) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0x7FFFFFFF;
  }
  auto bounded = [count](const unsigned char* s) {
    return std::string_view(reinterpret_cast<const char*>(s),
                            strnlen(reinterpret_cast<const char*>(s), count));
  };
  return kxwin::CompareNoCase(bounded(a), bounded(b));
}

unsigned char* _mbsupr(unsigned char* s) {
  if (!s) return nullptr;
  size_t n = std::strlen(reinterpret_cast<char*>(s));
  std::string folded = kxwin::FoldCase({reinterpret_cast<char*>(s), n});
  std::memcpy(s, folded.data(), n);
  return s;
}
