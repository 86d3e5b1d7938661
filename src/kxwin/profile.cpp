// Profile (INI) files: GetPrivateProfileStringA and
// WritePrivateProfileStringA with the rules Windows applies.
//
// A file is read as lines ending in "\n" or "\r\n". After blanks are
// trimmed, a line starting with ';' is a comment, one starting with '[' opens
// a section (named by the text up to ']'), and one holding '=' is a key with
// its value; any other line is kept but means nothing. Lines before the first
// section belong to none. Names compare without regard to case; where a
// section or a key appears twice, the first wins on reading.
//
// A write changes only the lines it must: the file is edited as text, so
// comments, blank lines, order and line endings survive byte for byte. The
// edited file replaces the old one through a temporary file and a rename
// (WriteFileAtomically), so a reader never sees half a file. Writers of
// profiles in one directory take turns under a lock on that directory;
// without it, two processes editing one file would lose each other's keys.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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

constexpr std::string_view kBlanks = " \t\r";

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

enum class LineKind { kOther, kSection, kKey };

// One line of the file; offsets are into the whole text.
struct Line {
  size_t start;  // first byte
  size_t stop;   // end of the content, before "\r\n" or "\n"
  size_t end;    // after the line ending; equals stop on a last bare line
  LineKind kind = LineKind::kOther;
  bool blank = true;
  std::string_view name;   // section name or key, trimmed
  std::string_view value;  // a key's value, trimmed and unquoted
};

void Classify(std::string_view content, Line* line) {
  std::string_view text = Trim(content);
  line->blank = text.empty();
  if (text.empty() || text[0] == ';') return;
  if (text[0] == '[') {
    size_t close = text.find(']', 1);
    line->kind = LineKind::kSection;
    line->name =
        Trim(text.substr(1, close == text.npos ? text.npos : close - 1));
    return;
  }
  size_t equals = text.find('=');
  if (equals == text.npos) return;
  line->kind = LineKind::kKey;
  line->name = Trim(text.substr(0, equals));
  line->value = Unquote(Trim(text.substr(equals + 1)));
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    size_t stop = newline == text.npos ? text.size() : newline;
    size_t end = newline == text.npos ? text.size() : newline + 1;
    if (stop > start && text[stop - 1] == '\r') --stop;
    Line line{start, stop, end, LineKind::kOther, true, {}, {}};
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

// Names of the given kind in [from, to), each once, first spelling kept.
std::vector<std::string_view> NamesOf(const std::vector<Line>& lines,
                                      LineKind kind, size_t from, size_t to) {
  std::vector<std::string_view> names;
  for (size_t i = from; i < to; ++i) {
    if (lines[i].kind != kind || lines[i].name.empty()) continue;
    bool seen = false;
    for (std::string_view name : names) {
      seen = seen || CompareNoCase(name, lines[i].name) == 0;
    }
    if (!seen) names.push_back(lines[i].name);
  }
  return names;
}

// ---- Reading ---------------------------------------------------------------

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int value) : fd(value) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

// Returns 0 or the errno of the failure; `st` receives the file's status.
int ReadWholeFile(const std::string& path, std::string* text, struct stat* st) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0 || fstat(file.fd, st) != 0) return errno;
  text->clear();
  char chunk[16 * 1024];
  for (;;) {
    ssize_t n = read(file.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text->append(chunk, static_cast<size_t>(n));
  }
}

// The default, without the trailing blanks that Windows strips from it.
std::string_view DefaultOf(const char* fallback) {
  std::string_view text = fallback ? fallback : "";
  size_t last = text.find_last_not_of(" \t");
  return last == text.npos ? std::string_view() : text.substr(0, last + 1);
}

// One string, cut to size - 1 bytes; returns the bytes stored.
DWORD CopyString(std::string_view text, char* buffer, DWORD size) {
  size_t n = std::min<size_t>(text.size(), size - 1);
  if (n > 0) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// Zero-terminated strings and a final zero. A list that does not fit is
// cut to size - 2 bytes and still ends in two zeros, as on Windows.
DWORD CopyList(const std::vector<std::string_view>& items, char* buffer,
               DWORD size) {
  std::string joined;
  for (std::string_view item : items) {
    joined.append(item);
    joined.push_back('\0');
  }
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  size_t n = joined.size() < size ? joined.size() : size - 2;
  if (n > 0) std::memcpy(buffer, joined.data(), n);
  buffer[n] = '\0';
  buffer[n + 1] = '\0';  // the final zero, or the end of an empty list
  return static_cast<DWORD>(n);
}

DWORD LookUp(std::string_view text, const char* section, const char* key,
             std::string_view fallback, char* buffer, DWORD size) {
  std::vector<Line> lines = SplitLines(text);
  if (!section) {
    return CopyList(NamesOf(lines, LineKind::kSection, 0, lines.size()), buffer,
                    size);
  }
  std::vector<Section> sections = SectionsNamed(lines, section);
  if (!key) {
    std::vector<std::string_view> keys;
    if (!sections.empty()) {
      keys = NamesOf(lines, LineKind::kKey, sections[0].header + 1,
                     sections[0].end);
    }
    // A section without keys gives the default, as on Windows.
    if (keys.empty()) return CopyString(fallback, buffer, size);
    return CopyList(keys, buffer, size);
  }
  if (!sections.empty()) {
    std::vector<size_t> keys = KeysNamed(lines, sections[0], key);
    if (!keys.empty()) return CopyString(lines[keys[0]].value, buffer, size);
  }
  return CopyString(fallback, buffer, size);
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
  std::string_view default_text = DefaultOf(fallback);
  if (!file_name) {
    DWORD n = CopyString(default_text, buffer, size);
    SetLastError(ERROR_INVALID_PARAMETER);
    return n;
  }
  std::string text;
  struct stat st;
  if (int err = ReadWholeFile(file_name, &text, &st)) {
    DWORD n = CopyString(default_text, buffer, size);
    SetLastError(ErrorFromErrno(err));
    return n;
  }
  return LookUp(text, section, key, default_text, buffer, size);
}

// ---- Writing ---------------------------------------------------------------

// New lines end the way the file's first line does.
std::string_view LineEnding(std::string_view text) {
  size_t newline = text.find('\n');
  if (newline != text.npos && newline > 0 && text[newline - 1] == '\r') {
    return "\r\n";
  }
  return "\n";
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
    if (!lines[i - 1].blank) return i - 1;
  }
  return section.header;
}

std::string WithKeySet(std::string_view text, const char* section,
                       const char* key, const char* value) {
  std::vector<Line> lines = SplitLines(text);
  std::string eol(LineEnding(text));
  std::vector<Section> sections = SectionsNamed(lines, section);
  if (sections.empty()) {
    std::string added(text);
    if (!added.empty() && added.back() != '\n') added += eol;
    return added + "[" + section + "]" + eol + key + "=" + value + eol;
  }
  std::vector<size_t> keys = KeysNamed(lines, sections[0], key);
  if (!keys.empty()) {
    // The key keeps the spelling it has in the file.
    const Line& line = lines[keys[0]];
    std::string replaced = std::string(line.name) + "=" + value;
    return Splice(text, line.start, line.stop, replaced);
  }
  const Line& after = lines[LastFilledLine(lines, sections[0])];
  std::string insertion = after.end == after.stop ? eol : std::string();
  insertion += std::string(key) + "=" + value + eol;
  return Splice(text, after.end, after.end, insertion);
}

// Every occurrence in the first section, so no later duplicate shows up.
std::string WithoutKey(std::string_view text, const char* section,
                       const char* key) {
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

// Every section of that name, with all its lines up to the next header.
std::string WithoutSection(std::string_view text, const char* section) {
  std::vector<Line> lines = SplitLines(text);
  std::vector<Section> sections = SectionsNamed(lines, section);
  std::string result(text);
  for (size_t i = sections.size(); i > 0; --i) {
    const Section& gone = sections[i - 1];
    size_t from = lines[gone.header].start;
    size_t to = gone.end < lines.size() ? lines[gone.end].start : text.size();
    result.erase(from, to - from);
  }
  return result;
}

// Holds the lock that lets one profile writer of a directory at a time
// read, edit and replace a file. Best effort: an unreadable directory is
// written without it.
struct DirectoryLock {
  int fd;
  explicit DirectoryLock(const std::string& dir)
      : fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() {
    if (fd >= 0) close(fd);
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
  std::string edited = !key     ? WithoutSection(text, section)
                       : !value ? WithoutKey(text, section, key)
                                : WithKeySet(text, section, key, value);
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

BOOL WritePrivateProfileStringA(LPCSTR app_name, LPCSTR key_name, LPCSTR text,
                                LPCSTR file_name) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (!app_name) {
      // All three null asks Windows to flush its cache; every write here
      // already reached the file.
      if (!key_name && !text) return TRUE;
      SetLastError(ERROR_INVALID_PARAMETER);
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
