// kxenv-mkprofile: writes a profile record holding a value block, as an
// earlier installation left them, or prints the pairs of one.
//
//   kxenv-mkprofile FILE SECTION KEY NAME=VALUE...
//   kxenv-mkprofile --dump FILE SECTION KEY
//
// Exit codes: 0 done, 1 the file could not be written or holds no value
// block there, 2 bad arguments.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kxenvprf.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr char kCannotOpen[] =
    "cannot be opened (an empty path, or longer than 263 characters)";

int Usage() {
  std::fputs(
      "usage: kxenv-mkprofile FILE SECTION KEY NAME=VALUE...\n"
      "       kxenv-mkprofile --dump FILE SECTION KEY\n",
      stderr);
  return kUsage;
}

int Fail(const char* file, const char* what) {
  std::fprintf(stderr, "kxenv-mkprofile: %s: %s\n", file, what);
  return kFailed;
}

// A profile handle, closed on every way out.
struct OpenedProfile {
  int handle;
  explicit OpenedProfile(const char* path) : handle(OpenProfile(path)) {}
  OpenedProfile(const OpenedProfile&) = delete;
  OpenedProfile& operator=(const OpenedProfile&) = delete;
  ~OpenedProfile() { CloseProfile(handle); }
};

// NAME=VALUE, split at the first '='; the name must not be empty.
bool ParsePair(const char* argument,
               std::vector<std::pair<std::string, std::string>>* pairs) {
  const char* equals = std::strchr(argument, '=');
  if (!equals || equals == argument) return false;
  pairs->emplace_back(std::string(argument, equals), std::string(equals + 1));
  return true;
}

int Write(const char* file, const char* section, const char* key,
          const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::vector<unsigned char> block = PackValueBlock(pairs);
  if (block.empty() ||
      block.size() > static_cast<std::size_t>(kMaxRecordBytes)) {
    return Fail(file, "the values take more than 32767 bytes");
  }
  OpenedProfile profile(file);
  if (!profile.handle) return Fail(file, kCannotOpen);
  if (!WriteProfileRecord(profile.handle, section, key, block.data(),
                          static_cast<int>(block.size()))) {
    return Fail(file, "cannot be written");
  }
  return 0;
}

int Dump(const char* file, const char* section, const char* key) {
  OpenedProfile profile(file);
  if (!profile.handle) return Fail(file, kCannotOpen);
  int count = 0;
  if (!GetProfileRecordSize(profile.handle, section, key, &count) ||
      count == 0) {
    return Fail(file, "no profile record there");
  }
  std::vector<unsigned char> block(static_cast<std::size_t>(count));
  if (!ReadProfileRecord(profile.handle, section, key, block.data(), count)) {
    return Fail(file, "the record does not decode");
  }
  std::vector<ProfilePair> pairs;
  if (!UnpackValueBlock(block.data(), block.size(), &pairs)) {
    return Fail(file, "the record holds no value block");
  }
  for (const ProfilePair& pair : pairs) {
    std::printf("%s=%s\n", pair.name, pair.value);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--dump") == 0) {
    if (argc != 5) return Usage();
    return Dump(argv[2], argv[3], argv[4]);
  }
  if (argc < 5 || argv[1][0] == '-') return Usage();
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 4; i < argc; ++i) {
    if (!ParsePair(argv[i], &pairs)) return Usage();
  }
  return Write(argv[1], argv[2], argv[3], pairs);
}
