// Registry requests: reading, writing and deleting keys and values, one
// call at a time and as a whole.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "kxwin_test_util.h"
#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace {

constexpr RegistryValue kEnd = {nullptr, 0, nullptr, 0};

RegistryRequest Request(const char* path, RegistryValue* values,
                        RegistryOptions* options = nullptr) {
  return {HKEY_LOCAL_MACHINE, path, 0, options, values};
}

RegistryValue Text(const char* name, const char* text) {
  return {name, REG_SZ, const_cast<char*>(text), 0};
}

// Whether the key exists, by a request without values.
bool Exists(const char* path) {
  RegistryRequest test[] = {Request(path, nullptr), {}};
  return QueryRegistry(test);
}

}  // namespace

TEST(QueryRegistry, NullDataGetsTypeAndSizeAndBuffersGetTheData) {
  DWORD number = 42;
  RegistryValue written[] = {
      Text("Text", "hello"),
      {"Number", REG_DWORD, &number, 0},
      {"Multi", REG_MULTI_SZ, const_cast<char*>("a\0bc\0"), 0},
      kEnd};
  RegistryRequest write[] = {Request("Software\\Requests\\Var", written), {}};
  ASSERT_TRUE(CreateRegistry(write));

  RegistryValue sizes[] = {{"Text", REG_NONE, nullptr, 0},
                           {"Number", REG_NONE, nullptr, 0},
                           {"Multi", REG_NONE, nullptr, 0},
                           {"Missing", REG_SZ, nullptr, 7},
                           kEnd};
  RegistryRequest query[] = {Request("Software\\Requests\\Var", sizes), {}};
  ASSERT_TRUE(QueryRegistry(query));
  // Text with its terminator; Multi "a", "bc" and the closing empty string;
  // Missing absent, and no failure.
  EXPECT_EQ(std::tuple(sizes[0].type, sizes[0].size, sizes[1].type,
                       sizes[1].size, sizes[2].size, sizes[3].size),
            std::tuple(DWORD{REG_SZ}, 6u, DWORD{REG_DWORD}, 4u, 6u, 0u));

  char text[6], cut[3], gone[4] = "xyz";
  DWORD read_number = 0;
  RegistryValue data[] = {{"Text", REG_SZ, text, sizeof text},
                          {"Text", REG_SZ, cut, sizeof cut},
                          {"NUMBER", REG_DWORD, &read_number, 4},
                          {"Missing", REG_SZ, gone, sizeof gone},
                          kEnd};
  RegistryRequest read[] = {Request("software\\REQUESTS\\var", data), {}};
  ASSERT_TRUE(QueryRegistry(read));
  EXPECT_STREQ(text, "hello");
  EXPECT_STREQ(gone, "");  // a missing text reads as empty
  EXPECT_EQ(data[3].size, 0u);
  EXPECT_EQ(std::string(cut, data[1].size), "hel");  // at most its size
  EXPECT_EQ(read_number, 42u);
  // A request without values tests that the key exists.
  EXPECT_TRUE(Exists("Software"));
  RegistryOptions quiet{REGISTRY_OPTION_QUIET, nullptr, {}};
  RegistryRequest missing[] = {Request("Software\\Nowhere", nullptr, &quiet),
                               {}};
  EXPECT_FALSE(QueryRegistry(missing));
  EXPECT_NE(std::strstr(GetMsgString(), "Software\\Nowhere"), nullptr)
      << GetMsgString();
}

TEST(WriteRequests, SeveralKeysAreWrittenTogetherOrNoneAtAll) {
  if (!KxwinRegistryTransactions()) GTEST_SKIP() << "Wine has no KTM registry";
  RegistryValue first[] = {Text("a", "1"), kEnd};
  BYTE bytes[] = {1, 2, 3};
  RegistryValue second[] = {{"b", REG_BINARY, bytes, sizeof bytes},
                            {"empty", REG_SZ, nullptr, 0},
                            kEnd};
  RegistryRequest write[] = {Request("Software\\Multi\\One", first),
                             Request("Software\\Multi\\Two\\Deep", second),
                             {}};
  ASSERT_TRUE(SetRegistry(write));
  kxtest::Key key;
  ASSERT_EQ(kxtest::OpenKey("Software\\Multi\\Two\\Deep", key.out()), 0);
  EXPECT_EQ(kxtest::GetText(key, "empty"), "");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "b", nullptr, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_TRUE(Exists("Software\\Multi\\One"));
  // A failing item leaves nothing of the call behind.
  std::string overlong = "Software\\Multi\\" + std::string(300, 'x');
  RegistryRequest failing[] = {Request("Software\\Whole\\First", first),
                               Request(overlong.c_str(), first),
                               {}};
  EXPECT_FALSE(CreateRegistry(failing));
  EXPECT_STRNE(GetMsgString(), "");
  EXPECT_FALSE(Exists("Software\\Whole\\First"));
}

TEST(DeleteRequests, ValuesAndKeysGoAndMissingOnesAreNoFailure) {
  RegistryValue values[] = {Text("keep", "1"), Text("drop", "2"), kEnd};
  RegistryRequest write[] = {Request("Software\\Del\\App\\ENV", values), {}};
  ASSERT_TRUE(CreateRegistry(write));
  RegistryValue drop[] = {Text("drop", nullptr), Text("never-there", nullptr),
                          kEnd};
  RegistryRequest delete_values[] = {Request("Software\\Del\\App\\ENV", drop),
                                     Request("Software\\Del\\Absent", drop),
                                     {}};
  EXPECT_TRUE(DeleteRegistryValues(delete_values));
  char text[8];
  RegistryValue check[] = {
      {"keep", REG_SZ, text, sizeof text}, Text("drop", nullptr), kEnd};
  RegistryRequest query[] = {Request("Software\\Del\\App\\ENV", check), {}};
  ASSERT_TRUE(QueryRegistry(query));
  EXPECT_STREQ(text, "1");
  EXPECT_EQ(check[1].size, 0u);

  // An application key goes with its subkeys.
  RegistryRequest delete_keys[] = {Request("Software\\Del\\App", nullptr),
                                   Request("Software\\Del\\Absent", nullptr),
                                   {}};
  EXPECT_TRUE(DeleteRegistry(delete_keys));
  EXPECT_FALSE(Exists("Software\\Del\\App"));
  RegistryRequest root[] = {Request("\\", nullptr), {}};
  EXPECT_FALSE(DeleteRegistry(root));
}

TEST(RequestBadInput, NullRequestsPathsAndRootsFailWithAText) {
  EXPECT_FALSE(QueryRegistry(nullptr));
  EXPECT_FALSE(SetRegistry(nullptr));
  EXPECT_FALSE(DeleteRegistry(nullptr));
  RegistryRequest no_path[] = {Request(nullptr, nullptr), {}};
  EXPECT_FALSE(CreateRegistry(no_path));
  RegistryRequest other_root[] = {
      {HKEY_CURRENT_USER, "Software", 0, nullptr, nullptr}, {}};
  EXPECT_FALSE(DeleteRegistryValues(other_root));
  EXPECT_NE(std::strstr(GetMsgString(), "HKEY_LOCAL_MACHINE"), nullptr);
}

// ---- A reader in another process never sees half of a write.

// Writes pairs 1, 2, ... until the file named in its argument exists.
KX_ROLE(write_pairs) {
  for (int i = 1; kxtest::ReadFile(args.at(0)) == "<missing>"; ++i) {
    std::string n = std::to_string(i);
    RegistryValue values[] = {Text("A", n.c_str()), Text("B", n.c_str()), kEnd};
    RegistryRequest write[] = {Request("Software\\Pairs", values), {}};
    if (!SetRegistry(write)) return 1;
  }
  return 0;
}

// The reader goes on until it has seen 100 writes, so it reads while they
// happen.
TEST(WriteRequests, ReaderInAnotherProcessSeesEveryWriteWhole) {
  if (!KxwinRegistryTransactions()) GTEST_SKIP() << "Wine has no KTM registry";
  RegistryValue zero[] = {Text("A", "0"), Text("B", "0"), kEnd};
  RegistryRequest start[] = {Request("Software\\Pairs", zero), {}};
  ASSERT_TRUE(SetRegistry(start));
  std::string stop = kxtest::MakeTempDir("pairs") + "/stop";
  kxtest::Child writer("write_pairs", {stop});
  std::set<std::string> seen;
  for (int reads = 0; reads < 1000000 && seen.size() < 100; ++reads) {
    char a[12], b[12];
    RegistryValue values[] = {
        {"A", REG_SZ, a, sizeof a}, {"B", REG_SZ, b, sizeof b}, kEnd};
    RegistryRequest read[] = {Request("Software\\Pairs", values), {}};
    ASSERT_TRUE(QueryRegistry(read));
    ASSERT_STREQ(a, b) << "after " << reads << " reads";
    seen.insert(a);
  }
  kxtest::WriteFile(stop, "");
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(seen.size(), 100u);
}
