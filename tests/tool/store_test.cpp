// The store's files as the tool leaves them, and what the tool says about a
// store that cannot be used.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "testing.h"
#include "tool_runner.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
bool GiveUpRoot() {
  return true;
}

// The tool on a console of the role's own; a line from the test (Tell)
// ends it as a user at that console would, with Ctrl-C.
int Run(const std::vector<std::string>& words, bool unwritable) {
  std::string line;
  for (const std::string& word : words) line += '"' + word + "\" ";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  if (unwritable) {
    startup.hStdOutput = CreateFileA("NUL", GENERIC_READ, 0, &inherited,
                                     OPEN_EXISTING, 0, nullptr);
  }
  FreeConsole();
  AllocConsole();
  PROCESS_INFORMATION tool{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &tool)) {
    return 8;
  }
  SetConsoleCtrlHandler(nullptr, TRUE);  // the Ctrl-C is for the tool
  char c;
  DWORD n = 0, code = 8;
  if (ReadFile(startup.hStdInput, &c, 1, &n, nullptr) && n == 1)
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  WaitForSingleObject(tool.hProcess, INFINITE);
  GetExitCodeProcess(tool.hProcess, &code);
  return static_cast<int>(code);
}
#else
// For a user who may not write what root made.
bool GiveUpRoot() {
  return geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
}

// Becomes the tool, its standard error on its standard output.
int Run(const std::vector<std::string>& words, bool unwritable) {
  dup2(STDOUT_FILENO, STDERR_FILENO);
  if (unwritable) dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
  std::vector<char*> argv;
  for (const std::string& word : words)
    argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  return 8;
}
#endif

// The tool with its standard error on its standard output, for a Child to
// read in order. A leading "nobody" makes root give up root first, then
// "unwritable" gives it a standard output that cannot be written (full or
// read-only); NAME=VALUE arguments go into its environment.
KX_ROLE(tool) {
  size_t i = 0;
  if (!args.empty() && args[0] == "nobody" && ++i && !GiveUpRoot()) return 9;
  bool unwritable = i < args.size() && args[i] == "unwritable" && ++i;
  for (; i < args.size() && args[i].find('=') != std::string::npos; ++i) {
    putenv(const_cast<char*>(args[i].c_str()));
  }
  std::vector<std::string> words = {kxtest::ToolPath()};
  words.insert(words.end(), args.begin() + i, args.end());
  return Run(words, unwritable);
}

}  // namespace

#ifndef _WIN32  // kxwin's database file; on Windows the store is the registry
namespace {

// The tool as nobody on the store `dir`, with its trace: all it wrote.
std::string AsUser(const std::string& dir, std::vector<std::string> args) {
  args.insert(args.begin(),
              {"nobody", "KX_REGISTRY=" + dir, "KX_TRACE=stderr"});
  kxtest::Child child("tool", args);
  std::string all = child.ReadLines();
  child.Wait();
  return all;
}

}  // namespace

TEST(ToolStore, OneOffSetsLeaveEverythingInTheDatabaseFileWritableByItsOwner) {
  const std::string dir = kxtest::MakeTempDir("oneoff") + "/store";
  const std::string store = "KX_REGISTRY=" + dir;
  mode_t umask_before = umask(0);
  for (int i = 0; i < 12; ++i) {
    kxtest::RunTool({"set", "KXT_ONEOFF" + std::to_string(i), "v"}, {store});
  }
  umask(umask_before);
  for (const char* file :
       {"", "/registry.db", "/registry.db-wal", "/registry.db-shm"}) {
    EXPECT_EQ(fs::status(dir + file).permissions(),
              fs::perms(*file ? 0644 : 0755))
        << file;
  }
  EXPECT_LT(fs::file_size(dir + "/registry.db-wal"), 64u * 1024);
  const std::string copy = kxtest::MakeTempDir("copy");
  fs::copy_file(dir + "/registry.db", copy + "/registry.db");
  for (const char* name : {"KXT_ONEOFF0", "KXT_ONEOFF11"}) {
    EXPECT_EQ(kxtest::RunTool({"get", name}, {"KX_REGISTRY=" + copy}).out,
              "v\n");
  }
}

// Each row breaks a store that holds KXT_KEPT: a set, get and list that
// fail say which file and what is wrong, and the trace names the failure;
// a store that can still be read still gives what it holds.
TEST(ToolStore, AStoreThatCannotBeUsedIsNamedWithWhatIsWrong) {
  using Damage = std::function<void(const std::string& db)>;
  struct Row {
    const char* name;
    Damage damage;
    const char* words;
    const char* traced;  // the store's error code in the trace
    bool readable;
  };
  const Row rows[] = {
      {"truncated", [](auto& db) { fs::resize_file(db, 2000); }, "is damaged",
       "(code 1009)", false},
      {"zeroed",
       [](auto& db) {
         auto size = fs::file_size(db);
         kxtest::WriteFile(db, std::string(size, '\0'));
       },
       "is damaged", "(code 1009)", false},
      {"garbage",
       [](auto& db) { kxtest::WriteFile(db, std::string(8192, 'x')); },
       "is damaged", "(code 1009)", false},
      {"directory",
       [](auto& db) {
         fs::remove(db);
         fs::create_directory(db);
       },
       "cannot be opened", "(code 1011)", false},
      {"read-only",
       [](auto& db) {
         for (auto& file : fs::directory_iterator(fs::path(db).parent_path()))
           fs::permissions(file, fs::perms(0444));
         fs::permissions(fs::path(db).parent_path(), fs::perms(0555));
       },
       "is read-only", "(code 5)", true},
  };
  fs::permissions(fs::path(kxtest::MakeTempDir("x")).parent_path(),
                  fs::perms(0755));  // for the user's runs
  for (const Row& row : rows) {
    const std::string dir = kxtest::MakeTempDir(row.name);
    kxtest::RunTool({"set", "KXT_KEPT", "kept"}, {"KX_REGISTRY=" + dir});
    // The user locks and watches as a member of the objects file's group
    // does, so that a set reaches the store.
    fs::permissions(dir + "/objects", fs::perms(0666));
    row.damage(dir + "/registry.db");
    const std::string trouble =
        "the store " + dir + "/registry.db " + row.words;
    for (const auto& [command, kept] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"set", "KXT_KEPT", "new"}, ""},
             {{"get", "KXT_KEPT"}, "\nkept\n"},
             {{"list"}, "KXT_KEPT=kept\n"}}) {
      std::string out = AsUser(dir, command);
      std::string where = std::string(row.name) + ", " + command[0];
      bool read = row.readable && !kept.empty();
      EXPECT_TRUE(kxtest::Has(out, read ? kept : "kxenv: " + trouble)) << where;
      if (!read) {
        EXPECT_TRUE(kxtest::Has(out, row.traced)) << where;
      }
    }
    fs::permissions(dir, fs::perms(0755));  // so that it can be removed
  }
}
#endif
