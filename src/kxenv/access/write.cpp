// The write path: the exported sets, the dispatcher behind them, and the
// write of one value of a variable key with its time and user.
#include <cstring>
#include <ctime>
#include <string>

#include "internal.h"
#include "seccrypt.h"

namespace {

constexpr DWORD kUserNameSize = 98;
// LastUser when the user's name cannot be had (or does not fit).
constexpr char kUnknownUser[] = "unknown";

DWORD QuerySensitive(const char* path, RegistryOptions& options) {
  DWORD sensitive = 0;
  RegistryValue value[] = {{layout::kSensitive, REG_DWORD, &sensitive, 4},
                           {nullptr, 0, nullptr, 0}};
  RegistryRequest request[] = {{HKEY_LOCAL_MACHINE, path, 0, &options, value},
                               {}};
  QueryRegistry(request);
  return sensitive;
}

// A scrambled copy of a sensitive value. A value that would not read back
// as it was written (control characters, and under the narrow variant
// bytes from 252 up) is refused: storing it would lose it silently.
bool Scrambled(const char* name, const char* value, std::string* copy) {
  if (!seccrypt::ScrambleRoundTrips(value,
                                    seccrypt::CurrentScrambleVariant())) {
    SetTraceStringA(kTraceComponent,
                    "SetRegValue %s: the value holds characters that cannot "
                    "be stored scrambled; not written.\n",
                    name);
    return false;
  }
  *copy = value;
  for (int pass = 0; pass < seccrypt::kScramblePasses; ++pass) {
    ScrambleValue(copy->data(), static_cast<int>(std::strlen(copy->c_str())));
  }
  return true;
}

void UserName(char (&user)[kUserNameSize]) {
  DWORD size = sizeof user;
  if (!GetUserNameA(user, &size)) std::strcpy(user, kUnknownUser);
}

// Commits the write and marks the cache stale. Call with the machine-wide
// mutex held.
bool Finish(const char* name, RegistryRequest* request,
            RegistryTransaction& transaction) {
  AssertMachineMutexHeld();
  bool written = SetRegistry(request) && transaction.Commit();
  CacheDirty();
  if (IsTraceOn()) {
    TimeOfDay now = CurrentTimeOfDay();
    SetTraceStringA(kTraceComponent, "SetRegValue: %s changed at %s.%d.\n",
                    name, now.text, now.milliseconds);
  }
  return written;
}

}  // namespace

bool SetRegValue(int variable_class, const char* name, const char* value_name,
                 const char* value) {
  MessageFrame frame;
  char path[kKeyPathSize];
  if (!VariableKeyPath(variable_class, name, path)) {
    SetTraceStringA(kTraceComponent,
                    "SetRegValue: a name of %zu bytes is too long; refused.\n",
                    std::strlen(name));
    return false;
  }
  // The mark and the write are one transaction under the mutex: the value
  // is scrambled by the mark it is stored beside.
  StoreWrite write;
  if (!write.owned()) {
    SetTraceStringA(kTraceComponent,
                    "SetRegValue %s: not written without the machine-wide "
                    "mutex.\n",
                    name);
    return false;
  }
  RegistryTransaction transaction(0);
  RegistryOptions options = QuietOptions();
  options.transaction = transaction.handle();
  DWORD type = REG_SZ;
  const char* data = value;
  std::string scrambled;
  if (QuerySensitive(path, options)) {
    if (!Scrambled(name, value, &scrambled)) return false;
    type = REG_BINARY;
    data = scrambled.c_str();
  }
  char user[kUserNameSize];
  UserName(user);
  DWORD now = static_cast<DWORD>(std::time(nullptr));
  RegistryValue values[] = {{value_name, type, const_cast<char*>(data),
                             static_cast<DWORD>(std::strlen(value) + 1)},
                            {layout::kLastUser, REG_SZ, user, 0},
                            {layout::kTimeStamp, REG_DWORD, &now, 0},
                            {nullptr, 0, nullptr, 0}};
  RegistryRequest request[] = {{HKEY_LOCAL_MACHINE, path, 0, &options, values},
                               {}};
  return Finish(name, request, transaction);
}

bool SetValue(int variable_class, const char* name, const char* value) {
  if (!name || !IsKeyName(name, "SetValue")) return false;
  if (!value) value = "";
  if (!Initialize()) return false;
  const char* value_name = ClassValueName(variable_class);
  if (!value_name) return false;
  return SetRegValue(variable_class, name, value_name, value);
}

int KXsetenv(const char* name, const char* value) {
  return Guarded("KXsetenv", -1,
                 [&] { return SetValue(VC_ENV, name, value) ? 0 : -1; });
}

int KXsetlocal(const char* name, const char* value) {
  return Guarded("KXsetlocal", -1,
                 [&] { return SetValue(VC_LOCAL, name, value) ? 0 : -1; });
}

int KXsetglobal(const char* name, const char* value) {
  return Guarded("KXsetglobal", -1,
                 [&] { return SetValue(VC_GLOBAL, name, value) ? 0 : -1; });
}

int KXsetopt(const char* name, const char* value) {
  return Guarded("KXsetopt", -1,
                 [&] { return SetValue(VC_OPT, name, value) ? 0 : -1; });
}
