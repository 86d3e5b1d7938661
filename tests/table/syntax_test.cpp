// The line syntax of the variable table and of the control file, over every
// row kind and the malformed lines around them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "table.h"

namespace {

// A line in a buffer of the size the loader reads with, parsed in place.
struct ParsedLine {
  explicit ParsedLine(const std::string& text) {
    std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
    result = ParseTableLine(buffer, &record, &keyword);
  }
  char buffer[kTableLineSize] = {};
  VariableRecord record{};
  char* keyword = nullptr;
  int result;
};

std::vector<std::string> Items(const char* multi) {
  std::vector<std::string> items;
  for (; multi && *multi; multi += std::strlen(multi) + 1)
    items.push_back(multi);
  return items;
}

std::string Str(const char* text) {
  return text ? text : "(null)";
}

TEST(TableLine, LinesWithoutARowAreRefused) {
  for (const char* line :
       {"# comment \"A\" \"B\"", "* comment \"A\" \"B\"", "", "\n",
        "no quotes at all", " # blank first, then no quotes", "\"unmatched"}) {
    ParsedLine parsed(line);
    EXPECT_LT(parsed.result, 0) << line;
  }
}

TEST(TableLine, RowsLackingAMandatoryFieldAreSkippedWhole) {
  for (const char* line : {
           "\"APP\" \"SAMPLEAPP\"",
           "\"COMP\"",
           "\"FILE\" \"ENVGLBL\" \"\" \"VARS\" \"KXIGLBL0000\"",
           // a variable row that ends with its choices field
           "\"ENV\" \"X\" \"APP\" \"%s<1>\" \"8\" \"STRING\" \"LIST\" \"a|b\"",
           // a field that never closes ends the row
           "\"ENV\" \"X\" \"APP\" \"%s<1>\" \"8\" \"STRING\" \"\" \"\" \"def",
       }) {
    ParsedLine parsed(line);
    EXPECT_LT(parsed.result, 0) << line;
    EXPECT_EQ(parsed.record.name, nullptr) << line;
  }
}

TEST(TableLine, ApplicationAndComponentRowsFillNameAndDescription) {
  ParsedLine app("\"App\"  \"SAMPLEAPP\"  \"%s<900>\" \"extra\"");
  ASSERT_EQ(app.result, 0);
  EXPECT_STREQ(app.keyword, "App");
  EXPECT_STREQ(app.record.name, "SAMPLEAPP");
  EXPECT_STREQ(app.record.description, "%s<900>");
  EXPECT_EQ(app.record.app, nullptr);
  EXPECT_EQ(app.record.defaultValue, nullptr);

  ParsedLine comp("\"comp\",\"AGENT\",\"the agent\"");
  ASSERT_EQ(comp.result, 0);
  EXPECT_STREQ(comp.record.name, "AGENT");
}

TEST(TableLine, FileRowsPutTheirFieldsWhereTheLoaderLooks) {
  ParsedLine parsed(
      "\"file\" \"ENVGLBL\" \"old values\" \"SAMPLEVARS\" \"KXIGLBL0000\" "
      "\"oldvars.ini\"");
  ASSERT_EQ(parsed.result, 0);
  EXPECT_STREQ(parsed.keyword, "file");
  EXPECT_STREQ(parsed.record.name, "ENVGLBL");
  EXPECT_STREQ(parsed.record.description, "old values");
  EXPECT_STREQ(parsed.record.app, "SAMPLEVARS");
  EXPECT_STREQ(parsed.record.globalValue, "KXIGLBL0000");
  EXPECT_STREQ(parsed.record.localValue, "oldvars.ini");
}

TEST(TableLine, VariableRowCarriesEveryField) {
  ParsedLine parsed(
      "\"env\"\t\"SAMPLE_HOME\",\"SAMPLEAPP\" x \"%s<901>\" \"260\" "
      "\"STRING\" \"\" \"\" \"/opt/sample\" \"Y\" \"N\"");
  ASSERT_EQ(parsed.result, 0);
  const VariableRecord& row = parsed.record;
  EXPECT_STREQ(parsed.keyword, "env");
  EXPECT_STREQ(row.name, "SAMPLE_HOME");
  EXPECT_STREQ(row.app, "SAMPLEAPP");
  EXPECT_STREQ(row.description, "%s<901>");
  EXPECT_EQ(row.maxSize, 260u);
  EXPECT_STREQ(row.dataType, "STRING");
  EXPECT_STREQ(row.choiceType, "");
  EXPECT_TRUE(Items(row.choices).empty());
  EXPECT_STREQ(row.defaultValue, "/opt/sample");
  EXPECT_EQ(row.readOnly, 0u);
  EXPECT_EQ(row.sensitive, 0u);
}

// A variable row with the fields that matter for one case.
std::string VariableRow(const std::string& size, const std::string& choice_type,
                        const std::string& choices, const std::string& value,
                        const std::string& flags = "") {
  return "\"OPT\" \"V\" \"A\" \"%s<2>\" \"" + size + "\" \"T\" \"" +
         choice_type + "\" \"" + choices + "\" \"" + value + "\"" + flags;
}

TEST(TableLine, FlagsCountOnlyTheirOneLetter) {
  struct Case {
    const char* flags;
    uintptr_t read_only, sensitive;
  } cases[] = {
      {"", 0, 0},
      {" \"n\"", 1, 0},
      {" \"N\" \"y\"", 1, 1},
      {" \"Y\" \"Y\"", 0, 1},
      {" \"\" \"yes\"", 0, 0},
      {" \"no\" \"\"", 0, 0},
  };
  for (const Case& c : cases) {
    ParsedLine parsed(VariableRow("8", "", "", "v", c.flags));
    ASSERT_EQ(parsed.result, 0) << c.flags;
    EXPECT_EQ(parsed.record.readOnly, c.read_only) << c.flags;
    EXPECT_EQ(parsed.record.sensitive, c.sensitive) << c.flags;
  }
}

TEST(TableLine, ChoicesAreSplitByTheirType) {
  struct Case {
    const char* type;
    const char* field;
    std::vector<std::string> items;
  } cases[] = {
      {"LIST", "fast|safe|off", {"fast", "safe", "off"}},
      {"list", "one", {"one"}},
      {"range", "1-100", {"1", "100"}},
      {"RANGE", "0-65535", {"0", "65535"}},
      {"", "a|b", {"a|b"}},
      {"FREE", "1-2", {"1-2"}},
      {"LIST", "", {}},
  };
  for (const Case& c : cases) {
    ParsedLine parsed(VariableRow("8", c.type, c.field, "v"));
    ASSERT_EQ(parsed.result, 0) << c.type << " " << c.field;
    EXPECT_EQ(Items(parsed.record.choices), c.items)
        << c.type << " " << c.field;
    // The default behind the choices is not disturbed by the list's end.
    EXPECT_STREQ(parsed.record.defaultValue, "v");
  }
}

TEST(TableLine, ChoicesSplitAlsoWhenFieldsTouch) {
  ParsedLine parsed(
      "\"OPT\"\"V\"\"A\"\"%s<2>\"\"8\"\"T\"\"LIST\"\"a|b\"\"dflt\"\"N\"");
  ASSERT_EQ(parsed.result, 0);
  EXPECT_EQ(Items(parsed.record.choices), (std::vector<std::string>{"a", "b"}));
  EXPECT_STREQ(parsed.record.defaultValue, "dflt");
  EXPECT_EQ(parsed.record.readOnly, 1u);
}

TEST(TableLine, DefaultLosesTrailingBlanksOnly) {
  EXPECT_STREQ(
      ParsedLine(VariableRow("8", "", "", "abc   ")).record.defaultValue,
      "abc");
  EXPECT_STREQ(ParsedLine(VariableRow("8", "", "", "   ")).record.defaultValue,
               "");
  EXPECT_STREQ(
      ParsedLine(VariableRow("8", "", "", "  a b \t")).record.defaultValue,
      "  a b");
}

TEST(TableLine, MaximumSizeIsReadLikeAtol) {
  struct Case {
    const char* field;
    int32_t size;
  } cases[] = {{"260", 260},
               {"  42abc", 42},
               {"+7", 7},
               {"-5", -5},
               {"abc", 0},
               {"", 0},
               {"2147483647", INT32_MAX},
               {"4294967296", 0}};
  for (const Case& c : cases) {
    ParsedLine parsed(VariableRow(c.field, "", "", "v"));
    ASSERT_EQ(parsed.result, 0) << c.field;
    EXPECT_EQ(
        static_cast<int32_t>(static_cast<uint32_t>(parsed.record.maxSize)),
        c.size)
        << c.field;
  }
}

TEST(TableLine, MultiByteTextPassesThrough) {
  ParsedLine parsed("\"APP\" \"GRÜSSE\" \"Größe %s<3> – ok\"");
  ASSERT_EQ(parsed.result, 0);
  EXPECT_STREQ(parsed.record.name, "GRÜSSE");
  EXPECT_STREQ(parsed.record.description, "Größe %s<3> – ok");
}

TEST(MessageMarker, FindsTheNumberAndWhereTheTextGoesOn) {
  size_t prefix = 99;
  const char* rest = nullptr;
  const char* text = "Mail relay %s<12> (see manual)";
  EXPECT_EQ(FindMsgMarker(text, &prefix, &rest), 12u);
  EXPECT_EQ(prefix, 11u);
  EXPECT_STREQ(rest, " (see manual)");
  EXPECT_EQ(FindMsgMarker("%S<7>", nullptr, nullptr), 7u);
  EXPECT_EQ(FindMsgMarker(nullptr, nullptr, nullptr), 0u);
}

TEST(MessageMarker, MalformedMarkersAreNoMarkers) {
  for (const char* text :
       {"%s<0>", "%s<12", "%s<12 >", "%s<>", "%s< 5>", "%s<-1>", "%s<+3>",
        "no marker", "%s<99999999999999999999>", "%s<4294967296>", "%x<5>"}) {
    size_t prefix = 99;
    EXPECT_EQ(FindMsgMarker(text, &prefix, nullptr), 0u) << text;
    EXPECT_EQ(prefix, 99u) << text;
  }
}

TEST(MessageMarker, LowerCaseFormWinsAndOnlyTheFirstCounts) {
  size_t prefix = 0;
  EXPECT_EQ(FindMsgMarker("%S<3> then %s<4>", &prefix, nullptr), 4u);
  EXPECT_EQ(prefix, 11u);
  // The first lower-case marker is malformed: no fallback to a later one.
  EXPECT_EQ(FindMsgMarker("%s<0> then %s<4>", nullptr, nullptr), 0u);
  EXPECT_EQ(FindMsgMarker("%s<x> then %S<4>", nullptr, nullptr), 0u);
}

TEST(ControlLine, KeyRunsToTheFirstEqualsAndNothingIsTrimmed) {
  struct Case {
    const char* line;
    const char* key;
    const char* value;
  } cases[] = {
      {"CopyGroup=AGENT\n", "CopyGroup", "AGENT"},
      {"CopyVar=A=B\r\n", "CopyVar", "A=B"},
      {"==ExcludeVar=X", "ExcludeVar", "X"},
      {"CopyVar = X\n", "CopyVar ", " X"},
      {"a==\n", "a", "="},
  };
  for (const Case& c : cases) {
    char line[kTableLineSize];
    std::snprintf(line, sizeof line, "%s", c.line);
    char *key = nullptr, *value = nullptr;
    ASSERT_TRUE(SplitControlLine(line, &key, &value)) << c.line;
    EXPECT_STREQ(key, c.key);
    EXPECT_STREQ(value, c.value);
  }
  for (const char* bad :
       {"", "\n", "\r\n", "CopyGroup=\n", "CopyGroup\n", "=\n", "==="}) {
    char line[kTableLineSize];
    std::snprintf(line, sizeof line, "%s", bad);
    char *key = nullptr, *value = nullptr;
    EXPECT_FALSE(SplitControlLine(line, &key, &value)) << Str(bad);
  }
}

}  // namespace
