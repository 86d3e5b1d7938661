// Version-5 registry files: what the registry editors export by default,
// so that a file moves between a Windows machine and this store both ways.
//
// A version-5 file is the version-4 text (regedit4.cpp) with two
// differences: the first line is "Windows Registry Editor Version 5.00",
// and the data of the text types written as hex, hex(1) (REG_SZ), hex(2)
// (REG_EXPAND_SZ) and hex(7) (REG_MULTI_SZ), are UTF-16LE code units, where
// version 4 has the store's bytes (UTF-8 here). The registry editors write
// the whole file in UTF-16LE after a byte order mark (FF FE), with "\r\n"
// line ends; people who write one by hand, and the editors when they
// import, also use ASCII or UTF-8 (with or without its byte order mark).
// The hex data are UTF-16 in either case: the header, not the encoding of
// the file, says what they are.
//
// So reading decodes a UTF-16 file to UTF-8, converts the version-5 text
// to version-4 text and hands it to the one parser, and saving converts
// the version-4 text it made. The conversion to version 4 keeps every line
// where it was: a hex value that went on over continuation lines becomes
// one line followed by as many blank lines (which the parser passes over),
// so the parser's "line N" is the line of the version-5 file. A text that
// has no form in the other encoding (an unpaired surrogate, bytes that are
// not UTF-8, an odd number of bytes of UTF-16 data) fails the whole
// conversion: nothing is restored, no file is saved.
#include "regedit5.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace zrnapi {
namespace {

constexpr std::string_view kUtf16Mark = "\xFF\xFE";

using Bytes = std::vector<unsigned char>;

// ---- UTF-8 and UTF-16LE -------------------------------------------------

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | c >> 6);
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | c >> 12);
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | c >> 18);
    *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(char32_t c, std::string* out) {
  auto unit = [out](char32_t u) {
    *out += static_cast<char>(u & 0xFF);
    *out += static_cast<char>(u >> 8);
  };
  if (c < 0x10000) {
    unit(c);
  } else {
    unit(0xD800 + ((c - 0x10000) >> 10));
    unit(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

// UTF-16LE (an even number of bytes) to UTF-8; false at an unpaired
// surrogate, with `out` holding what came before it.
bool Utf16ToUtf8(std::string_view in, std::string* out) {
  auto unit = [&in](size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(in[i]) |
                                 static_cast<unsigned char>(in[i + 1]) << 8);
  };
  for (size_t i = 0; i + 1 < in.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xDC00 && c < 0xE000) return false;
    if (c >= 0xD800 && c < 0xDC00) {
      char32_t low = i + 3 < in.size() ? unit(i + 2) : 0;
      if (low < 0xDC00 || low >= 0xE000) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    AppendUtf8(c, out);
  }
  return true;
}

// The code point of the UTF-8 sequence at in[*i] (moving *i past it), or
// false when it is no shortest-form UTF-8 of a scalar value.
bool NextUtf8(std::string_view in, size_t* i, char32_t* c) {
  auto byte = [&in](size_t at) { return static_cast<unsigned char>(in[at]); };
  unsigned char lead = byte(*i);
  int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4) return false;
  if (*i + length > in.size()) return false;
  *c = length == 1 ? lead : lead & (0x7F >> length);
  for (int k = 1; k < length; ++k) {
    if ((byte(*i + k) & 0xC0) != 0x80) return false;
    *c = *c << 6 | (byte(*i + k) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (*c < kLeast[length] || *c > 0x10FFFF || (*c >= 0xD800 && *c < 0xE000)) {
    return false;
  }
  *i += length;
  return true;
}

bool Utf8ToUtf16(std::string_view in, std::string* out) {
  for (size_t i = 0; i < in.size();) {
    char32_t c;
    if (!NextUtf8(in, &i, &c)) return false;
    AppendUtf16(c, out);
  }
  return true;
}

// ---- Lines and hex values ---------------------------------------------------

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

size_t SkipBlanks(std::string_view line, size_t pos) {
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  return pos;
}

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

// A value line whose data is hex of a text type: the line up to "hex(",
// the type, and the hex after "):" on this line.
struct TextHex {
  std::string_view head;
  unsigned type = 0;
  std::string_view hex;
};

// Finds the data of a value line ("name"=... or @=...); false for any other
// line, and for data that is not hex(1), hex(2) or hex(7).
bool FindTextHex(std::string_view line, TextHex* found) {
  size_t pos = 1;
  if (line.empty() || (line[0] != '"' && line[0] != '@')) return false;
  if (line[0] == '"') {
    while (pos < line.size() && line[pos] != '"')
      pos += line[pos] == '\\' ? 2 : 1;
    if (pos >= line.size()) return false;
    ++pos;
  }
  pos = SkipBlanks(line, pos);
  if (pos >= line.size() || line[pos] != '=') return false;
  pos = SkipBlanks(line, pos + 1);
  std::string data = Lowered(line.substr(pos));
  size_t close = data.find("):");
  if (data.rfind("hex(", 0) != 0 || close == std::string::npos || close > 12) {
    return false;
  }
  unsigned type = 0;
  for (size_t k = 4; k < close; ++k) {
    if (HexDigit(data[k]) < 0) return false;
    type = type << 4 | HexDigit(data[k]);
  }
  if (close == 4 || (type != 1 && type != 2 && type != 7)) return false;
  *found = {line.substr(0, pos), type, line.substr(pos + close + 2)};
  return true;
}

// The bytes of a comma-separated hex list that began on lines[*i] and may
// go on over continuation lines (a line ending in '\'); *i moves to its
// last line. False when it is no such list.
bool ReadHexList(const std::vector<std::string_view>& lines, size_t* i,
                 std::string_view first, Bytes* bytes) {
  std::string text(TrimEnd(first));
  while (!text.empty() && text.back() == '\\' && *i + 1 < lines.size()) {
    text.pop_back();
    text += TrimEnd(lines[++*i]);
  }
  size_t pos = SkipBlanks(text, 0);
  while (pos < text.size()) {
    int high = HexDigit(text[pos]);
    int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : -1;
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<unsigned char>(high << 4 | low));
    pos = SkipBlanks(text, pos + 2);
    if (pos < text.size()) {
      if (text[pos] != ',') return false;
      pos = SkipBlanks(text, pos + 1);
      if (pos == text.size()) return false;
    }
  }
  return true;
}

std::string_view AsText(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string LineError(size_t index, const char* what) {
  return "line " + std::to_string(index + 1) + ": " + what;
}

}  // namespace

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUtf8(std::string_view text) {
  char32_t c;
  for (size_t i = 0; i < text.size();) {
    if (!NextUtf8(text, &i, &c)) return false;
  }
  return true;
}

bool IsUtf16File(std::string_view bytes) {
  return bytes.substr(0, kUtf16Mark.size()) == kUtf16Mark;
}

bool DecodeUtf16File(std::string_view bytes, std::string* text,
                     std::string* error) {
  bytes.remove_prefix(kUtf16Mark.size());
  bool decoded = Utf16ToUtf8(bytes, text);
  size_t lines = std::count(text->begin(), text->end(), '\n');
  if (!decoded) {
    *error = LineError(lines, "a UTF-16 surrogate without its pair");
  } else if (bytes.size() % 2 != 0) {
    *error = LineError(lines, "the UTF-16 text ends in half a character");
  }
  return error->empty();
}

bool IsVersion5(std::string_view text) {
  std::string_view first = text.substr(0, text.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  return TrimEnd(first) == kVersion5Header;
}

bool Version5ToVersion4(std::string_view text, std::string* version4,
                        std::string* error) {
  std::vector<std::string_view> lines = SplitLines(text);
  *version4 = std::string(kRegedit4Header) + '\n';
  for (size_t i = 1; i < lines.size(); ++i) {
    TextHex value;
    size_t first = i;
    Bytes utf16;
    if (!FindTextHex(lines[i], &value)) {
      *version4 += lines[i];
    } else if (!ReadHexList(lines, &i, value.hex, &utf16)) {
      *error = LineError(first, "bad hex data");
      return false;
    } else {
      std::string store;
      if (utf16.size() % 2 != 0 || !Utf16ToUtf8(AsText(utf16), &store)) {
        *error = LineError(first,
                           "hex(1), hex(2) and hex(7) data of a version "
                           "5 file must be UTF-16 text");
        return false;
      }
      *version4 += value.head;
      AppendHexValue(value.type, store, false, 0, version4);
      version4->append(i - first, '\n');  // the continuation lines, now blank
    }
    *version4 += '\n';
  }
  return true;
}

bool Version4ToVersion5(std::string_view text, std::string* bytes,
                        std::string* error) {
  std::vector<std::string_view> lines = SplitLines(text);
  std::string version5 = std::string(kVersion5Header) + '\n';
  for (size_t i = 1; i < lines.size(); ++i) {
    TextHex value;
    size_t first = i;
    Bytes store;
    std::string utf16;
    if (!FindTextHex(lines[i], &value)) {
      version5 += lines[i];
    } else if (!ReadHexList(lines, &i, value.hex, &store) ||
               !Utf8ToUtf16(AsText(store), &utf16)) {
      *error = LineError(first,
                         "a text value that is not UTF-8 has no "
                         "version 5 form");
      return false;
    } else {
      size_t line_start = version5.size();
      version5 += value.head;
      AppendHexValue(value.type, utf16, true, line_start, &version5);
    }
    version5 += '\n';
  }
  std::string crlf;  // the line ends Windows gives its files
  for (char c : version5) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  *bytes = kUtf16Mark;
  if (!Utf8ToUtf16(crlf, bytes)) {
    *error =
        "a key or value name or a text that is not UTF-8 has no "
        "version 5 form";
    return false;
  }
  return true;
}

}  // namespace zrnapi
