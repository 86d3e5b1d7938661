// Version-5 registry files, as the registry editors export them by
// default, converted to and from the version-4 text that regedit4.cpp
// reads and writes (regedit5.cpp tells how).
#ifndef ZRNAPI_REGEDIT5_H
#define ZRNAPI_REGEDIT5_H

#include <string>
#include <string_view>

namespace zrnapi {

// True when `bytes` (a whole file) is UTF-16LE text: it starts with the
// UTF-16LE byte order mark, as the registry editors write their files.
bool IsUtf16File(std::string_view bytes);

// The UTF-8 text of such a file, without its byte order mark. False with
// `error` set ("line N: what") when it is no UTF-16LE text.
bool DecodeUtf16File(std::string_view bytes, std::string* text,
                     std::string* error);

// True when a text (a UTF-16 file decoded, or a file of ASCII or UTF-8
// without its byte order mark) starts with the version-5 header.
bool IsVersion5(std::string_view text);

// The version-4 text of a version-5 text, line for line, so that a line
// number of the one is the same line of the other. False with `error` set
// ("line N: what") when the file cannot be converted.
bool Version5ToVersion4(std::string_view text, std::string* version4,
                        std::string* error);

// The version-5 bytes (UTF-16LE with its byte order mark, CRLF line ends)
// of a version-4 text. False with `error` set when a text of it is not
// UTF-8 and so has no UTF-16 form.
bool Version4ToVersion5(std::string_view text, std::string* bytes,
                        std::string* error);

// True when `text` is UTF-8: shortest forms of scalar values only.
bool IsUtf8(std::string_view text);

// The value of a hex digit of either case, or -1 for another character.
int HexDigit(char c);

// ---- Version 4, as regedit4.cpp writes it ---------------------------------

// The first line of a version-4 file, and of a version-5 one.
inline constexpr std::string_view kRegedit4Header = "REGEDIT4";
inline constexpr std::string_view kVersion5Header =
    "Windows Registry Editor Version 5.00";

// Appends "hex(T):xx,xx,..." ("hex:" for REG_BINARY) to `out`, whose current
// line began at `line_start`; with `wrap`, going on over continuation lines
// so that every line, with its ",\", fits in 76 columns. The first byte
// always stays on the first line.
void AppendHexValue(unsigned type, std::string_view data, bool wrap,
                    size_t line_start, std::string* out);

}  // namespace zrnapi

#endif  // ZRNAPI_REGEDIT5_H
