// The checks of items, one row per hostile or good item: names by the
// store's key name rule and length, values as the store holds them, and
// Global values against their definition as the table describes one.
#include "validate.h"

#include <gtest/gtest.h>

namespace kxsync {
namespace {

using namespace std::string_literals;

TEST(Validate, ItemsTheStoreCannotHoldAsTheyStandAreRefused) {
  const struct {
    std::string key, value;
    bool good;
  } rows[] = {
      {"global/KXH_GOOD", "good", true},
      {"global/KXH_ÜBER", "x", true},
      {"global/", "x", false},
      {"global/A\\B", "x", false},
      {"global/A\nB", "x", false},
      {"global/" + std::string(300, 'A'), "x", false},
      {"global/kxh_über", "x", false},
      {"global/KXH_NUL", "a\0b"s, false},
      {"sensitive/KXH_S", "41424300", true},
      {"sensitive/KXH_S", "00", true},
      {"sensitive/KXH_S", "0102", false},
      {"sensitive/KXH_S", "4142", false},
      {"sensitive/KXH_S", "41004200", false},
      {"sensitive/KXH_S", "41424G00", false},
      {"def/ENV/KXA_PORT", R"({"Default":"1","MaxSize":5,"Choices":["1"]})",
       true},
      {"def/ENV/KXA_PORT", "{bad", false},
      {"def/ENV/KXA_PORT", "{}", false},
      {"def/ENV/KXA_PORT", R"(["Default"])", false},
      {"def/OPT/KXA_PORT", R"({"Local":"x"})", false},
      {"def/ENV/KXA_PORT", R"({"MaxSize":-1})", false},
      {"def/ENV/KXA_PORT", R"({"MaxSize":1.5})", false},
      {"def/ENV/KXA_PORT", R"({"MaxSize":4294967296})", false},
      {"def/ENV/KXA_PORT", R"({"Choices":["a",""]})", false},
      {"def/ENV/KXA_PORT", R"({"Choices":"a"})", false},
      {"def/ENV/KXA_PORT", R"({"Default":"a\u0000b"})", false},
      {"def/ENV/KXA_PORT", R"({"App":"A\\B"})", false},
      {"app/KXAGENT", R"({"values":{},"ENV":["KXA_PORT"],"OPT":[]})", true},
      {"app/", R"({"values":{},"ENV":[],"OPT":[]})", false},
      {"app/KXAGENT", R"({"values":{},"ENV":[]})", false},
      {"app/KXAGENT", R"({"values":{"Default":"x"},"ENV":[],"OPT":[]})", false},
      {"app/KXAGENT", R"({"values":{},"ENV":["A\nB"],"OPT":[]})", false},
  };
  for (const auto& row : rows) {
    std::string canonical;
    EXPECT_EQ(ItemFault(row.key, row.value, canonical).empty(), row.good)
        << Printable(row.key) << " = " << Printable(row.value);
  }
}

TEST(Validate, AGlobalValueOutsideItsDefinitionIsFound) {
  const struct {
    const char *value, *definition;
    bool within;
  } rows[] = {
      {"de", R"({"ChoiceType":"LIST","Choices":["en","de"]})", true},
      {"fr", R"({"ChoiceType":"LIST","Choices":["en","de"]})", false},
      {"65535", R"({"ChoiceType":"RANGE","Choices":["1","65535"]})", true},
      {"65536", R"({"ChoiceType":"RANGE","Choices":["1","65535"]})", false},
      {"0", R"({"ChoiceType":"range","Choices":["1","65535"]})", false},
      {"http", R"({"ChoiceType":"RANGE","Choices":["1","65535"]})", false},
      {"12", R"({"DataType":"NUMBER"})", true},
      {"1x", R"({"DataType":"NUMBER"})", false},
      {"Y", R"({"DataType":"FLAG"})", true},
      {"yes", R"({"DataType":"FLAG"})", false},
      {"12345", R"({"MaxSize":5})", true},
      {"123456", R"({"MaxSize":5})", false},
      {"", R"({"DataType":"NUMBER","MaxSize":1})", true},
      {"a|b", R"({"ChoiceType":"","Choices":["a|b"]})", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(OutsideDefinition(row.value, row.definition).empty(), row.within)
        << row.value << " against " << row.definition;
  }
}

}  // namespace
}  // namespace kxsync
