#include "testing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>
#include <utility>

#include "platform.h"

namespace kxtest {
namespace {

std::map<std::string, RoleFunction>& Roles() {
  static std::map<std::string, RoleFunction> roles;
  return roles;
}

// Set by main before any test runs.
std::string temp_root, store_dir;

constexpr const char kRoleFlag[] = "--kx-role=";

}  // namespace

RoleRegistration::RoleRegistration(const char* name, RoleFunction fn) {
  Roles()[name] = std::move(fn);
}

const std::string& StoreDir() {
  return store_dir;
}

int ReplayFuzzInputs(const std::string& fixtures, const std::string& target,
                     FuzzCheck check) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(fixtures) / target)) {
    std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.starts_with(".")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<unsigned char> input{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(check(input.data(), input.size())) << target << "/" << name;
    ++replayed;
  }
  return replayed;
}

std::string MakeTempDir(const std::string& tag) {
  static int counter = 0;
  std::string dir = temp_root + "/" + tag + std::to_string(++counter);
  std::filesystem::create_directories(dir);
  return dir;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit,
               std::chrono::milliseconds step) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// The program's output goes to files, so that a full pipe cannot stop it.
Ran RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, const std::string& input) {
  const std::string dir = MakeTempDir("run");
  WriteFile(dir + "/in", input);
  try {
    int status = RunToEnd(argv, env, dir + "/in", dir + "/out", dir + "/err");
    return {status, ReadFile(dir + "/out"), ReadFile(dir + "/err")};
  } catch (const std::exception& error) {
    return {127, "", error.what()};
  }
}

std::string Child::ReadLine() {
  for (;;) {
    auto newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    char chunk[256];
    size_t n = ReadSome(chunk, sizeof chunk);
    if (n == 0) return std::exchange(buffered_, std::string());
    buffered_.append(chunk, n);
  }
}

std::string Child::ReadLines() {
  std::string all;
  for (std::string line; !(line = ReadLine()).empty();) all += line + '\n';
  return all;
}

std::string FirstLine(const std::string& role,
                      const std::vector<std::string>& args) {
  Child child(role, args);
  std::string said = child.ReadLine();
  int status = child.Wait();
  return status ? "ended with status " + std::to_string(status) : said;
}

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

std::string Hear() {
  std::string line;
  std::getline(std::cin, line);
  return line;
}

}  // namespace kxtest

// A helper process runs its role and exits; a test process makes its
// temporary store first, so that every helper it starts inherits it.
int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], kxtest::kRoleFlag,
                                sizeof kxtest::kRoleFlag - 1) == 0) {
    kxtest::AdoptStore();
    std::string role = argv[1] + sizeof kxtest::kRoleFlag - 1;
    auto found = kxtest::Roles().find(role);
    if (found == kxtest::Roles().end()) {
      std::fprintf(stderr, "unknown role %s\n", role.c_str());
      return 99;
    }
    return found->second(std::vector<std::string>(argv + 2, argv + argc));
  }
  kxtest::temp_root = kxtest::MakeTempRoot();
  if (kxtest::temp_root.empty()) return 98;
  kxtest::store_dir = kxtest::MakeStore(kxtest::temp_root);
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  kxtest::RemoveStore();
  // A test may have taken write permission away somewhere; give it back so
  // that nothing is left behind.
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(
           kxtest::temp_root, error)) {
    std::filesystem::permissions(entry.path(),
                                 std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
  }
  std::filesystem::remove_all(kxtest::temp_root, error);
  return rc;
}
