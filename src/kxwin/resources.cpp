// Messages of modules, the stand-in for message-table resources, and
// FormatMessageA, which reads them and the texts of the system's codes.
//
// A locale module is a POSIX message catalog that LoadLibraryExA opened as
// a data file; its messages are set 1 of the catalog. A loaded object (a
// shared library or the executable) carries its messages as an exported
// KXWIN_STRING_TABLE. Catalogs are opened once per path and kept open for
// the life of the process: a process loads few of them, and catgets on an
// open catalog is cheap and thread-safe.
#include <dlfcn.h>
#include <nl_types.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "internal.h"

namespace kxwin {
namespace {

constexpr int kMessageSet = 1;

OwnedMutex catalogs_lock{LockRank::kLeaf};

nl_catd CatalogAt(const std::string& path) {
  static auto& catalogs = *new std::map<std::string, nl_catd>;
  std::lock_guard guard(catalogs_lock);
  auto found = catalogs.find(path);
  if (found != catalogs.end()) return found->second;
  nl_catd catalog = catopen(path.c_str(), NL_CAT_LOCALE);
  if (catalog != reinterpret_cast<nl_catd>(-1)) catalogs.emplace(path, catalog);
  return catalog;
}

bool CatalogMessage(const std::string& path, DWORD id, std::string* text) {
  nl_catd catalog = CatalogAt(path);
  if (catalog == reinterpret_cast<nl_catd>(-1)) {
    return FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND, false);
  }
  static const char missing[] = "";
  const char* found =
      catgets(catalog, kMessageSet, static_cast<int>(id), missing);
  if (found == missing) return FailWith(ERROR_MR_MID_NOT_FOUND, false);
  *text = found;
  return true;
}

// A handle of dlopen, closed on every way out.
struct DlTraits {
  static constexpr void* kNone = nullptr;
  static bool Empty(void* handle) { return handle == nullptr; }
  static int Close(void* handle) { return dlclose(handle); }
};
using LoadedHandle = kx::Holder<void*, DlTraits>;

// The dlopen handle of a loaded object: the executable for a null module.
void* OpenLoaded(HMODULE module) {
  HMODULE executable = nullptr;
  GetModuleHandleExA(0, nullptr, &executable);
  // The executable is no library that dlopen could find by its path.
  if (!module || module == executable) return dlopen(nullptr, RTLD_LAZY);
  char path[4096];
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  // The object is loaded already; this only finds its handle.
  return dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
}

bool TableMessage(HMODULE module, DWORD id, std::string* text) {
  LoadedHandle object(OpenLoaded(module));
  if (!object) return FailWith(ERROR_MOD_NOT_FOUND, false);
  auto* table = static_cast<const KXWIN_STRING_TABLE*>(
      dlsym(object.get(), KXWIN_STRING_TABLE_SYMBOL));
  if (!table) return FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND, false);
  if (id == 0 || id > table->count || !table->texts[id]) {
    return FailWith(ERROR_MR_MID_NOT_FOUND, false);
  }
  *text = table->texts[id];
  return true;
}

// Message `id` of a module (a message catalog loaded as a data file, or a
// loaded object's string table); false with the last error set when there
// is none.
bool ModuleMessage(HMODULE module, DWORD id, std::string* text) {
  if (reinterpret_cast<uintptr_t>(module) & 1) {
    char path[4096];
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path) return false;
    return CatalogMessage(path, id, text);
  }
  return TableMessage(module, id, text);
}

// The text that FormatMessageA's flags ask for; false with the last error
// set when there is none.
bool MessageText(DWORD flags, LPCVOID source, DWORD id, std::string* text) {
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    auto* module = static_cast<HMODULE>(const_cast<void*>(source));
    if (ModuleMessage(module, id, text)) return true;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) return false;
  }
  const char* system = SystemErrorText(id);
  if (!system) return FailWith(ERROR_MR_MID_NOT_FOUND, false);
  // System texts end in CR LF, as on Windows.
  *text = std::string(system) + "\r\n";
  return true;
}

}  // namespace

OwnedMutex& CatalogsLock() {
  return catalogs_lock;
}

}  // namespace kxwin

using namespace kxwin;

HANDLE LocalFree(HANDLE memory) {
  std::free(memory);
  return nullptr;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD,
                     LPSTR buffer, DWORD size, void*) {
  return Guarded<DWORD>(0, [&]() -> DWORD {
    constexpr DWORD kSources =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE;
    if (!(flags & kSources) || (flags & FORMAT_MESSAGE_FROM_STRING) ||
        !buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string message;
    if (!MessageText(flags, source, message_id, &message)) return 0;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
      char* copy = static_cast<char*>(std::malloc(message.size() + 1));
      if (!copy) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      }
      std::memcpy(copy, message.c_str(), message.size() + 1);
      *reinterpret_cast<char**>(buffer) = copy;
      return static_cast<DWORD>(message.size());
    }
    if (message.size() + 1 > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, message.c_str(), message.size() + 1);
    return static_cast<DWORD>(message.size());
  });
}
