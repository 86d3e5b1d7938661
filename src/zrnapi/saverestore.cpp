// SaveRegistry and RestoreRegistry: a key with its subtree as a REGEDIT4
// text file.
//
// The file. Its first line is "REGEDIT4", then a blank line; then, for the
// key and each key below it (parents before children, subkeys in their
// enumeration order), a line "[HKEY_LOCAL_MACHINE\path]", the key's values
// in enumeration order, and a blank line. A value is written as
//   "name"="text"           REG_SZ, with '\' and '"' escaped by a '\'
//   "name"=dword:0000abcd   REG_DWORD of four bytes
//   "name"=hex:01,02        REG_BINARY
//   "name"=hex(7):61,00     any other type, by its number in lowercase hex
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
// written at all: such a key (with its subtree) or value is left out, and
// the save, done otherwise, leaves a warning that names each one where
// GetMsgString finds it (a backup that fails as a whole helps nobody).
//
// Saving reads the whole subtree inside one transaction, so the file is one
// snapshot of the store, writes the text to a temporary file beside the
// target and moves it over the target: a reader sees the old file or the
// whole new one. Without `replace` the move itself refuses to replace, so a
// file that somebody made meanwhile is kept.
//
// Restoring parses the whole file before it touches the store, so a file
// with any error restores nothing. Every key of the file must be the target
// key or below it. One transaction then creates the target key, empties it
// when replacing, creates each key of the file and sets (or, for "name"=-,
// deletes) its values, and commits; any failure rolls all of it back. The
// reader also takes a UTF-8 byte order mark, "\r\n" line ends, blanks at
// the end of a line, hex digits in either case and "\n" for a line break in
// a quoted text, as other editors write it (never in a name: that could not
// be saved again). A replace from a file that holds no key at all would
// only empty the target (a save cut short leaves just the header), so it
// is refused unless the caller allows it with RESTORE_ALLOW_EMPTY.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"
#include "regedit5.h"

namespace zrnapi {
namespace {

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The widest line of hex data, with its ",\".
constexpr size_t kLineWidth = 76;
// Win32's longest key name, in bytes without the terminator.
constexpr DWORD kMaxKeyName = 255;
// Win32's longest value name.
constexpr DWORD kMaxValueName = 16383;

// ---- Failures ---------------------------------------------------------

// A failure on its way out to the exported function, which records it.
struct Failure {
  std::string text;
};

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format,
                                                             ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatText(format, args);
  va_end(args);
  throw Failure{std::move(text)};
}

std::string KeyName(const std::string& path) {
  return std::string(kRootName) + '\\' + path;
}

// Fails with "<what>: <text of the code>" unless `status` is a success.
void Check(LSTATUS status, const std::string& what) {
  if (status != ERROR_SUCCESS) {
    Fail("%s: %s", what.c_str(), ErrorText(static_cast<DWORD>(status)).c_str());
  }
}

// Records a failure; recording never lets an exception out.
void Record(const char* text, const char* suffix) noexcept {
  try {
    RecordFailure(false, "%s%s", text, suffix);
  } catch (...) {
  }
}

// Runs an exported function's body: TRUE when it returns, FALSE with the
// failure recorded when it throws. No exception gets out.
template <typename Body>
BOOL Guard(const char* function, const char* suffix, Body body) noexcept {
  try {
    body();
    return TRUE;
  } catch (const Failure& failure) {
    Record(failure.text.c_str(), suffix);
  } catch (const std::bad_alloc&) {
    Record((std::string(function) + ": out of memory").c_str(), suffix);
  } catch (const std::exception& error) {
    Record((std::string(function) + ": " + error.what()).c_str(), suffix);
  } catch (...) {
    Record((std::string(function) + ": unexpected failure").c_str(), suffix);
  }
  return FALSE;
}

// ---- Holders ------------------------------------------------------------

// Begins `transaction`; a failure to begin is a failure of `function`.
void BeginTransaction(const char* function, TransactionHolder* transaction) {
  if (!transaction->Begin()) {
    Fail("%s: cannot start a registry transaction: %s", function,
         ErrorText(GetLastError()).c_str());
  }
}

// A temporary file, deleted again unless it was moved into place.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() {
    if (!path_.empty() && !kept_) DeleteFileA(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void Made(std::string path) { path_ = std::move(path); }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// ---- Arguments ----------------------------------------------------------

// The key path without empty names (leading, trailing or doubled
// backslashes), which the registry skips too.
std::string CleanPath(std::string_view path) {
  std::string clean;
  while (!path.empty()) {
    size_t end = std::min(path.find('\\'), path.size());
    if (end > 0) {
      if (!clean.empty()) clean += '\\';
      clean.append(path.substr(0, end));
    }
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return clean;
}

// The target key's path; a failure for arguments that name no key or file.
std::string TargetPath(const char* function, HKEY root, LPCSTR path,
                       LPCSTR file) {
  if (!path || !file) {
    Fail("%s: the %s is null", function, path ? "file name" : "key path");
  }
  if (root != HKEY_LOCAL_MACHINE) {
    Fail("%s: the root key must be HKEY_LOCAL_MACHINE", function);
  }
  if (!*file) Fail("%s: the file name is empty", function);
  std::string clean = CleanPath(path);
  if (clean.empty()) {
    Fail(
        "%s: the key path is empty; the whole registry is never saved or "
        "restored",
        function);
  }
  return clean;
}

// ---- Saving -------------------------------------------------------------

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Reads value `index` into `value`, growing the buffers once when the
// sizes that RegQueryInfoKeyA gave were short.
LSTATUS ReadValue(HKEY key, DWORD index, std::vector<char>& name,
                  std::vector<BYTE>& data, Value* value) {
  LSTATUS status = ERROR_MORE_DATA;
  DWORD name_size = 0, data_size = 0;
  for (int attempt = 0; attempt < 2 && status == ERROR_MORE_DATA; ++attempt) {
    if (attempt > 0) {
      name.resize(kMaxValueName + 1);
      data.resize(std::max<size_t>(data_size, data.size() * 2));
    }
    name_size = static_cast<DWORD>(name.size());
    data_size = static_cast<DWORD>(data.size());
    status = RegEnumValueA(key, index, name.data(), &name_size, nullptr,
                           &value->type, data.data(), &data_size);
  }
  if (status != ERROR_SUCCESS) return status;
  value->name.assign(name.data(), name_size);
  value->data.assign(data.begin(), data.begin() + data_size);
  return ERROR_SUCCESS;
}

std::vector<Value> ReadValues(HKEY key, const std::string& path) {
  DWORD name_length = 0, data_length = 0;
  Check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, &name_length, &data_length, nullptr,
                         nullptr),
        "SaveRegistry: cannot read " + KeyName(path));
  std::vector<char> name(name_length + 1);
  std::vector<BYTE> data(std::max<DWORD>(data_length, 1));
  std::vector<Value> values;
  for (DWORD index = 0;; ++index) {
    Value value;
    LSTATUS status = ReadValue(key, index, name, data, &value);
    if (status == ERROR_NO_MORE_ITEMS) return values;
    Check(status, "SaveRegistry: cannot read the values of " + KeyName(path));
    values.push_back(std::move(value));
  }
}

std::vector<std::string> ReadSubkeyNames(HKEY key, const std::string& path) {
  std::vector<std::string> names;
  char name[kMaxKeyName + 1];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr,
                                   nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    Check(status, "SaveRegistry: cannot list the subkeys of " + KeyName(path));
    names.emplace_back(name, length);
  }
}

bool HasLineBreak(std::string_view name) {
  return name.find('\n') != std::string_view::npos;
}

// A name for a message: its line breaks written as "\n".
std::string Shown(std::string_view name) {
  std::string shown;
  for (char c : name) {
    shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return shown;
}

// The text of a save file, and what it had to leave out.
struct Snapshot {
  std::string text;
  std::vector<std::string> left_out;  // as Shown names them
};

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

void AppendValue(const Value& value, std::string* out) {
  size_t line_start = out->size();
  if (value.name.empty()) {
    *out += '@';
  } else {
    AppendQuoted(value.name, out);
  }
  *out += '=';
  const std::vector<BYTE>& data = value.data;
  if (value.type == REG_SZ && IsPlainText(data)) {
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
  *out += '\n';
}

// Appends the key at `path`, open as `key`, and then its subtree; names
// with a line break go to the left-out list instead.
void SaveKey(HKEY key, const std::string& path, HANDLE transaction,
             Snapshot* out) {
  out->text += '[' + KeyName(path) + "]\n";
  for (const Value& value : ReadValues(key, path)) {
    if (HasLineBreak(value.name)) {
      out->left_out.push_back("the value \"" + Shown(value.name) + "\" of " +
                              Shown(KeyName(path)));
    } else {
      AppendValue(value, &out->text);
    }
  }
  out->text += '\n';
  for (const std::string& name : ReadSubkeyNames(key, path)) {
    std::string child_path = path + '\\' + name;
    if (HasLineBreak(name)) {
      out->left_out.push_back("the key " + Shown(KeyName(child_path)));
      continue;
    }
    kx::UniqueKey child;
    Check(RegOpenKeyTransactedA(key, name.c_str(), 0, KEY_READ, child.out(),
                                transaction, nullptr),
          "SaveRegistry: cannot open " + KeyName(child_path));
    SaveKey(child.get(), child_path, transaction, out);
  }
}

// The file's text for the key at `path`, read as one snapshot.
Snapshot TakeSnapshot(const std::string& path) {
  if (HasLineBreak(path)) {
    Fail(
        "SaveRegistry: the key %s holds a line break, which a REGEDIT4 file "
        "cannot carry",
        Shown(KeyName(path)).c_str());
  }
  TransactionHolder transaction;
  BeginTransaction("SaveRegistry", &transaction);
  kx::UniqueKey key;
  Check(RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ,
                              key.out(), transaction.handle, nullptr),
        "SaveRegistry: cannot open " + KeyName(path));
  Snapshot snapshot{std::string(kRegedit4Header) + "\n\n", {}};
  SaveKey(key.get(), path, transaction.handle, &snapshot);
  return snapshot;  // nothing was written: the transaction is rolled back
}

// Leaves the warning of a save that left names out for GetMsgString (and
// the trace).
void WarnLeftOut(LPCSTR file, const std::vector<std::string>& left_out) {
  std::string names;
  for (const std::string& name : left_out) {
    names += (names.empty() ? "" : ", ") + name;
  }
  RecordFailure(false,
                "SaveRegistry: %s was saved without %zu name%s holding a line "
                "break, which a REGEDIT4 file cannot carry: %s",
                file, left_out.size(), left_out.size() == 1 ? "" : "s",
                names.c_str());
}

// Creates "<directory>/.<name>.<number>.tmp" beside `file`, so that the
// final move is a rename within one directory. Windows also separates
// with '\' (and ends a drive with ':'); on Linux a cut there still leaves
// the temporary file in the same directory.
FILE* CreateTempBeside(const std::string& file, TempFile* temp) {
  static std::atomic<unsigned> counter{0};
  size_t slash = file.find_last_of("/\\:");
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::string prefix = file.substr(0, base) + '.' + file.substr(base, 64) + '.';
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "%x-%x.tmp",
                  static_cast<unsigned>(GetCurrentProcessId()),
                  counter.fetch_add(1));
    std::string path = prefix + suffix;
    FILE* stream = std::fopen(path.c_str(), "wbx");
    if (stream) {
      temp->Made(std::move(path));
      return stream;
    }
    if (errno != EEXIST) {
      Fail("SaveRegistry: cannot create %s, the temporary file for %s: %s",
           path.c_str(), file.c_str(), std::strerror(errno));
    }
  }
  Fail("SaveRegistry: cannot find a free temporary name beside %s",
       file.c_str());
}

void WriteSaveFile(const std::string& text, const std::string& file,
                   bool replace) {
  TempFile temp;
  kx::UniqueFile stream(CreateTempBeside(file, &temp));
  bool written =
      std::fwrite(text.data(), 1, text.size(), stream.get()) == text.size() &&
      std::fflush(stream.get()) == 0;
  if (stream.close() != 0 || !written) {
    Fail("SaveRegistry: cannot write %s: %s", temp.path().c_str(),
         std::strerror(errno));
  }
  DWORD flags = MOVEFILE_WRITE_THROUGH;
  if (replace) flags |= MOVEFILE_REPLACE_EXISTING;
  if (!MoveFileExA(temp.path().c_str(), file.c_str(), flags)) {
    Fail("SaveRegistry: cannot move %s to %s: %s", temp.path().c_str(),
         file.c_str(), ErrorText(GetLastError()).c_str());
  }
  temp.Keep();
}

// ---- Reading a file -------------------------------------------------------

struct ValueEntry {
  std::string name;
  bool remove = false;  // "name"=-
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct KeyEntry {
  std::string path;  // below HKEY_LOCAL_MACHINE, without empty names
  std::vector<ValueEntry> values;
};

std::string ReadWholeFile(LPCSTR file) {
  kx::UniqueFile stream(std::fopen(file, "rb"));
  if (!stream) {
    Fail("RestoreRegistry: cannot open %s: %s", file, std::strerror(errno));
  }
  std::string text;
  char chunk[65536];
  size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, stream.get())) > 0) {
    text.append(chunk, count);
  }
  if (std::ferror(stream.get())) {
    Fail("RestoreRegistry: cannot read %s: %s", file, std::strerror(errno));
  }
  return text;
}

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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when `path` is `target` or below it, without regard to case (which
// keeps the length of every character, so byte counts line up).
bool IsAtOrBelow(const std::string& path, const std::string& target) {
  auto* p = reinterpret_cast<const unsigned char*>(path.c_str());
  auto* t = reinterpret_cast<const unsigned char*>(target.c_str());
  if (path.size() == target.size()) return _mbsicmp(p, t) == 0;
  return path.size() > target.size() && path[target.size()] == '\\' &&
         _mbsnbicmp(p, t, target.size()) == 0;
}

// Reads a whole save file into keys and values, or fails naming the file
// and the line of the first error.
class Parser {
 public:
  Parser(std::string_view text, LPCSTR file, const std::string& target)
      : lines_(text), file_(file), target_(target) {}
  std::vector<KeyEntry> Run();

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
  LPCSTR file_;
  const std::string& target_;
  std::vector<KeyEntry> keys_;
};

void Parser::Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string what = FormatText(format, args);
  va_end(args);
  Fail("RestoreRegistry: %s, line %u: %s", file_, lines_.number(),
       what.c_str());
}

std::vector<KeyEntry> Parser::Run() {
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
    Error("the file does not start with %s",
          std::string(kRegedit4Header).c_str());
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
  if (!IsAtOrBelow(path, target_)) {
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

// ---- Writing the store ------------------------------------------------------

void ApplyKey(const KeyEntry& entry, HANDLE transaction) {
  kx::UniqueKey key;
  Check(RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, entry.path.c_str(), 0,
                                nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, key.out(), nullptr,
                                transaction, nullptr),
        "RestoreRegistry: cannot create " + KeyName(entry.path));
  for (const ValueEntry& value : entry.values) {
    LSTATUS status;
    if (value.remove) {
      status = RegDeleteValueA(key.get(), value.name.c_str());
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
      // Windows stores a string that lacks its zero with one when the byte
      // after the data is zero, as kxwin always does: a zero follows, so that
      // the bytes stored do not depend on the memory after the data.
      std::vector<BYTE> data(value.data);
      data.push_back(0);
      status =
          RegSetValueExA(key.get(), value.name.c_str(), 0, value.type,
                         data.data(), static_cast<DWORD>(value.data.size()));
    }
    Check(status, "RestoreRegistry: cannot " +
                      std::string(value.remove ? "delete" : "set") +
                      " the value \"" + value.name + "\" of " +
                      KeyName(entry.path));
  }
}

void Apply(const std::string& target, const std::vector<KeyEntry>& keys,
           bool replace) {
  TransactionHolder transaction;
  BeginTransaction("RestoreRegistry", &transaction);
  kx::UniqueKey target_key;
  Check(RegCreateKeyTransactedA(HKEY_LOCAL_MACHINE, target.c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                nullptr, target_key.out(), nullptr,
                                transaction.handle, nullptr),
        "RestoreRegistry: cannot create " + KeyName(target));
  if (replace) {
    Check(RegDeleteTreeA(target_key.get(), nullptr),
          "RestoreRegistry: cannot empty " + KeyName(target));
  }
  for (const KeyEntry& entry : keys) ApplyKey(entry, transaction.handle);
  if (!transaction.Commit()) {
    Fail("RestoreRegistry: cannot commit the restore of %s: %s",
         KeyName(target).c_str(), ErrorText(GetLastError()).c_str());
  }
}

// A version-5 file becomes the version-4 text it stands for, line for line
// (regedit5.cpp); any other text stays as it is.
std::string AsVersion4(std::string text, LPCSTR file) {
  std::string version4, error;
  if (!IsVersion5(text)) return text;
  if (!Version5ToVersion4(text, &version4, &error)) {
    Fail("RestoreRegistry: %s, %s", file, error.c_str());
  }
  return version4;
}

}  // namespace

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

using namespace zrnapi;

BOOL SaveRegistry(HKEY root, LPCSTR path, LPCSTR file, BOOL replace) {
  return Guard("SaveRegistry", "", [&] {
    std::string target = TargetPath("SaveRegistry", root, path, file);
    // Checked early to save the work; the final move checks again.
    if (!replace && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
      Fail("SaveRegistry: %s exists already and is not to be replaced", file);
    }
    Snapshot snapshot = TakeSnapshot(target);
    WriteSaveFile(snapshot.text, file, replace != FALSE);
    if (!snapshot.left_out.empty()) WarnLeftOut(file, snapshot.left_out);
  });
}

BOOL RestoreRegistry(HKEY root, LPCSTR path, LPCSTR file, BOOL replace) {
  return Guard("RestoreRegistry", "; nothing was restored", [&] {
    std::string target = TargetPath("RestoreRegistry", root, path, file);
    std::string text = AsVersion4(ReadWholeFile(file), file);
    std::string_view body = text;
    if (body.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      body.remove_prefix(kByteOrderMark.size());
    }
    std::vector<KeyEntry> keys = Parser(body, file, target).Run();
    if (keys.empty() && replace && !(replace & RESTORE_ALLOW_EMPTY)) {
      Fail(
          "RestoreRegistry: %s holds no key of %s, so a replace would only "
          "empty it",
          file, KeyName(target).c_str());
    }
    Apply(target, keys, replace != FALSE);
  });
}

BOOL ConvertRegistryFile(LPCSTR source, LPCSTR target, BOOL replace,
                         DWORD version) {
  return Guard("ConvertRegistryFile", "", [&] {
    if (!source || !target || (version != 4 && version != 5)) {
      Fail("ConvertRegistryFile: two files and the version 4 or 5 are needed");
    }
    if (!replace && GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) {
      Fail("ConvertRegistryFile: %s exists already and is not to be replaced",
           target);
    }
    std::string text = AsVersion4(ReadWholeFile(source), source), error;
    if (version == 5 && !Version4ToVersion5(std::string(text), &text, &error)) {
      Fail("ConvertRegistryFile: %s, %s", source, error.c_str());
    }
    WriteSaveFile(text, target, replace != FALSE);
  });
}
