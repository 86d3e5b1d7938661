// Values of sensitive variables: stored scrambled, read back in clear, kept
// out of traces, and refused when they would not survive the scrambling.
// The narrow variant runs in a copy of this test binary named like one of
// the programs that use it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "kxenv_test_util.h"

namespace {

using kxtest::EnvKey;
using kxtest::Number;
using kxtest::ReadRaw;
using kxtest::Str;
using kxtest::Text;
using kxtest::WriteKey;

constexpr char kClear[] = "Pa55 w0rd ~{}";

// Texts cross the pipe from a helper as hex, so any byte survives.
std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// This test binary, as the process that the wide variant runs in.
const std::string kWide = "/proc/self/exe";

// A copy of this test binary named kxsched: it runs the narrow variant.
const std::string& NarrowBinary() {
  static const std::string path = [] {
    std::string copy = kxtest::MakeTempDir("narrow") + "/kxsched";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    return copy;
  }();
  return path;
}

// KXsetenv in a helper process of the given binary; its result.
std::string SetIn(const std::string& binary, const std::string& name,
                  const std::string& value) {
  kxtest::Child child("sensitive_set", {name, Hex(value)}, binary);
  std::string result = child.ReadLine();
  EXPECT_EQ(child.Wait(), 0);
  return result;
}

// KXgetenv in a helper process of the given binary; "(null)" for none.
std::string GetIn(const std::string& binary, const std::string& name) {
  kxtest::Child child("sensitive_get", {name}, binary);
  std::string result = child.ReadLine();
  EXPECT_EQ(child.Wait(), 0);
  return result == "(null)" ? result : Unhex(result);
}

std::string StoredLocal(const std::string& name) {
  auto raw = ReadRaw(EnvKey(name), "Local");
  return raw ? raw->bytes : "<missing>";
}

bool DefineSensitive(const std::string& name) {
  return WriteKey(EnvKey(name),
                  {Number("Sensitive", 1), Text("Default", "dflt")});
}

}  // namespace

KX_ROLE(sensitive_set) {
  kxtest::Say(
      std::to_string(KXsetenv(args.at(0).c_str(), Unhex(args.at(1)).c_str())));
  return 0;
}

KX_ROLE(sensitive_get) {
  const char* value = KXgetenv(args.at(0).c_str());
  kxtest::Say(value ? Hex(value) : "(null)");
  return 0;
}

TEST(SensitiveValue, IsStoredScrambledAsBinaryAndReadBackInClear) {
  ASSERT_TRUE(DefineSensitive("KXT_SENS"));
  ASSERT_EQ(KXsetenv("KXT_SENS", kClear), 0);
  auto local = ReadRaw(EnvKey("KXT_SENS"), "Local");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->type, static_cast<DWORD>(REG_BINARY));
  ASSERT_EQ(local->bytes.size(), std::strlen(kClear) + 1);
  EXPECT_EQ(local->bytes.back(), '\0');
  EXPECT_NE(local->bytes.substr(0, std::strlen(kClear)), kClear);
  EXPECT_EQ(local->bytes.find(kClear), std::string::npos);
  EXPECT_EQ(Str(KXgetenv("KXT_SENS")), kClear);
  EXPECT_EQ(Str(KXgetlocal("KXT_SENS")), kClear);

  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXgetenvex("KXT_SENS", &record, 99)), kClear);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->localValue), kClear);
  EXPECT_EQ(Str(record->defaultValue), "dflt");  // never scrambled
  EXPECT_EQ(record->sensitive, 1u);

  ASSERT_EQ(KXsetglobal("KXT_SENS", "global secret"), 0);
  auto global = ReadRaw(EnvKey("KXT_SENS"), "Global");
  ASSERT_TRUE(global);
  EXPECT_EQ(global->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(global->bytes.find("global secret"), std::string::npos);
  EXPECT_EQ(Str(KXgetglobal("KXT_SENS")), "global secret");
  EXPECT_EQ(Str(KXgetenv("KXT_SENS")), kClear);
}

TEST(SensitiveValue, EachVariantRoundTripsAndCannotReadTheOthersValues) {
  ASSERT_TRUE(DefineSensitive("KXT_SENS_WIDE"));
  ASSERT_TRUE(DefineSensitive("KXT_SENS_NARROW"));
  ASSERT_EQ(SetIn(kWide, "KXT_SENS_WIDE", kClear), "0");
  ASSERT_EQ(SetIn(NarrowBinary(), "KXT_SENS_NARROW", kClear), "0");

  std::string wide = StoredLocal("KXT_SENS_WIDE");
  std::string narrow = StoredLocal("KXT_SENS_NARROW");
  EXPECT_NE(wide, narrow);
  EXPECT_EQ(wide.find(kClear), std::string::npos);
  EXPECT_EQ(narrow.find(kClear), std::string::npos);
  EXPECT_EQ(wide.size(), narrow.size());

  EXPECT_EQ(GetIn(kWide, "KXT_SENS_WIDE"), kClear);
  EXPECT_EQ(GetIn(NarrowBinary(), "KXT_SENS_NARROW"), kClear);
  EXPECT_NE(GetIn(NarrowBinary(), "KXT_SENS_WIDE"), kClear);
  EXPECT_NE(GetIn(kWide, "KXT_SENS_NARROW"), kClear);
}

TEST(SensitiveValue, BytesFrom252OnAreRefusedUnderTheNarrowVariantOnly) {
  ASSERT_TRUE(DefineSensitive("KXT_SENS_HIGH"));
  const std::string high = "x\xfcy";
  const std::string umlauts = "gr\xc3\xbc\xc3\x9f";  // UTF-8, all below 252

  ASSERT_EQ(SetIn(NarrowBinary(), "KXT_SENS_HIGH", umlauts), "0");
  EXPECT_EQ(GetIn(NarrowBinary(), "KXT_SENS_HIGH"), umlauts);
  std::string before = StoredLocal("KXT_SENS_HIGH");
  EXPECT_EQ(SetIn(NarrowBinary(), "KXT_SENS_HIGH", high), "-1");
  EXPECT_EQ(StoredLocal("KXT_SENS_HIGH"), before);
  EXPECT_EQ(GetIn(NarrowBinary(), "KXT_SENS_HIGH"), umlauts);

  EXPECT_EQ(SetIn(kWide, "KXT_SENS_HIGH", high), "0");
  EXPECT_EQ(GetIn(kWide, "KXT_SENS_HIGH"), high);
}

TEST(SensitiveValue, ControlCharactersAreRefusedAndTheStoredValueIsKept) {
  kxtest::TraceFile trace;
  ASSERT_TRUE(DefineSensitive("KXT_SENS_CTL"));
  ASSERT_EQ(KXsetenv("KXT_SENS_CTL", "first"), 0);
  ASSERT_EQ(KXsetglobal("KXT_SENS_CTL", "first global"), 0);
  std::string local = StoredLocal("KXT_SENS_CTL");
  auto global = ReadRaw(EnvKey("KXT_SENS_CTL"), "Global");
  ASSERT_TRUE(global);
  int changes = trace.Count("SetRegValue: KXT_SENS_CTL changed at");

  for (const char* bad : {"a\tb", "line\nbreak", "\x01", "end\x1f"}) {
    EXPECT_EQ(KXsetenv("KXT_SENS_CTL", bad), -1);
    EXPECT_EQ(KXsetglobal("KXT_SENS_CTL", bad), -1);
  }
  EXPECT_EQ(StoredLocal("KXT_SENS_CTL"), local);
  EXPECT_EQ(ReadRaw(EnvKey("KXT_SENS_CTL"), "Global")->bytes, global->bytes);
  EXPECT_EQ(Str(KXgetenv("KXT_SENS_CTL")), "first");
  EXPECT_EQ(Str(KXgetglobal("KXT_SENS_CTL")), "first global");
  EXPECT_EQ(trace.Count("SetRegValue: KXT_SENS_CTL changed at"), changes);
  EXPECT_EQ(trace.Count("SetRegValue KXT_SENS_CTL:"), 8);

  // A variable that is not sensitive takes them as they are.
  EXPECT_EQ(KXsetenv("KXT_PLAIN_CTL", "a\tb\n"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_PLAIN_CTL")), "a\tb\n");
}

TEST(SensitiveValue, TheGetTraceShowsQuestionMarksInPlaceOfTheValue) {
  kxtest::TraceFile trace;
  ASSERT_TRUE(DefineSensitive("KXT_SENS_TRACE"));
  ASSERT_EQ(KXsetenv("KXT_SENS_TRACE", "hush hush"), 0);
  ASSERT_EQ(KXsetenv("KXT_PLAIN_TRACE", "out loud"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_SENS_TRACE")), "hush hush");
  EXPECT_EQ(Str(KXgetenv("KXT_PLAIN_TRACE")), "out loud");
  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXgetenvex("KXT_SENS_TRACE", &record, 5)), "hush hush");

  EXPECT_EQ(trace.Count("GetValue KXT_SENS_TRACE: returned (\?\?\?)."), 2);
  EXPECT_EQ(trace.Count("GetValue KXT_PLAIN_TRACE: returned (out loud)."), 1);
  for (const auto& line : trace.Lines()) {
    EXPECT_EQ(line.text.find("hush hush"), std::string::npos) << line.text;
  }
}
