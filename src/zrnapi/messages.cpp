// Failure texts, message stacks, locale modules and message texts.
//
// Each thread keeps a stack of message frames. A failure in this library
// records its text in the thread's top frame, where GetMsgString finds it;
// PushMsgStack opens a fresh frame for a stretch of work and PopMsgStack
// drops it, so that the text from before the stretch is current again.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "internal.h"

namespace zrnapi {
namespace {

constexpr size_t kMaxFrames = 64;  // deeper pushes share the top frame

std::string& CurrentText() {
  return ThreadStack().frames.back();
}

// The locale directory: KX_LOCALE_DIR, else where this library's install
// puts the locale modules.
std::string LocaleDirectory() {
  char buffer[MAX_PATH * 4];
  DWORD length =
      GetEnvironmentVariableA("KX_LOCALE_DIR", buffer, sizeof buffer);
  if (length > 0 && length < sizeof buffer) return buffer;
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&LocaleDirectory), &self);
  length = GetModuleFileNameA(self, buffer, sizeof buffer);
  return InstalledLocaleDirectory(
      std::string(buffer, length < sizeof buffer ? length : 0));
}

std::string DefaultLanguage() {
  char language[32];
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language,
                     sizeof language) > 0) {
    return language;
  }
  return "en";
}

// A language code is a short name, never a path.
bool ValidLanguage(const std::string& language) {
  return !language.empty() && language.size() < 16 &&
         language.find_first_of("/\\.") == std::string::npos;
}

}  // namespace

std::string FormatText(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  return text;
}

void RecordFailure(bool quiet, const char* format, ...) {
  try {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatText(format, arguments);
    va_end(arguments);
    if (!quiet) SetTraceStringA(kComponent, "%s\n", text.c_str());
    CurrentText() = std::move(text);
  } catch (...) {
    // Out of memory: the failure itself is what the caller will see.
  }
}

std::string ErrorText(DWORD code) {
  char buffer[512];
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error";
  return text + " (code " + std::to_string(code) + ")";
}

}  // namespace zrnapi

using namespace zrnapi;

LPCSTR GetMsgString(void) {
  return CurrentText().c_str();
}

LPCSTR SetAndGetLastErrorMsg(void) {
  DWORD code = GetLastError();
  try {
    CurrentText() = ErrorText(code);
  } catch (...) {
    CurrentText().clear();
  }
  SetLastError(code);
  return CurrentText().c_str();
}

void PushMsgStack(void) {
  MessageStack& stack = ThreadStack();
  try {
    if (stack.frames.size() < kMaxFrames) {
      stack.frames.emplace_back();
      return;
    }
  } catch (...) {
  }
  ++stack.overflow;
}

void PopMsgStack(void) {
  MessageStack& stack = ThreadStack();
  if (stack.overflow > 0) {
    --stack.overflow;
  } else if (stack.frames.size() > 1) {
    stack.frames.pop_back();
  }
}

DWORD loadLocaleA(LPCSTR name, LPCSTR language, HMODULE* handle) {
  if (!name || !*name || !handle) {
    RecordFailure(false, "loadLocaleA: no module name or handle given");
    return ERROR_INVALID_PARAMETER;
  }
  *handle = nullptr;
  return Guarded("loadLocaleA", DWORD{ERROR_NOT_ENOUGH_MEMORY}, [&]() -> DWORD {
    std::string code = language ? language : DefaultLanguage();
    if (!ValidLanguage(code)) {
      RecordFailure(false, "loadLocaleA: bad language code \"%s\"",
                    code.c_str());
      return ERROR_INVALID_PARAMETER;
    }
    std::string path = LocaleDirectory() + "/" + name + "." + code;
    HMODULE module =
        LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
      DWORD error = GetLastError();
      RecordFailure(true, "loadLocaleA: cannot load %s: %s", path.c_str(),
                    ErrorText(error).c_str());
      return error ? error : ERROR_MOD_NOT_FOUND;
    }
    *handle = module;
    return ERROR_SUCCESS;
  });
}

void freeLocale(HMODULE* handle) {
  if (!handle || !*handle) return;
  FreeLibrary(*handle);
  *handle = nullptr;
}

BOOL FormatMsgString(HMODULE handle, LPSTR buffer, LPDWORD size, DWORD number) {
  if (!buffer || !size) {
    RecordFailure(false, "FormatMsgString: no buffer given");
    return FALSE;
  }
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, handle,
      number, 0, buffer, *size + 1, nullptr);
  if (length == 0) {
    RecordFailure(true, "FormatMsgString: no message %u: %s",
                  static_cast<unsigned>(number),
                  ErrorText(GetLastError()).c_str());
    return FALSE;
  }
  *size = length;
  return TRUE;
}
