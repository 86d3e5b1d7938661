// SaveRegistry, RestoreRegistry, CompareRegistry and ConvertRegistryFile:
// a key with its subtree as a save file (savefile.h: REGEDIT4, version 5 or
// JSON; the formats are explained in their own files).
//
// Saving reads the whole subtree inside one transaction, so the file is one
// snapshot of the store, writes the text to a temporary file beside the
// target and moves it over the target: a reader sees the old file or the
// whole new one. Without `replace` the move itself refuses to replace, so a
// file that somebody made meanwhile is kept. A name that the format cannot
// carry (a line break in REGEDIT4, bytes that are not UTF-8 in JSON) is
// left out, and the save, done otherwise, leaves a warning that names each
// one where GetMsgString finds it (a backup that fails as a whole helps
// nobody).
//
// Restoring reads the whole file into a key list before it touches the
// store, so a file with any error restores nothing. The format is found
// from the content: UTF-16LE after its byte order mark is decoded first, a
// UTF-8 byte order mark is skipped; then '{' starts JSON, and the first
// line names REGEDIT4 or version 5. Every key of the file must be the
// target key or below it. restoreplan.cpp then compares the list with the
// store in one transaction and writes what differs, or only reports it. A
// replace from a file that holds no key at all would only empty the target
// (a save cut short leaves just the header), so it is refused unless the
// caller allows it with RESTORE_ALLOW_EMPTY.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "regedit5.h"
#include "savefile.h"

namespace zrnapi {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Win32's longest key name, in bytes without the terminator.
constexpr DWORD kMaxKeyName = 255;
// Win32's longest value name.
constexpr DWORD kMaxValueName = 16383;

// ---- Failures ---------------------------------------------------------

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

// ---- Reading the store ------------------------------------------------------

// Reads value `index` into `value`, growing the buffers once when the
// sizes that RegQueryInfoKeyA gave were short.
LSTATUS ReadValue(HKEY key, DWORD index, std::vector<char>& name,
                  std::vector<BYTE>& data, ValueEntry* value) {
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

std::vector<ValueEntry> ReadValues(const char* function, HKEY key,
                                   const std::string& path) {
  DWORD name_length = 0, data_length = 0;
  Check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, &name_length, &data_length, nullptr,
                         nullptr),
        function + (": cannot read " + KeyName(path)));
  std::vector<char> name(name_length + 1);
  std::vector<BYTE> data(std::max<DWORD>(data_length, 1));
  std::vector<ValueEntry> values;
  for (DWORD index = 0;; ++index) {
    ValueEntry value;
    LSTATUS status = ReadValue(key, index, name, data, &value);
    if (status == ERROR_NO_MORE_ITEMS) return values;
    Check(status, function + (": cannot read the values of " + KeyName(path)));
    values.push_back(std::move(value));
  }
}

std::vector<std::string> ReadSubkeyNames(const char* function, HKEY key,
                                         const std::string& path) {
  std::vector<std::string> names;
  char name[kMaxKeyName + 1];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr,
                                   nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    Check(status, function + (": cannot list the subkeys of " + KeyName(path)));
    names.emplace_back(name, length);
  }
}

// ---- Saving -------------------------------------------------------------

// The save file's key list of the key at `path`, read as one snapshot.
KeyList TakeSnapshot(const std::string& path) {
  TransactionHolder transaction;
  BeginTransaction("SaveRegistry", &transaction);
  kx::UniqueKey key;
  Check(RegOpenKeyTransactedA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ,
                              key.out(), transaction.handle, nullptr),
        "SaveRegistry: cannot open " + KeyName(path));
  KeyList keys;
  ReadTree("SaveRegistry", key.get(), path, transaction.handle, &keys);
  return keys;  // nothing was written: the transaction is rolled back
}

// Leaves the warning of a save that left names out for GetMsgString (and
// the trace): `why` says what the names hold that the format cannot carry.
void WarnLeftOut(LPCSTR file, const char* why,
                 const std::vector<std::string>& left_out) {
  if (left_out.empty()) return;
  std::string names;
  for (const std::string& name : left_out) {
    names += (names.empty() ? "" : ", ") + name;
  }
  RecordFailure(false, "SaveRegistry: %s was saved without %zu name%s %s: %s",
                file, left_out.size(), left_out.size() == 1 ? "" : "s", why,
                names.c_str());
}

constexpr char kNotRegedit4[] =
    "holding a line break, which a REGEDIT4 file cannot carry";
constexpr char kNotJson[] =
    "that are not UTF-8, which a JSON file cannot carry";

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

// The text of a file: UTF-16 decoded, a UTF-8 byte order mark skipped.
std::string Decoded(std::string bytes, const char* file) {
  std::string text, error;
  if (IsUtf16File(bytes)) {
    if (!DecodeUtf16File(bytes, &text, &error)) {
      Fail("RestoreRegistry: %s, %s", file, error.c_str());
    }
    return text;
  }
  if (bytes.starts_with(kByteOrderMark)) bytes.erase(0, kByteOrderMark.size());
  return bytes;
}

// The REGEDIT4 text of a text in either registry format.
std::string AsVersion4(std::string text, const char* file) {
  std::string version4, error;
  if (!IsVersion5(text)) return text;
  if (!Version5ToVersion4(text, &version4, &error)) {
    Fail("RestoreRegistry: %s, %s", file, error.c_str());
  }
  return version4;
}

// Copies a text into memory that the caller frees with ZRNFreeMemory.
LPSTR HandedOut(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// A restore's key list, refused when a replace would only empty the key.
KeyList KeysToRestore(const std::string& target, LPCSTR file, BOOL replace) {
  KeyList keys = ReadSaveFile(file, target);
  if (keys.empty() && replace && !(replace & RESTORE_ALLOW_EMPTY)) {
    Fail(
        "RestoreRegistry: %s holds no key of %s, so a replace would only "
        "empty it",
        file, KeyName(target).c_str());
  }
  return keys;
}

}  // namespace

[[noreturn]] void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatText(format, args);
  va_end(args);
  throw Failure{std::move(text)};
}

std::string KeyName(const std::string& path) {
  return std::string(kRootName) + '\\' + path;
}

void Check(LSTATUS status, const std::string& what) {
  if (status != ERROR_SUCCESS) {
    Fail("%s: %s", what.c_str(), ErrorText(static_cast<DWORD>(status)).c_str());
  }
}

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

std::string Shown(std::string_view name) {
  std::string shown;
  for (char c : name) {
    shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return shown;
}

bool IsAtOrBelow(const std::string& path, const std::string& target) {
  // Case folding keeps the length of every character, so byte counts of
  // the two line up.
  auto* p = reinterpret_cast<const unsigned char*>(path.c_str());
  auto* t = reinterpret_cast<const unsigned char*>(target.c_str());
  if (path.size() == target.size()) return _mbsicmp(p, t) == 0;
  return path.size() > target.size() && path[target.size()] == '\\' &&
         _mbsnbicmp(p, t, target.size()) == 0;
}

void ReadTree(const char* function, HKEY key, const std::string& path,
              HANDLE transaction, KeyList* keys) {
  keys->push_back({path, ReadValues(function, key, path)});
  for (const std::string& name : ReadSubkeyNames(function, key, path)) {
    std::string child_path = path + '\\' + name;
    kx::UniqueKey child;
    Check(RegOpenKeyTransactedA(key, name.c_str(), 0, KEY_READ, child.out(),
                                transaction, nullptr),
          function + (": cannot open " + KeyName(child_path)));
    ReadTree(function, child.get(), child_path, transaction, keys);
  }
}

KeyList ReadSaveFile(const char* file, const std::string& target) {
  std::string text = Decoded(ReadWholeFile(file), file);
  if (IsJson(text)) return ParseJson(text, file, target);
  return ParseRegedit4(AsVersion4(std::move(text), file), file, target);
}

}  // namespace zrnapi

using namespace zrnapi;

BOOL SaveRegistry(HKEY root, LPCSTR path, LPCSTR file, BOOL replace) {
  return Guard("SaveRegistry", "", [&] {
    std::string target = TargetPath("SaveRegistry", root, path, file);
    if (target.find('\n') != std::string::npos) {
      Fail(
          "SaveRegistry: the key %s holds a line break, which a REGEDIT4 file "
          "cannot carry",
          Shown(KeyName(target)).c_str());
    }
    // Checked early to save the work; the final move checks again.
    if (!replace && GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
      Fail("SaveRegistry: %s exists already and is not to be replaced", file);
    }
    std::vector<std::string> left_out;
    std::string text = Regedit4Text(TakeSnapshot(target), &left_out);
    WriteSaveFile(text, file, replace != FALSE);
    WarnLeftOut(file, kNotRegedit4, left_out);
  });
}

BOOL RestoreRegistry(HKEY root, LPCSTR path, LPCSTR file, BOOL replace) {
  return Guard("RestoreRegistry", "; nothing was restored", [&] {
    std::string target = TargetPath("RestoreRegistry", root, path, file);
    RestoreKeys(target, KeysToRestore(target, file, replace), replace != FALSE);
  });
}

BOOL CompareRegistry(HKEY root, LPCSTR path, LPCSTR file, BOOL replace,
                     LPSTR* report) {
  if (report) *report = nullptr;
  return Guard("CompareRegistry", "", [&] {
    std::string target = TargetPath("CompareRegistry", root, path, file);
    if (!report) Fail("CompareRegistry: the report pointer is null");
    KeyList keys = KeysToRestore(target, file, replace);
    *report = HandedOut(CompareKeys(target, keys, replace != FALSE));
  });
}

BOOL ConvertRegistryFile(LPCSTR source, LPCSTR target, BOOL replace,
                         DWORD version) {
  return Guard("ConvertRegistryFile", "", [&] {
    if (!source || !target ||
        (version != 4 && version != 5 && version != REGISTRY_FORMAT_JSON)) {
      Fail(
          "ConvertRegistryFile: two files and the version 4, 5 or "
          "REGISTRY_FORMAT_JSON are needed");
    }
    if (!replace && GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) {
      Fail("ConvertRegistryFile: %s exists already and is not to be replaced",
           target);
    }
    KeyList keys = ReadSaveFile(source, "");
    std::vector<std::string> left_out;
    bool json = version == REGISTRY_FORMAT_JSON;
    std::string text =
        json ? JsonText(keys, &left_out) : Regedit4Text(keys, &left_out);
    std::string error;
    if (version == 5 && !Version4ToVersion5(std::string(text), &text, &error)) {
      Fail("ConvertRegistryFile: %s, %s", source, error.c_str());
    }
    WriteSaveFile(text, target, replace != FALSE);
    WarnLeftOut(target, json ? kNotJson : kNotRegedit4, left_out);
  });
}
