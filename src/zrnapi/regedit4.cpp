// REGEDIT4 text, both ways.
//
// Its first line is "REGEDIT4", then a blank line; then, for the key and
// each key below it (parents before children), a line
// "[HKEY_LOCAL_MACHINE\path]", the key's values, and a blank line. A value
// is written as
//   "name"="text"           REG_SZ, with '\' and '"' escaped by a '\'
//   "name"=dword:0000abcd   REG_DWORD of four bytes
//   "name"=hex:01,02        REG_BINARY
//   "name"=hex(7):61,00     any other type, by its number in lowercase hex
//   "name"=-                (read, and written for a JSON null) no value
// and the default value (the empty name) as @= instead of "name"=. Data
// that would not come back byte for byte from the first two forms is
// written as hex(1) or hex(4): a REG_SZ without its terminator or with a
// zero byte inside, a REG_DWORD that is not four bytes, and a REG_SZ with a
// line break. A quoted text has no escape for a line break, and an editor
// may turn "\n" into "\r\n", so a text holding '\n' or '\r' keeps its bytes
// as hex. Long hex data ends its line with ",\" and goes on in the next
// one, indented by two spaces; every such line is at most 76 columns.
// Names and texts are written as they are (UTF-8): spaces, '=', '[' and ']'
// need no escape, since a quoted string ends at its first unescaped '"' and
// a key line's path at its last ']'. A name holding a line break cannot be
// written at all: such a key (with its subtree) or value is left out.
//
// The reader also takes "\r\n" line ends, blanks at the end of a line, hex
// digits in either case and "\n" for a line break in a quoted text, as
// other editors write it (never in a name: that could not be saved again).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "regedit5.h"
#include "savefile.h"

namespace zrnapi {
namespace {

// The widest line of hex data, with its ",\".
constexpr size_t kLineWidth = 76;

// ---- Writing ----------------------------------------------------------------

bool HasLineBreak(std::string_view name) {
  return name.find('\n') != std::string_view::npos;
}

void AppendQuoted(std::string_view text, std::string* out) {
  *out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') *out += '\\';
    *out += c;
  }
  *out += '"';
}

// True when a REG_SZ comes back byte for byte from "text": it ends in its
// only zero byte and holds no line break (see the top of the file).
bool IsPlainText(const std::vector<BYTE>& data) {
  if (data.empty() || data.back() != 0) return false;
  return std::none_of(data.begin(), data.end() - 1,
                      [](BYTE b) { return b == 0 || b == '\n' || b == '\r'; });
}

void AppendData(const ValueEntry& value, size_t line_start, std::string* out) {
  const std::vector<BYTE>& data = value.data;
  if (value.remove) {
    *out += '-';
  } else if (value.type == REG_SZ && IsPlainText(data)) {
    AppendQuoted({reinterpret_cast<const char*>(data.data()), data.size() - 1},
                 out);
  } else if (value.type == REG_DWORD && data.size() == 4) {
    char text[24];
    std::snprintf(
        text, sizeof text, "dword:%08x",
        static_cast<unsigned>(DWORD{data[0]} | DWORD{data[1]} << 8 |
                              DWORD{data[2]} << 16 | DWORD{data[3]} << 24));
    *out += text;
  } else {
    AppendHexValue(value.type,
                   {reinterpret_cast<const char*>(data.data()), data.size()},
                   true, line_start, out);
  }
}

void AppendValue(const ValueEntry& value, std::string* out) {
  size_t line_start = out->size();
  if (value.name.empty()) {
    *out += '@';
  } else {
    AppendQuoted(value.name, out);
  }
  *out += '=';
  AppendData(value, line_start, out);
  *out += '\n';
}

// ---- Reading ----------------------------------------------------------------

// The lines of a text, one after the other, without their "\n" or "\r\n";
// knows the number of the line it gave last.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  bool Next(std::string_view* line) {
    if (rest_.empty()) return false;
    size_t end = std::min(rest_.find('\n'), rest_.size());
    *line = rest_.substr(0, end);
    rest_.remove_prefix(std::min(end + 1, rest_.size()));
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    ++number_;
    return true;
  }
  unsigned number() const { return number_; }

 private:
  std::string_view rest_;
  unsigned number_ = 0;
};

bool IsBlankChar(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimStart(std::string_view text) {
  while (!text.empty() && IsBlankChar(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && IsBlankChar(text.back())) text.remove_suffix(1);
  return text;
}

// True when `text` starts with the ASCII `prefix`, in any case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Reads a whole save file into keys and values, or fails naming the file
// and the line of the first error.
class Parser {
 public:
  Parser(std::string_view text, const char* file, const std::string& target)
      : lines_(text), file_(file), target_(target) {}
  KeyList Run();

 private:
  [[noreturn]] __attribute__((format(printf, 2, 3))) void Error(
      const char* format, ...);
  void ReadHeader();
  void ReadKeyLine(std::string_view line);
  void ReadValueLine(std::string_view line);
  void ReadData(std::string_view data, ValueEntry* value);
  std::string ReadQuoted(std::string_view line, size_t* pos);
  DWORD ReadNumber(std::string_view digits, const char* what);
  std::vector<BYTE> ReadHex(std::string_view rest);
  std::string_view NextContinuation();

  Lines lines_;
  const char* file_;
  const std::string& target_;
  KeyList keys_;
};

void Parser::Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string what = FormatText(format, args);
  va_end(args);
  Fail("RestoreRegistry: %s, line %u: %s", file_, lines_.number(),
       what.c_str());
}

KeyList Parser::Run() {
  ReadHeader();
  std::string_view line;
  while (lines_.Next(&line)) {
    if (std::memchr(line.data(), '\0', line.size())) Error("a zero byte");
    if (TrimEnd(line).empty()) continue;
    if (line.front() == '[') {
      ReadKeyLine(TrimEnd(line));
    } else if (line.front() == '"' || line.front() == '@') {
      ReadValueLine(line);
    } else if (IsBlankChar(line.front())) {
      Error("an indented line that continues no value (a ',\\' missing?)");
    } else {
      Error("expected a [key] line, a value or a blank line");
    }
  }
  return std::move(keys_);
}

void Parser::ReadHeader() {
  std::string_view line;
  if (!lines_.Next(&line)) Fail("RestoreRegistry: %s is empty", file_);
  if (TrimEnd(line) != kRegedit4Header) {
    Error("the file starts with none of %s, %s and '{' (JSON)",
          std::string(kRegedit4Header).c_str(),
          std::string(kVersion5Header).c_str());
  }
}

void Parser::ReadKeyLine(std::string_view line) {
  if (line.size() > 1 && line[1] == '-') {
    Error("deleting a key with [-key] is not supported");
  }
  if (line.size() < 2 || line.back() != ']') Error("a key line ends in ']'");
  std::string_view full = line.substr(1, line.size() - 2);
  if (!StartsWithNoCase(full, "hkey_local_machine") ||
      (full.size() > kRootName.size() && full[kRootName.size()] != '\\')) {
    Error("the key is not below %s", std::string(kRootName).c_str());
  }
  std::string path = CleanPath(full.substr(kRootName.size()));
  if (!target_.empty() && !IsAtOrBelow(path, target_)) {
    Error("the key %s is outside the key %s being restored",
          KeyName(path).c_str(), KeyName(target_).c_str());
  }
  keys_.push_back({std::move(path), {}});
}

void Parser::ReadValueLine(std::string_view line) {
  if (keys_.empty()) Error("a value before the first [key] line");
  ValueEntry value;
  size_t pos = 1;  // after '@', the default value's empty name
  if (line.front() == '"') {
    pos = 0;
    value.name = ReadQuoted(line, &pos);
    if (HasLineBreak(value.name))
      Error("a value name cannot hold a line break");
  }
  std::string_view rest = TrimStart(line.substr(pos));
  if (rest.empty() || rest.front() != '=') {
    Error("no '=' after the value name");
  }
  ReadData(TrimEnd(TrimStart(rest.substr(1))), &value);
  keys_.back().values.push_back(std::move(value));
}

void Parser::ReadData(std::string_view data, ValueEntry* value) {
  if (data == "-") {
    value->remove = true;
  } else if (!data.empty() && data.front() == '"') {
    size_t pos = 0;
    std::string text = ReadQuoted(data, &pos);
    if (pos != data.size()) Error("text after the closing quote");
    value->type = REG_SZ;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
  } else if (StartsWithNoCase(data, "dword:")) {
    DWORD number = ReadNumber(data.substr(6), "dword");
    value->type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) {
      value->data.push_back(static_cast<BYTE>(number >> shift));
    }
  } else if (StartsWithNoCase(data, "hex:")) {
    value->type = REG_BINARY;
    value->data = ReadHex(data.substr(4));
  } else if (StartsWithNoCase(data, "hex(")) {
    size_t close = data.find("):");
    if (close == std::string_view::npos) Error("hex( without its \"):\"");
    value->type = ReadNumber(data.substr(4, close - 4), "type");
    value->data = ReadHex(data.substr(close + 2));
  } else {
    Error("no data after '=' (\"text\", dword:, hex:, hex(N): or -)");
  }
}

// Reads the quoted string that starts at line[*pos]; *pos moves past its
// closing quote.
std::string Parser::ReadQuoted(std::string_view line, size_t* pos) {
  std::string text;
  for (size_t i = *pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return text;
    }
    if (c == '\\' && i + 1 < line.size()) {
      c = line[++i];
      if (c == 'n') {
        c = '\n';
      } else if (c != '\\' && c != '"') {
        Error("a '\\' in a quoted string escapes none of '\\', '\"' and n");
      }
    }
    text += c;
  }
  Error("a quoted string without its closing quote");
}

// One to eight hex digits.
DWORD Parser::ReadNumber(std::string_view digits, const char* what) {
  if (digits.empty() || digits.size() > 8) {
    Error("a %s number needs one to eight hex digits", what);
  }
  DWORD number = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) Error("bad hex digit '%c' in a %s number", c, what);
    number = number << 4 | static_cast<DWORD>(digit);
  }
  return number;
}

// Reads comma-separated hex bytes, following ",\" to the next lines.
std::vector<BYTE> Parser::ReadHex(std::string_view rest) {
  std::vector<BYTE> bytes;
  bool after_comma = false;
  for (;;) {
    rest = TrimStart(rest);
    if (rest.empty()) {
      if (after_comma) Error("hex data ends in a ',' without a '\\'");
      return bytes;
    }
    bool separated = after_comma || bytes.empty();
    if (!separated) Error("expected ',' between hex bytes");
    if (rest.front() == '\\') {
      if (!TrimStart(rest.substr(1)).empty()) Error("text after a '\\'");
      rest = NextContinuation();
      after_comma = true;
      continue;
    }
    int high = HexDigit(rest[0]);
    int low = rest.size() > 1 ? HexDigit(rest[1]) : -1;
    if (high < 0 || low < 0) {
      Error("bad hex byte \"%.*s\"",
            static_cast<int>(std::min<size_t>(rest.size(), 2)), rest.data());
    }
    bytes.push_back(static_cast<BYTE>(high << 4 | low));
    rest = TrimStart(rest.substr(2));
    after_comma = !rest.empty() && rest.front() == ',';
    if (after_comma) rest.remove_prefix(1);
  }
}

std::string_view Parser::NextContinuation() {
  std::string_view line;
  if (!lines_.Next(&line)) {
    Error("the file ends in the middle of a value continued with '\\'");
  }
  if (TrimEnd(line).empty()) {
    Error("a blank line in the middle of a value continued with '\\'");
  }
  return line;
}

}  // namespace

KeyList ParseRegedit4(std::string_view text, const char* file,
                      const std::string& target) {
  return Parser(text, file, target).Run();
}

std::string Regedit4Text(const KeyList& keys,
                         std::vector<std::string>* left_out) {
  std::string text = std::string(kRegedit4Header) + "\n\n";
  for (const KeyEntry& key : keys) {
    if (HasLineBreak(key.path)) {
      // Named once, where the break is: a key below it is left out too.
      size_t leaf = key.path.rfind('\\') + 1;
      if (HasLineBreak(std::string_view(key.path).substr(leaf))) {
        left_out->push_back("the key " + Shown(KeyName(key.path)));
      }
      continue;
    }
    text += '[' + KeyName(key.path) + "]\n";
    for (const ValueEntry& value : key.values) {
      if (!HasLineBreak(value.name)) {
        AppendValue(value, &text);
        continue;
      }
      left_out->push_back("the value \"" + Shown(value.name) + "\" of " +
                          Shown(KeyName(key.path)));
    }
    text += '\n';
  }
  return text;
}

void AppendHexValue(unsigned type, std::string_view data, bool wrap,
                    size_t line_start, std::string* out) {
  char text[24];
  if (type == REG_BINARY) {
    *out += "hex:";
  } else {
    std::snprintf(text, sizeof text, "hex(%x):", type);
    *out += text;
  }
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) {
      *out += ',';
      // This byte, its comma and a continuation mark must fit.
      if (wrap && out->size() - line_start + 4 > kLineWidth) {
        *out += "\\\n  ";
        line_start = out->size() - 2;
      }
    }
    std::snprintf(text, sizeof text, "%02x",
                  static_cast<unsigned>(static_cast<unsigned char>(data[i])));
    *out += text;
  }
}

}  // namespace zrnapi
