// Module handles and module file names.
//
// Two kinds of module handle exist, told apart by the low bit:
// - a loaded object (the executable or a shared object) is named by its load
//   base as dladdr reports it (dli_fbase), as a Windows HMODULE is the base
//   address of its image. A base is page-aligned, so its low bit is 0. The
//   loader owns these objects: no reference count is kept here, and
//   FreeLibrary of such a handle unloads nothing.
// - a file that LoadLibraryExA opened as data is a row of a process-wide
//   table; its handle is the row's serial number shifted left with the low
//   bit set, as Windows marks data-file modules. Serials are never reused,
//   so a freed handle stays invalid.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "internal.h"

namespace kxwin {
namespace {

constexpr DWORD kModuleHandlePin = GET_MODULE_HANDLE_EX_FLAG_PIN;
constexpr DWORD kModuleHandleFlags =
    kModuleHandlePin | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;

// ---- Data-file modules

struct DataFileTable {
  OwnedMutex mutex{LockRank::kLeaf};
  uintptr_t last_serial = 0;               // guarded by mutex
  std::map<uintptr_t, std::string> paths;  // handle -> path; guarded by mutex
};

// Never destroyed: a static destructor or another thread may still free a
// module while the process exits.
DataFileTable& DataFiles() {
  static DataFileTable* table = new DataFileTable;
  return *table;
}

bool IsDataFileHandle(HMODULE module) {
  return reinterpret_cast<uintptr_t>(module) & 1;
}

HMODULE RememberDataFile(std::string path) {
  DataFileTable& table = DataFiles();
  std::lock_guard lock(table.mutex);
  uintptr_t handle = (++table.last_serial << 1) | 1;
  table.paths.emplace(handle, std::move(path));
  return reinterpret_cast<HMODULE>(handle);
}

bool DataFilePath(HMODULE module, std::string* path) {
  DataFileTable& table = DataFiles();
  std::lock_guard lock(table.mutex);
  auto found = table.paths.find(reinterpret_cast<uintptr_t>(module));
  if (found == table.paths.end()) return false;
  *path = found->second;
  return true;
}

bool ForgetDataFile(HMODULE module) {
  DataFileTable& table = DataFiles();
  std::lock_guard lock(table.mutex);
  return table.paths.erase(reinterpret_cast<uintptr_t>(module)) == 1;
}

// The error that opening `path` as a data file meets, or ERROR_SUCCESS.
// Windows reports a module it cannot find as ERROR_MOD_NOT_FOUND, whatever
// part of the path is missing.
DWORD CheckDataFile(const char* path) {
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file) {
    return errno == ENOENT || errno == ENOTDIR ? ERROR_MOD_NOT_FOUND
                                               : ErrorFromErrno(errno);
  }
  struct stat info;
  if (fstat(file.get(), &info) != 0) return ErrorFromErrno(errno);
  // Windows cannot open a directory as a file either.
  return S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// ---- Loaded objects

// Made absolute against the current directory and with "." and ".."
// removed lexically, as Windows makes a full path; links stay unresolved.
std::string LexicalAbsolute(std::string_view path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

// The executable's path, from the kernel; sets the last error on failure.
bool ExecutablePath(std::string* path) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      Fail(ErrorFromErrno(errno));
      return false;
    }
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      *path = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// The base of the loaded object that holds `address`; null when none does.
void* BaseContaining(const void* address) {
  Dl_info where{};
  if (!address || !dladdr(address, &where)) return nullptr;
  return where.dli_fbase;
}

// The object's load base as dladdr reports it, asked for an address surely
// inside the object: the start of its first loadable segment.
void* LoadBaseOf(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    if (info.dlpi_phdr[i].p_type == PT_LOAD) {
      return BaseContaining(reinterpret_cast<const void*>(
          info.dlpi_addr + info.dlpi_phdr[i].p_vaddr));
    }
  }
  return nullptr;
}

struct LoadedObject {
  std::string name;  // as the loader knows it; empty for the executable
  void* base;
};

struct ObjectWalk {
  bool executable_only;
  std::vector<LoadedObject> objects;
  bool failed = false;
};

// The loaded objects, the executable first (the loader lists it first).
std::vector<LoadedObject> LoadedObjects(bool executable_only) {
  ObjectWalk walk{executable_only, {}};
  // No exception may unwind through the loader's C frames.
  auto visit = [](dl_phdr_info* info, size_t, void* data) noexcept -> int {
    auto* walk = static_cast<ObjectWalk*>(data);
    try {
      walk->objects.push_back(
          {info->dlpi_name ? info->dlpi_name : "", LoadBaseOf(*info)});
    } catch (...) {
      walk->failed = true;
      return 1;
    }
    return walk->executable_only ? 1 : 0;
  };
  dl_iterate_phdr(visit, &walk);
  if (walk.failed || walk.objects.empty()) throw std::bad_alloc();
  return walk.objects;
}

void* ExecutableBase() {
  return LoadedObjects(true).front().base;
}

std::string_view FileNameOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A name with a '/' is compared as a full path, any other name with the file
// name of each object: Linux has no search order of modules to apply.
void* BaseNamed(std::string_view name) {
  bool by_path = name.find('/') != std::string_view::npos;
  std::string wanted = by_path ? LexicalAbsolute(name) : std::string(name);
  std::vector<LoadedObject> objects = LoadedObjects(false);
  for (size_t i = 0; i < objects.size(); ++i) {
    std::string path = objects[i].name;
    if (i == 0 && !ExecutablePath(&path)) continue;
    if (path.empty()) continue;
    if (by_path ? LexicalAbsolute(path) == wanted
                : FileNameOf(path) == wanted) {
      return objects[i].base;
    }
  }
  return nullptr;
}

// The file of a module handle; sets the last error on failure.
bool ModulePath(HMODULE module, std::string* path) {
  if (!module) return ExecutablePath(path);
  if (IsDataFileHandle(module)) {
    if (DataFilePath(module, path)) return true;
    Fail(ERROR_MOD_NOT_FOUND);
    return false;
  }
  Dl_info where{};
  if (!dladdr(module, &where) || where.dli_fbase != module) {
    Fail(ERROR_MOD_NOT_FOUND);
    return false;
  }
  // dladdr names the executable by argv[0], which need not be a path.
  if (!where.dli_fname || !*where.dli_fname || module == ExecutableBase()) {
    return ExecutablePath(path);
  }
  // Only the kernel's vDSO has a name without a '/', and it is no file.
  std::string_view name = where.dli_fname;
  *path = name.find('/') == std::string_view::npos ? std::string(name)
                                                   : LexicalAbsolute(name);
  return true;
}

// Keeps a loaded object mapped until the process ends: a library whose
// threads may outlive its unloading pins itself. The executable needs none.
bool Pin(void* base) {
  if (base == ExecutableBase()) return true;
  Dl_info where{};
  if (!dladdr(base, &where) || !where.dli_fname) return false;
  void* handle =
      dlopen(where.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  if (!handle) return false;
  dlclose(handle);  // RTLD_NODELETE stays with the object
  return true;
}

// Windows XP's truncation: nSize - 1 characters, a terminator, and nSize.
DWORD CopyModulePath(const std::string& path, char* out, DWORD size) {
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    std::memcpy(out, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  std::memcpy(out, path.data(), size - 1);
  out[size - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

}  // namespace

OwnedMutex& DataFilesLock() {
  return DataFiles().mutex;
}

}  // namespace kxwin

using namespace kxwin;

DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  return Guarded<DWORD>(0, [&]() -> DWORD {
    if (size > 0 && !file_name) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string path;
    if (!ModulePath(module, &path)) return 0;
    return CopyModulePath(path, file_name, size);
  });
}

BOOL GetModuleHandleExA(DWORD flags, LPCSTR module_name, HMODULE* module) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    if (module) *module = nullptr;
    if (!module || (flags & ~kModuleHandleFlags) ||
        ((flags & kModuleHandlePin) &&
         (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    void* base = (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
                     ? BaseContaining(module_name)
                 : module_name ? BaseNamed(module_name)
                               : ExecutableBase();
    if (!base) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if ((flags & kModuleHandlePin) && !Pin(base)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    *module = static_cast<HMODULE>(base);
    return TRUE;
  });
}

HMODULE LoadLibraryExA(LPCSTR file_name, HANDLE file, DWORD flags) {
  return Guarded<HMODULE>(nullptr, [&]() -> HMODULE {
    if (!file_name || !*file_name || file ||
        flags != LOAD_LIBRARY_AS_DATAFILE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    // The path is made full before it is opened, as on Windows, so a
    // ".." may follow a directory that does not exist.
    std::string path = LexicalAbsolute(file_name);
    if (DWORD error = CheckDataFile(path.c_str()); error != ERROR_SUCCESS) {
      SetLastError(error);
      return nullptr;
    }
    return RememberDataFile(std::move(path));
  });
}

BOOL FreeLibrary(HMODULE module) {
  return Guarded<BOOL>(FALSE, [&]() -> BOOL {
    bool known = IsDataFileHandle(module)
                     ? ForgetDataFile(module)
                     : module && BaseContaining(module) == module;
    if (!known) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return TRUE;
  });
}
