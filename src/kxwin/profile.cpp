// Profile (INI) files: GetPrivateProfileStringA, GetPrivateProfileSectionA,
// GetPrivateProfileSectionNamesA, GetPrivateProfileIntA and
// WritePrivateProfileStringA with the rules Windows applies.
//
// A file is read as lines ending in "\r\n", "\n" or a lone "\r". After blanks
// are trimmed, a line starting with ';' is a comment, one starting with '['
// opens a section (named by the text up to ']'), and one holding '=' is a key
// with its value; any other line is kept but is no key. Lines before the
// first section belong to none. Names compare without regard to case, and the
// caller's section and key names lose their blanks as the file's do. Where a
// section or a key appears twice, the first wins on reading, but lists name
// every occurrence.
//
// A write changes only the lines it must: the file is edited as text, so
// comments, blank lines, order and line endings survive byte for byte; a new
// file gets "\r\n", as Windows writes. The edited file replaces the old one
// through a temporary file and a rename (WriteFileAtomically), so a reader
// never sees half a file. Writers of profiles in one directory take turns
// under a lock on that directory; without it, two processes editing one file
// would lose each other's keys.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace kxwin {

// files.cpp: writes a file beside `target` and renames it over target.

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// One pair of matching quotes around a value is not part of it.
std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

enum class LineKind { kBlank, kComment, kOther, kSection, kKey };

// One line of the file; offsets are into the whole text.
struct Line {
  size_t start;  // first byte
  size_t stop;   // end of the content, before the line ending
  size_t end;    // after the line ending; equals stop on a last bare line
  LineKind kind = LineKind::kBlank;
  std::string_view text = {};   // the content, trimmed
  std::string_view name = {};   // section name or key, trimmed
  std::string_view value = {};  // a key's value, trimmed and unquoted
};

void Classify(std::string_view content, Line* line) {
  std::string_view text = line->text = Trim(content);
  if (text.empty()) return;
  if (text[0] == ';') {
    line->kind = LineKind::kComment;
    return;
  }
  if (text[0] == '[') {
    size_t close = text.find(']', 1);
    line->kind = LineKind::kSection;
    line->name =
        Trim(text.substr(1, close == text.npos ? text.npos : close - 1));
    return;
  }
  size_t equals = text.find('=');
  line->kind = equals == text.npos ? LineKind::kOther : LineKind::kKey;
  if (equals == text.npos) return;
  line->name = Trim(text.substr(0, equals));
  line->value = Unquote(Trim(text.substr(equals + 1)));
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = std::min(text.find_first_of("\r\n", start), text.size());
    size_t end = stop;
    if (end < text.size()) end += text.compare(stop, 2, "\r\n") == 0 ? 2 : 1;
    Line line{start, stop, end};
    Classify(text.substr(start, stop - start), &line);
    lines.push_back(line);
    start = end;
  }
  return lines;
}

// A section's lines: its header, then the lines up to the next header.
struct Section {
  size_t header;
  size_t end;
};

std::vector<Section> SectionsNamed(const std::vector<Line>& lines,
                                   std::string_view name) {
  std::vector<Section> found;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != LineKind::kSection) continue;
    if (!found.empty() && found.back().end == lines.size()) {
      found.back().end = i;
    }
    if (CompareNoCase(lines[i].name, name) == 0) {
      found.push_back({i, lines.size()});
    }
  }
  return found;
}

std::vector<size_t> KeysNamed(const std::vector<Line>& lines, Section section,
                              std::string_view key) {
  std::vector<size_t> found;
  for (size_t i = section.header + 1; i < section.end; ++i) {
    if (lines[i].kind == LineKind::kKey &&
        CompareNoCase(lines[i].name, key) == 0) {
      found.push_back(i);
    }
  }
  return found;
}

// The line of the first key so named in the first section so named.
const Line* FindKey(const std::vector<Line>& lines, const char* section,
                    const char* key) {
  std::vector<Section> sections = SectionsNamed(lines, Trim(section));
  if (sections.empty()) return nullptr;
  std::vector<size_t> keys = KeysNamed(lines, sections[0], Trim(key));
  return keys.empty() ? nullptr : &lines[keys[0]];
}

// Names of the given kind in [from, to), each followed by a zero, in file
// order and as often as they appear. An empty name would end the list early
// and is left out.
std::string NameList(const std::vector<Line>& lines, LineKind kind, size_t from,
                     size_t to) {
  std::string list;
  for (size_t i = from; i < to; ++i) {
    if (lines[i].kind != kind || lines[i].name.empty()) continue;
    list.append(lines[i].name);
    list.push_back('\0');
  }
  return list;
}

// A section's entries, each followed by a zero: every key as name=value
// (blanks trimmed, quotes kept) and every other line that is neither blank
// nor a comment as it stands.
std::string EntryList(const std::vector<Line>& lines, Section section) {
  std::string list;
  for (size_t i = section.header + 1; i < section.end; ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::kKey) {
      list.append(line.name).push_back('=');
      list.append(Trim(line.text.substr(line.text.find('=') + 1)));
    } else if (line.kind == LineKind::kOther) {
      list.append(line.text);
    } else {
      continue;
    }
    list.push_back('\0');
  }
  return list;
}

// ---- Reading ---------------------------------------------------------------

// Returns 0 or the errno of the failure; `st` receives the file's status.
int ReadWholeFile(const std::string& path, std::string* text, struct stat* st) {
  UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file || fstat(file.get(), st) != 0) return errno;
  text->clear();
  char chunk[16 * 1024];
  for (;;) {
    ssize_t n = read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text->append(chunk, static_cast<size_t>(n));
  }
}

// Reads a profile: 0 or the errno of the failure.
int ReadProfile(const char* file_name, std::string* text) {
  struct stat st;
  return ReadWholeFile(file_name, text, &st);
}

// The default, without the trailing spaces that Windows strips from it (a
// trailing tab stays).
std::string_view DefaultOf(const char* fallback) {
  std::string_view text = fallback ? fallback : "";
  size_t last = text.find_last_not_of(' ');
  return last == text.npos ? std::string_view() : text.substr(0, last + 1);
}

// One string, cut to size - 1 bytes; returns the bytes stored.
DWORD CopyString(std::string_view text, char* buffer, DWORD size) {
  size_t n = std::min<size_t>(text.size(), size - 1);
  if (n > 0) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// A list (zero-terminated strings) and its final zero. Windows returns a list
// whole only when a byte is left over: one that fills the buffer exactly, or
// does not fit, is cut to size - 2 bytes and still ends in two zeros.
DWORD CopyList(std::string_view list, char* buffer, DWORD size) {
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  size_t n = list.size() + 2 <= size ? list.size() : size - 2;
  if (n > 0) std::memcpy(buffer, list.data(), n);
  buffer[n] = '\0';
  buffer[n + 1] = '\0';  // the final zero, or the end of an empty list
  return static_cast<DWORD>(n);
}

DWORD LookUp(std::string_view text, const char* section, const char* key,
             std::string_view fallback, char* buffer, DWORD size) {
  std::vector<Line> lines = SplitLines(text);
  if (!section) {
    return CopyList(NameList(lines, LineKind::kSection, 0, lines.size()),
                    buffer, size);
  }
  if (key) {
    const Line* line = FindKey(lines, section, key);
    return CopyString(line ? line->value : fallback, buffer, size);
  }
  std::vector<Section> sections = SectionsNamed(lines, Trim(section));
  std::string keys;
  if (!sections.empty()) {
    keys = NameList(lines, LineKind::kKey, sections[0].header + 1,
                    sections[0].end);
  }
  // A section without keys gives the default, as on Windows.
  if (keys.empty()) return CopyString(fallback, buffer, size);
  return CopyList(keys, buffer, size);
}

DWORD GetProfileString(const char* section, const char* key,
                       const char* fallback, char* buffer, DWORD size,
                       const char* file_name) {
  if (!buffer && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (size == 0) {
    if (!file_name) SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A list of sections has no default: where there is no file, it is empty.
  std::string_view default_text = section ? DefaultOf(fallback) : "";
  if (!file_name) {
    DWORD n = CopyString(default_text, buffer, size);
    SetLastError(ERROR_INVALID_PARAMETER);
    return n;
  }
  std::string text;
  if (int err = ReadProfile(file_name, &text)) {
    DWORD n = CopyString(default_text, buffer, size);
    SetLastError(ErrorFromErrno(err));
    return n;
  }
  return LookUp(text, section, key, default_text, buffer, size);
}

// A missing or unnamed file gives an empty string, a missing section an
// empty list; the last error is ERROR_SUCCESS after a read, as on Windows.
DWORD GetProfileSection(const char* section, char* buffer, DWORD size,
                        const char* file_name) {
  if (!section || !buffer || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string text;
  int err = file_name ? ReadProfile(file_name, &text) : ENOENT;
  if (err != 0) {
    buffer[0] = '\0';
    SetLastError(ErrorFromErrno(err));
    return 0;
  }
  std::vector<Line> lines = SplitLines(text);
  std::vector<Section> sections = SectionsNamed(lines, Trim(section));
  std::string entries;
  if (!sections.empty()) entries = EntryList(lines, sections[0]);
  SetLastError(ERROR_SUCCESS);
  return CopyList(entries, buffer, size);
}

// The number a value starts with, as Windows reads it: an optional sign and
// decimal digits up to the first other character, modulo 2^32 ("4294967297"
// is 1, "-1" is 0xFFFFFFFF); a value without digits is 0.
UINT NumberOf(std::string_view text) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative || (!text.empty() && text[0] == '+')) text.remove_prefix(1);
  uint32_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    number = number * 10u + static_cast<uint32_t>(c - '0');
  }
  return negative ? 0u - number : number;
}

// Without a file name the answer is 0, as on Windows; without a section or
// key, or when the key is missing or its value empty, the default.
UINT GetProfileInt(const char* section, const char* key, INT fallback,
                   const char* file_name) {
  if (!file_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT default_number = static_cast<UINT>(fallback);
  if (!section || !key) return default_number;
  std::string text;
  if (int err = ReadProfile(file_name, &text)) {
    SetLastError(ErrorFromErrno(err));
    return default_number;
  }
  std::vector<Line> lines = SplitLines(text);
  const Line* line = FindKey(lines, section, key);
  if (!line || line->value.empty()) return default_number;
  return NumberOf(line->value);
}

// ---- Writing ---------------------------------------------------------------

// New lines end the way the file's first line does; a file without a line
// ending, a new one among them, gets "\r\n" as Windows writes it.
std::string_view LineEnding(std::string_view text) {
  size_t at = text.find_first_of("\r\n");
  if (at == text.npos) return "\r\n";
  if (text[at] == '\n') return "\n";
  return text.compare(at, 2, "\r\n") == 0 ? "\r\n" : "\r";
}

std::string Splice(std::string_view text, size_t from, size_t to,
                   std::string_view insertion) {
  std::string result;
  result.reserve(text.size() + insertion.size());
  result.append(text.substr(0, from));
  result.append(insertion);
  result.append(text.substr(to));
  return result;
}

// The line after which a new key goes: the section's last line that is not
// blank, so blank lines before the next section stay where they are.
size_t LastFilledLine(const std::vector<Line>& lines, Section section) {
  for (size_t i = section.end; i > section.header + 1; --i) {
    if (lines[i - 1].kind != LineKind::kBlank) return i - 1;
  }
  return section.header;
}

std::string WithKeySet(std::string_view text, std::string_view section,
                       std::string_view key, std::string_view value) {
  std::vector<Line> lines = SplitLines(text);
  std::string eol(LineEnding(text));
  std::vector<Section> sections = SectionsNamed(lines, section);
  if (sections.empty()) {
    std::string added(text);
    if (!lines.empty() && lines.back().end == lines.back().stop) added += eol;
    added.append("[").append(section).append("]").append(eol);
    return added.append(key).append("=").append(value).append(eol);
  }
  std::vector<size_t> keys = KeysNamed(lines, sections[0], key);
  if (!keys.empty()) {
    // The key keeps the spelling it has in the file.
    const Line& line = lines[keys[0]];
    std::string replaced = std::string(line.name).append("=").append(value);
    return Splice(text, line.start, line.stop, replaced);
  }
  const Line& after = lines[LastFilledLine(lines, sections[0])];
  std::string insertion = after.end == after.stop ? eol : std::string();
  insertion.append(key).append("=").append(value).append(eol);
  return Splice(text, after.end, after.end, insertion);
}

// Every occurrence in the first section, so no later duplicate shows up.
std::string WithoutKey(std::string_view text, std::string_view section,
                       std::string_view key) {
  std::vector<Line> lines = SplitLines(text);
  std::vector<Section> sections = SectionsNamed(lines, section);
  std::string result(text);
  if (sections.empty()) return result;
  std::vector<size_t> keys = KeysNamed(lines, sections[0], key);
  for (size_t i = keys.size(); i > 0; --i) {
    const Line& line = lines[keys[i - 1]];
    result.erase(line.start, line.end - line.start);
  }
  return result;
}

// Every section of that name, with all its lines up to the next header but
// its comments, which stay, as on Windows.
std::string WithoutSection(std::string_view text, std::string_view section) {
  std::vector<Line> lines = SplitLines(text);
  std::vector<Section> sections = SectionsNamed(lines, section);
  std::string result(text);
  for (size_t s = sections.size(); s > 0; --s) {
    for (size_t i = sections[s - 1].end; i > sections[s - 1].header; --i) {
      const Line& line = lines[i - 1];
      if (line.kind == LineKind::kComment) continue;
      result.erase(line.start, line.end - line.start);
    }
  }
  return result;
}

// Holds the lock that lets one profile writer of a directory at a time
// read, edit and replace a file. Best effort: an unreadable directory is
// written without it.
struct DirectoryLock {
  UniqueFd directory;
  explicit DirectoryLock(const std::string& dir)
      : directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    while (directory && flock(directory.get(), LOCK_EX) != 0 &&
           errno == EINTR) {
    }
  }
};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A profile reached through a symbolic link is written where the link
// points, so that the link survives the rename.
std::string WriteTarget(const char* file_name) {
  struct stat st;
  if (lstat(file_name, &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(file_name, resolved)) return resolved;
  }
  return file_name;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

BOOL WriteProfileString(const char* section, const char* key, const char* value,
                        const char* file_name) {
  std::string path = WriteTarget(file_name);
  DirectoryLock lock(DirectoryOf(path));
  std::string text;
  struct stat st;
  int err = ReadWholeFile(path, &text, &st);
  if (err != 0 && err != ENOENT) {
    SetLastError(ErrorFromErrno(err));
    return FALSE;
  }
  // Blanks around the names go, as they do from the file's names.
  std::string_view name = Trim(section);
  std::string edited = !key     ? WithoutSection(text, name)
                       : !value ? WithoutKey(text, name, Trim(key))
                                : WithKeySet(text, name, Trim(key), value);
  // Nothing to change (or nothing to delete from a missing file).
  if (edited == text) return TRUE;
  int mode = err == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  DWORD rc = WriteFileAtomically(path, mode, true, [&](int fd) -> DWORD {
    return WriteAll(fd, edited) ? ERROR_SUCCESS : ErrorFromErrno(errno);
  });
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return FALSE;
  }
  return TRUE;
}

}  // namespace
}  // namespace kxwin

using namespace kxwin;

DWORD GetPrivateProfileStringA(LPCSTR app_name, LPCSTR key_name,
                               LPCSTR default_text, LPSTR buffer, DWORD size,
                               LPCSTR file_name) {
  return Guarded<DWORD>(0, [&] {
    return GetProfileString(app_name, key_name, default_text, buffer, size,
                            file_name);
  });
}

DWORD GetPrivateProfileSectionA(LPCSTR app_name, LPSTR buffer, DWORD size,
                                LPCSTR file_name) {
  return Guarded<DWORD>(
      0, [&] { return GetProfileSection(app_name, buffer, size, file_name); });
}

DWORD GetPrivateProfileSectionNamesA(LPSTR buffer, DWORD size,
                                     LPCSTR file_name) {
  return Guarded<DWORD>(0, [&] {
    return GetProfileString(nullptr, nullptr, nullptr, buffer, size, file_name);
  });
}

UINT GetPrivateProfileIntA(LPCSTR app_name, LPCSTR key_name, INT fallback,
                           LPCSTR file_name) {
  return Guarded<UINT>(static_cast<UINT>(fallback), [&] {
    return GetProfileInt(app_name, key_name, fallback, file_name);
  });
}

BOOL WritePrivateProfileStringA(LPCSTR app_name, LPCSTR key_name, LPCSTR text,
                                LPCSTR file_name) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (!app_name) {
      // All three null asks Windows to flush its cache; every write here
      // already reached the file.
      if (!key_name && !text) return TRUE;
      SetLastError(ERROR_FILE_NOT_FOUND);  // as Windows answers
      return FALSE;
    }
    if (!file_name) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (!*file_name) {  // as Windows answers for an empty name
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    return WriteProfileString(app_name, key_name, text, file_name);
  });
}
