// Helper processes and the store of a test process on Windows. The store is
// a fresh key below HKEY_CURRENT_USER that stands in for HKEY_LOCAL_MACHINE
// (RegOverridePredefKey) in the test process and, through the variable
// KX_REGISTRY (which the kxenv tool reads the same way), in every helper
// it starts.
#include <windows.h>
// after windows.h
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "command_line.h"
#include "holders.h"
#include "platform.h"
#include "testing.h"

namespace kxtest {
namespace {

constexpr char kStoreVariable[] = "KX_REGISTRY";
std::string store_key;

bool UseStoreKey(const std::string& path) {
  kx::UniqueKey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, key.out(),
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegOverridePredefKey(HKEY_LOCAL_MACHINE, key.get()) == ERROR_SUCCESS;
}

// The handles a new process gets as its standard streams are made
// inheritable only while it starts, so that no other child (started by
// another thread meanwhile) holds a pipe end open.
std::mutex start_lock;

struct Started {
  kx::UniqueHandle process;
  DWORD pid = 0;
};

Started Start(const std::vector<std::string>& argv, HANDLE in, HANDLE out,
              HANDLE err, const char* environment = nullptr) {
  std::lock_guard<std::mutex> hold(start_lock);
  for (HANDLE h : {in, out, err}) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  std::string line = CommandLine(argv);
  // Under Wine about one start in a thousand fails with ERROR_INTERNAL_ERROR:
  // the new process died in Wine's own start-up, before any code of the
  // program ran (Wine answers so when a child ends before it reports itself
  // started). Nothing of the test has happened in it, so it is started again.
  BOOL ok = FALSE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0,
                        const_cast<char*>(environment), nullptr, &startup,
                        &info);
    error = ok ? 0 : GetLastError();
    if (error != ERROR_INTERNAL_ERROR) break;
    std::fprintf(stderr, "CreateProcess %s: error 1359, starting it again\n",
                 line.c_str());
  }
  for (HANDLE h : {in, out, err}) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  }
  if (!ok) {
    throw std::runtime_error("CreateProcess " + line + ": error " +
                             std::to_string(error));
  }
  CloseHandle(info.hThread);
  Started started;
  started.process.reset(info.hProcess);
  started.pid = info.dwProcessId;
  return started;
}

int WaitFor(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return static_cast<int>(code);
}

// A copy of this process's standard error for a child to write to.
kx::UniqueHandle StandardError() {
  kx::UniqueHandle copy;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE),
                  GetCurrentProcess(), copy.out(), 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

}  // namespace

std::string SelfPath() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

std::string MakeTempRoot() {
  char base[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, base);
  if (length == 0) return "";
  std::string root = std::string(base, length) + "kxtest." +
                     std::to_string(GetCurrentProcessId()) + "." +
                     std::to_string(GetTickCount());
  return CreateDirectoryA(root.c_str(), nullptr) ? root : "";
}

std::string MakeStore(const std::string&) {
  store_key = "Software\\KxTest\\" + std::to_string(GetCurrentProcessId()) +
              "." + std::to_string(GetTickCount());
  SetEnvironmentVariableA(kStoreVariable, store_key.c_str());
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  GetComputerNameA(name, &size);
  if (!UseStoreKey(store_key)) {
    std::fprintf(stderr, "cannot make the test store HKCU\\%s\n",
                 store_key.c_str());
    std::exit(98);
  }
  // Wine reads the computer name below HKEY_LOCAL_MACHINE, for which the
  // store now stands in: the store holds it too.
  RegSetKeyValueA(HKEY_LOCAL_MACHINE,
                  "System\\CurrentControlSet\\Control\\ComputerName\\"
                  "ActiveComputerName",
                  "ComputerName", REG_SZ, name, size + 1);
  return store_key;
}

void AdoptStore() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA(kStoreVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || !UseStoreKey(path)) {
    std::fprintf(stderr, "no test store to use\n");
    std::exit(98);
  }
}

void RemoveStore() {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, store_key.c_str());
}

Child::Child(const std::string& role, const std::vector<std::string>& args,
             const std::string& executable) {
  kx::UniqueHandle out_read, out_write, in_read, in_write;
  if (!CreatePipe(out_read.out(), out_write.out(), nullptr, 0) ||
      !CreatePipe(in_read.out(), in_write.out(), nullptr, 0)) {
    throw std::runtime_error("CreatePipe");
  }
  std::vector<std::string> argv = {executable, "--kx-role=" + role};
  argv.insert(argv.end(), args.begin(), args.end());
  kx::UniqueHandle err = StandardError();
  Started started = Start(argv, in_read.get(), out_write.get(), err.get());
  process_ = started.process.release();
  pid_ = static_cast<pid_t>(started.pid);
  out_ = out_read.release();
  in_ = in_write.release();
}

Child::Child(Child&& other) noexcept
    : pid_(other.pid_),
      process_(other.process_),
      out_(other.out_),
      in_(other.in_),
      buffered_(std::move(other.buffered_)) {
  other.pid_ = -1;
  other.process_ = other.out_ = other.in_ = nullptr;
}

Child::~Child() {
  if (process_) {
    TerminateProcess(process_, 128 + SIGKILL);
    Wait();
  }
  if (out_) CloseHandle(out_);
}

int Child::Wait() {
  if (in_) CloseHandle(in_);
  in_ = nullptr;
  if (!process_) return -1;
  int code = WaitFor(process_);
  CloseHandle(process_);
  process_ = nullptr;
  pid_ = -1;
  return code;
}

void Child::Kill(int signal) {
  if (process_) TerminateProcess(process_, 128 + signal);
}

size_t Child::ReadSome(char* buffer, size_t size) {
  DWORD n = 0;
  return ::ReadFile(out_, buffer, static_cast<DWORD>(size), &n, nullptr) ? n
                                                                         : 0;
}

bool Child::Tell(const std::string& line) {
  std::string data = line + '\n';
  DWORD written = 0;
  return in_ &&
         ::WriteFile(in_, data.data(), static_cast<DWORD>(data.size()),
                     &written, nullptr) &&
         written == data.size();
}

int RunToEnd(const std::vector<std::string>& argv,
             const std::vector<std::string>& env, const std::string& in_path,
             const std::string& out_path, const std::string& err_path) {
  auto open = [](const std::string& path, DWORD access, DWORD disposition) {
    return kx::UniqueHandle(CreateFileA(path.c_str(), access,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, disposition, 0, nullptr));
  };
  kx::UniqueHandle in = open(in_path, GENERIC_READ, OPEN_EXISTING);
  kx::UniqueHandle out = open(out_path, GENERIC_WRITE, CREATE_ALWAYS);
  kx::UniqueHandle err = open(err_path, GENERIC_WRITE, CREATE_ALWAYS);
  // The environment block: this process's variables with `env` applied,
  // each "NAME=value" ending in a zero, the block in one more.
  std::vector<std::pair<std::string, std::string>> variables;
  auto set = [&](const std::string& word) {
    std::string name = word.substr(0, word.find('='));
    std::erase_if(variables, [&](const auto& v) {
      return _stricmp(v.first.c_str(), name.c_str()) == 0;
    });
    variables.emplace_back(name, word);
  };
  char* inherited = GetEnvironmentStringsA();
  for (const char* v = inherited; *v; v += std::strlen(v) + 1) set(v);
  FreeEnvironmentStringsA(inherited);
  for (const auto& word : env) set(word);
  std::string block;
  for (const auto& v : variables) block += v.second + '\0';
  block += '\0';
  Started started = Start(argv, in.get(), out.get(), err.get(), block.data());
  return WaitFor(started.process.get());
}

}  // namespace kxtest
