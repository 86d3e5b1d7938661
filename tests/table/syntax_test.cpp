// The line syntax of the variable table and of the control file, over every
// row kind and the malformed lines around them, and the inputs kept for its
// fuzzers (tests/fixtures/fuzz: seeds and past findings).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "table.h"
#include "table_checks.h"
#include "testing.h"

namespace {

std::string Field(const char* text) {
  return std::string(text ? text : "-") + "|";
}

// The row a line gives, parsed in a buffer of the size the loader reads
// with: keyword|name|app|description|maximum size|data type|choice type|
// choices (each ended by ',')|default|global value|local value|read-only and
// sensitive flags, "-" for a field left null. A refused line gives
// "refused", or "refused, named" when it left a name behind.
std::string RowOf(const std::string& line) {
  char buffer[kTableLineSize] = {};
  std::snprintf(buffer, sizeof buffer, "%s", line.c_str());
  VariableRecord r{};
  char* keyword = nullptr;
  if (!ParseTableLine(buffer, &r, &keyword)) {
    return r.name ? "refused, named" : "refused";
  }
  std::string choices = r.choices ? "" : "-";
  for (const char* item = r.choices; item && *item;
       item += std::strlen(item) + 1) {
    choices += std::string(item) + ",";
  }
  return Field(keyword) + Field(r.name) + Field(r.app) + Field(r.description) +
         std::to_string(static_cast<int32_t>(r.maxSize)) + "|" +
         Field(r.dataType) + Field(r.choiceType) + choices + "|" +
         Field(r.defaultValue) + Field(r.globalValue) + Field(r.localValue) +
         std::to_string(r.readOnly) + std::to_string(r.sensitive);
}

TEST(TableLine, EachFormGivesItsFieldsOrIsRefusedWhole) {
  for (const char* line :
       {R"(# comment "A" "B")", R"(* comment "A" "B")", "", "\n",
        "no quotes at all", " # blank first, then no quotes", R"("unmatched)",
        // rows lacking a mandatory field
        R"("APP" "SAMPLEAPP")", R"("COMP")",
        R"("FILE" "ENVGLBL" "" "VARS" "KXIGLBL0000")",
        R"("ENV" "X" "APP" "d" "8" "STRING" "LIST" "a|b")",
        R"("ENV" "X" "APP" "d" "8" "STRING" "" "" "def)"}) {
    EXPECT_EQ(RowOf(line), "refused") << line;
  }
  struct Row {
    const char* line;
    const char* row;
  } rows[] = {
      // each row kind
      {R"("App"  "SAMPLEAPP"  "%s<900>" "extra")",
       "App|SAMPLEAPP|-|%s<900>|0|-|-|-|-|-|-|00"},
      {R"("comp","AGENT","the agent")",
       "comp|AGENT|-|the agent|0|-|-|-|-|-|-|00"},
      {R"("file" "ENVGLBL" "old" "VARS" "KXIGLBL0000" "oldvars.ini")",
       "file|ENVGLBL|VARS|old|0|-|-|-|-|KXIGLBL0000|oldvars.ini|00"},
      {"\"env\"\t\"SAMPLE_HOME\",\"SAMPLEAPP\" x \"%s<901>\" \"260\" "
       "\"STRING\" \"\" \"\" \"/opt/sample\" \"Y\" \"N\"",
       "env|SAMPLE_HOME|SAMPLEAPP|%s<901>|260|STRING|||/opt/sample|-|-|00"},
      {R"("APP" "GRÜSSE" "Größe %s<3> – ok")",
       "APP|GRÜSSE|-|Größe %s<3> – ok|0|-|-|-|-|-|-|00"},
      {R"("OPT""V""A""d""8""T""LIST""a|b""dflt""N")",  // fields that touch
       "OPT|V|A|d|8|T|LIST|a,b,|dflt|-|-|10"},
  };
  for (const Row& row : rows) EXPECT_EQ(RowOf(row.line), row.row) << row.line;
  // Variable rows by their fields after the description.
  const Row variables[] = {
      // flags count only their one letter
      {R"("8" "T" "" "" "v" "n")", "8|T|||v|-|-|10"},
      {R"("8" "T" "" "" "v" "N" "y")", "8|T|||v|-|-|11"},
      {R"("8" "T" "" "" "v" "Y" "Y")", "8|T|||v|-|-|01"},
      {R"("8" "T" "" "" "v" "" "yes")", "8|T|||v|-|-|00"},
      {R"("8" "T" "" "" "v" "no" "")", "8|T|||v|-|-|00"},
      // choices are split by their type, up to the default behind them
      {R"("8" "T" "LIST" "fast|safe|off" "v")",
       "8|T|LIST|fast,safe,off,|v|-|-|00"},
      {R"("8" "T" "list" "one" "v")", "8|T|list|one,|v|-|-|00"},
      {R"("8" "T" "range" "1-100" "v")", "8|T|range|1,100,|v|-|-|00"},
      {R"("8" "T" "" "a|b" "v")", "8|T||a|b,|v|-|-|00"},
      {R"("8" "T" "FREE" "1-2" "v")", "8|T|FREE|1-2,|v|-|-|00"},
      {R"("8" "T" "LIST" "" "v")", "8|T|LIST||v|-|-|00"},
      // the default loses trailing blanks only
      {R"("8" "T" "" "" "abc   ")", "8|T|||abc|-|-|00"},
      {R"("8" "T" "" "" "   ")", "8|T||||-|-|00"},
      {"\"8\" \"T\" \"\" \"\" \"  a b \t\"", "8|T|||  a b|-|-|00"},
      // the maximum size is read like atol, kept to 32 bits
      {R"("  42abc" "T" "" "" "v")", "42|T|||v|-|-|00"},
      {R"("+7" "T" "" "" "v")", "7|T|||v|-|-|00"},
      {R"("-5" "T" "" "" "v")", "-5|T|||v|-|-|00"},
      {R"("abc" "T" "" "" "v")", "0|T|||v|-|-|00"},
      {R"("" "T" "" "" "v")", "0|T|||v|-|-|00"},
      {R"("2147483647" "T" "" "" "v")", "2147483647|T|||v|-|-|00"},
      {R"("4294967296" "T" "" "" "v")", "0|T|||v|-|-|00"},
  };
  for (const Row& row : variables) {
    std::string line = std::string(R"("OPT" "V" "A" "d" )") + row.line;
    EXPECT_EQ(RowOf(line), std::string("OPT|V|A|d|") + row.row) << line;
  }
}

TEST(MessageMarker, FirstLowerCaseMarkerElseUpperCaseGivesItsNumber) {
  struct Row {
    const char* text;
    unsigned long number;
    size_t prefix;  // 99: left alone
    const char* rest;
  };
  std::vector<Row> rows = {
      {"Mail relay %s<12> (see manual)", 12, 11, " (see manual)"},
      {"%S<7>", 7, 0, ""},
      {"%S<3> then %s<4>", 4, 11, ""},
  };
  // Each gives 0 and leaves prefix and rest alone. The first lower-case
  // marker malformed means no fallback to a later one.
  for (const char* text :
       {"%s<0> then %s<4>", "%s<x> then %S<4>", "%s<0>", "%s<12", "%s<12 >",
        "%s<>", "%s< 5>", "%s<-1>", "%s<+3>", "no marker",
        "%s<99999999999999999999>", "%s<4294967296>", "%x<5>"}) {
    rows.push_back({text, 0, 99, nullptr});
  }
  for (const Row& row : rows) {
    size_t prefix = 99;
    const char* rest = nullptr;
    EXPECT_EQ(FindMsgMarker(row.text, &prefix, &rest), row.number) << row.text;
    EXPECT_EQ(prefix, row.prefix) << row.text;
    EXPECT_STREQ(rest, row.rest) << row.text;
  }
  EXPECT_EQ(FindMsgMarker(nullptr, nullptr, nullptr), 0u);
}

TEST(ControlLine, KeyRunsToTheFirstEqualsAndNothingIsTrimmed) {
  struct Row {
    const char* line;
    const char* split;  // key|value, or "-" for a refused line
  };
  std::vector<Row> rows = {
      {"CopyGroup=AGENT\n", "CopyGroup|AGENT"},
      {"CopyVar=A=B\r\n", "CopyVar|A=B"},
      {"==ExcludeVar=X", "ExcludeVar|X"},
      {"CopyVar = X\n", "CopyVar | X"},
      {"a==\n", "a|="},
  };
  for (const char* refused :
       {"", "\n", "\r\n", "CopyGroup=\n", "CopyGroup\n", "=\n", "==="}) {
    rows.push_back({refused, "-"});
  }
  for (const Row& row : rows) {
    char line[kTableLineSize];
    std::snprintf(line, sizeof line, "%s", row.line);
    char *key = nullptr, *value = nullptr;
    std::string split = SplitControlLine(line, &key, &value)
                            ? std::string(key) + "|" + value
                            : "-";
    EXPECT_EQ(split, row.split) << testing::PrintToString(row.line);
  }
}

TEST(FuzzFindings, TableLineAndControlFileInputsStayHarmless) {
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "table_line_fuzz",
                                     CheckTableLineInput),
            0);
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "control_file_fuzz",
                                     CheckControlFileInput),
            0);
}

}  // namespace
