// Registry requests: reading, writing and deleting keys and values, one
// call at a time and as a whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kxwin_test_util.h"
#include "testing.h"
#include "zrnapi/zrnapi.h"

namespace {

constexpr char kKey[] = "Software\\Requests\\Var";

RegistryRequest Request(const char* path, RegistryValue* values,
                        RegistryOptions* options = nullptr) {
  return {HKEY_LOCAL_MACHINE, path, 0, options, values};
}

}  // namespace

TEST(QueryRegistry, NullDataGetsTypeAndSizeAndBuffersGetTheData) {
  DWORD number = 42;
  RegistryValue written[] = {
      {"Text", REG_SZ, const_cast<char*>("hello"), 0},
      {"Number", REG_DWORD, &number, 0},
      {"Multi", REG_MULTI_SZ, const_cast<char*>("a\0bc\0"), 0},
      {nullptr, 0, nullptr, 0}};
  RegistryRequest write[] = {Request(kKey, written), {}};
  ASSERT_TRUE(CreateRegistry(write));

  RegistryValue sizes[] = {{"Text", REG_NONE, nullptr, 0},
                           {"Number", REG_NONE, nullptr, 0},
                           {"Multi", REG_NONE, nullptr, 0},
                           {"Missing", REG_SZ, nullptr, 7},
                           {nullptr, 0, nullptr, 0}};
  RegistryRequest query[] = {Request(kKey, sizes), {}};
  ASSERT_TRUE(QueryRegistry(query));
  EXPECT_EQ(sizes[0].type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(sizes[0].size, 6u);  // with the terminator
  EXPECT_EQ(sizes[1].type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(sizes[1].size, 4u);
  EXPECT_EQ(sizes[2].size, 6u);  // "a", "bc" and the closing empty string
  EXPECT_EQ(sizes[3].size, 0u);  // absent, and no failure

  char text[6], cut[3];
  DWORD read_number = 0;
  RegistryValue data[] = {{"Text", REG_SZ, text, sizeof text},
                          {"Text", REG_SZ, cut, sizeof cut},
                          {"NUMBER", REG_DWORD, &read_number, 4},
                          {nullptr, 0, nullptr, 0}};
  RegistryRequest read[] = {Request("software\\REQUESTS\\var", data), {}};
  ASSERT_TRUE(QueryRegistry(read));
  EXPECT_STREQ(text, "hello");
  EXPECT_EQ(std::string(cut, data[1].size), "hel");  // at most its size
  EXPECT_EQ(read_number, 42u);
}

TEST(QueryRegistry, RequestWithoutValuesTestsThatTheKeyExists) {
  RegistryRequest exists[] = {Request("Software", nullptr), {}};
  RegistryOptions quiet{REGISTRY_OPTION_QUIET, nullptr, {}};
  RegistryRequest missing[] = {Request("Software\\Nowhere", nullptr, &quiet),
                               {}};
  RegistryValue create[] = {{"v", REG_SZ, const_cast<char*>("x"), 0},
                            {nullptr, 0, nullptr, 0}};
  RegistryRequest make[] = {Request("Software", create), {}};
  ASSERT_TRUE(CreateRegistry(make));
  EXPECT_TRUE(QueryRegistry(exists));
  EXPECT_FALSE(QueryRegistry(missing));
  EXPECT_NE(std::strstr(GetMsgString(), "Software\\Nowhere"), nullptr)
      << GetMsgString();
}

TEST(WriteRequests, SeveralKeysAreWrittenTogetherAndSizesDefault) {
  RegistryValue first[] = {{"a", REG_SZ, const_cast<char*>("1"), 0},
                           {nullptr, 0, nullptr, 0}};
  BYTE bytes[] = {1, 2, 3};
  RegistryValue second[] = {{"b", REG_BINARY, bytes, sizeof bytes},
                            {"empty", REG_SZ, nullptr, 0},
                            {nullptr, 0, nullptr, 0}};
  RegistryRequest write[] = {Request("Software\\Multi\\One", first),
                             Request("Software\\Multi\\Two\\Deep", second),
                             {}};
  ASSERT_TRUE(SetRegistry(write));
  kxtest::Key key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Multi\\Two\\Deep", 0,
                          KEY_READ, key.out()),
            ERROR_SUCCESS);
  EXPECT_EQ(kxtest::GetText(key, "empty"), "");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "b", nullptr, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
}

TEST(WriteRequests, FailingItemLeavesNothingOfTheCallBehind) {
  std::string overlong = "Software\\Multi\\" + std::string(300, 'x');
  RegistryValue values[] = {{"a", REG_SZ, const_cast<char*>("1"), 0},
                            {nullptr, 0, nullptr, 0}};
  RegistryRequest write[] = {Request("Software\\Whole\\First", values),
                             Request(overlong.c_str(), values),
                             {}};
  EXPECT_FALSE(CreateRegistry(write));
  EXPECT_STRNE(GetMsgString(), "");
  RegistryRequest first[] = {Request("Software\\Whole\\First", nullptr), {}};
  EXPECT_FALSE(QueryRegistry(first));
}

TEST(DeleteRequests, ValuesAndKeysGoAndMissingOnesAreNoFailure) {
  RegistryValue values[] = {{"keep", REG_SZ, const_cast<char*>("1"), 0},
                            {"drop", REG_SZ, const_cast<char*>("2"), 0},
                            {nullptr, 0, nullptr, 0}};
  RegistryRequest write[] = {Request("Software\\Del\\App\\ENV", values), {}};
  ASSERT_TRUE(CreateRegistry(write));
  RegistryValue drop[] = {{"drop", REG_SZ, nullptr, 0},
                          {"never-there", REG_SZ, nullptr, 0},
                          {nullptr, 0, nullptr, 0}};
  RegistryRequest delete_values[] = {Request("Software\\Del\\App\\ENV", drop),
                                     Request("Software\\Del\\Absent", drop),
                                     {}};
  EXPECT_TRUE(DeleteRegistryValues(delete_values));
  char text[8];
  RegistryValue check[] = {{"keep", REG_SZ, text, sizeof text},
                           {"drop", REG_SZ, nullptr, 0},
                           {nullptr, 0, nullptr, 0}};
  RegistryRequest query[] = {Request("Software\\Del\\App\\ENV", check), {}};
  ASSERT_TRUE(QueryRegistry(query));
  EXPECT_STREQ(text, "1");
  EXPECT_EQ(check[1].size, 0u);

  // An application key goes with its subkeys.
  RegistryRequest delete_keys[] = {Request("Software\\Del\\App", nullptr),
                                   Request("Software\\Del\\Absent", nullptr),
                                   {}};
  EXPECT_TRUE(DeleteRegistry(delete_keys));
  RegistryRequest gone[] = {Request("Software\\Del\\App", nullptr), {}};
  EXPECT_FALSE(QueryRegistry(gone));
  RegistryRequest root[] = {Request("\\", nullptr), {}};
  EXPECT_FALSE(DeleteRegistry(root));
}

TEST(RequestBadInput, NullRequestsPathsAndRootsFailWithAText) {
  EXPECT_FALSE(QueryRegistry(nullptr));
  EXPECT_FALSE(SetRegistry(nullptr));
  EXPECT_FALSE(DeleteRegistry(nullptr));
  RegistryRequest no_path[] = {
      {HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, nullptr}, {}};
  EXPECT_FALSE(CreateRegistry(no_path));
  RegistryRequest other_root[] = {
      {HKEY_CURRENT_USER, "Software", 0, nullptr, nullptr}, {}};
  EXPECT_FALSE(DeleteRegistryValues(other_root));
  EXPECT_NE(std::strstr(GetMsgString(), "HKEY_LOCAL_MACHINE"), nullptr);
}

// ---- A reader in another process never sees half of a write.

KX_ROLE(write_pairs) {
  for (int i = 1; i <= 200; ++i) {
    std::string n = std::to_string(i);
    RegistryValue values[] = {{"A", REG_SZ, n.data(), 0},
                              {"B", REG_SZ, n.data(), 0},
                              {nullptr, 0, nullptr, 0}};
    RegistryRequest write[] = {Request("Software\\Pairs", values), {}};
    if (!SetRegistry(write)) return 1;
  }
  return 0;
}

TEST(WriteRequests, ReaderInAnotherProcessSeesEveryWriteWhole) {
  RegistryValue zero[] = {{"A", REG_SZ, const_cast<char*>("0"), 0},
                          {"B", REG_SZ, const_cast<char*>("0"), 0},
                          {nullptr, 0, nullptr, 0}};
  RegistryRequest start[] = {Request("Software\\Pairs", zero), {}};
  ASSERT_TRUE(SetRegistry(start));
  kxtest::Child writer("write_pairs");
  for (int reads = 0; reads < 100000; ++reads) {
    char a[8], b[8];
    RegistryValue values[] = {{"A", REG_SZ, a, sizeof a},
                              {"B", REG_SZ, b, sizeof b},
                              {nullptr, 0, nullptr, 0}};
    RegistryRequest read[] = {Request("Software\\Pairs", values), {}};
    ASSERT_TRUE(QueryRegistry(read));
    ASSERT_STREQ(a, b) << "after " << reads << " reads";
    if (std::string(a) == "200") break;
  }
  EXPECT_EQ(writer.Wait(), 0);
}
