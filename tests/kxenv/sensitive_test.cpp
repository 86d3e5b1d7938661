// Values of sensitive variables: stored scrambled, read back in clear, kept
// out of traces, and refused when they would not survive the scrambling.
// The narrow variant runs in a copy of this test binary named like one of
// the programs that use it.
#include <filesystem>

#include "kxenv_test_util.h"

namespace {

using namespace kxtest;

constexpr char kClear[] = "Pa55 w0rd ~{}";

// This test binary runs the wide variant; a copy named kxsched the narrow.
const std::string kWide = SelfPath();
const std::string& Narrow() {
  static const std::string path = [] {
    std::string copy = MakeTempDir("narrow") + "/kxsched.exe";
    std::filesystem::copy_file(kWide, copy);
#ifdef _WIN32  // the copy finds the DLLs beside this binary on the PATH
    std::string bin = std::filesystem::path(kWide).parent_path().string();
    setenv("PATH", (bin + ";" + std::getenv("PATH")).c_str(), 1);
#endif
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    return copy;
  }();
  return path;
}

// KXsetenv (with a value) or KXgetenv in a helper process of the given
// binary; its result, "(null)" for no value.
std::string In(const std::string& binary, const std::string& name,
               const char* value = nullptr) {
  std::vector<std::string> args = {name};
  if (value) args.push_back(value);
  Child child("sensitive_call", args, binary);
  std::string result = child.ReadLine();
  EXPECT_EQ(child.Wait(), 0);
  return result;
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

KX_ROLE(sensitive_call) {
  const char* name = args[0].c_str();
  Say(args.size() > 1 ? std::to_string(KXsetenv(name, args[1].c_str()))
                      : Str(KXgetenv(name)));
  return 0;
}

// The get's trace shows question marks in place of the value. Control
// characters would not survive the scrambling: a set of them is refused and
// the stored value kept, while a variable that is not sensitive takes them.
TEST(SensitiveValue, IsStoredScrambledAsBinaryAndReadBackInClear) {
  TraceFile trace;
  ASSERT_TRUE(DefineSensitive("KXT_SENS"));
  ASSERT_EQ(KXsetenv("KXT_SENS", kClear), 0);
  ASSERT_EQ(KXsetglobal("KXT_SENS", "global secret"), 0);
  const std::string local = StoredLocal("KXT_SENS");
  const auto global = ReadRaw(EnvKey("KXT_SENS"), "Global");
  ASSERT_TRUE(global);
  EXPECT_EQ(global->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(ReadRaw(EnvKey("KXT_SENS"), "Local")->type,
            static_cast<DWORD>(REG_BINARY));
  ASSERT_EQ(local.size(), std::strlen(kClear) + 1);
  EXPECT_EQ(local.back(), '\0');
  EXPECT_FALSE(Has(local, kClear));
  EXPECT_FALSE(Has(global->bytes, "global secret"));
  EXPECT_EQ(Str(KXgetenv("KXT_SENS")), kClear);
  EXPECT_EQ(Str(KXgetlocal("KXT_SENS")), kClear);
  EXPECT_EQ(Str(KXgetglobal("KXT_SENS")), "global secret");
  VariableRecord* record = nullptr;
  EXPECT_EQ(Str(KXgetenvex("KXT_SENS", &record, 99)), kClear);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Str(record->localValue), kClear);
  EXPECT_EQ(Str(record->defaultValue), "dflt");  // never scrambled
  EXPECT_EQ(record->sensitive, 1u);

  int changes = trace.Count("SetRegValue: KXT_SENS changed at");
  for (const char* bad : {"a\tb", "line\nbreak", "\x01", "end\x1f"}) {
    EXPECT_EQ(KXsetenv("KXT_SENS", bad), -1);
    EXPECT_EQ(KXsetglobal("KXT_SENS", bad), -1);
  }
  EXPECT_EQ(StoredLocal("KXT_SENS"), local);
  EXPECT_EQ(ReadRaw(EnvKey("KXT_SENS"), "Global")->bytes, global->bytes);
  EXPECT_EQ(Str(KXgetenv("KXT_SENS")), kClear);
  EXPECT_EQ(trace.Count("SetRegValue: KXT_SENS changed at"), changes);
  EXPECT_EQ(trace.Count("SetRegValue KXT_SENS:"), 8);

  ASSERT_EQ(KXsetenv("KXT_PLAIN", "a\tb\n"), 0);
  EXPECT_EQ(Str(KXgetenv("KXT_PLAIN")), "a\tb\n");
  EXPECT_GE(trace.Count("GetValue KXT_SENS: returned (\?\?\?)."), 4);
  EXPECT_EQ(trace.Count("GetValue KXT_PLAIN: returned (a\tb"), 1);
  for (const auto& line : trace.Lines()) {
    EXPECT_FALSE(Has(line.text, "w0rd"));
    EXPECT_FALSE(Has(line.text, "global secret"));
  }
}

// Bytes from 252 on do not survive the narrow variant: it refuses them.
TEST(SensitiveValue, EachVariantRoundTripsItsOwnValuesOnly) {
  for (const char* name : {"KXT_SENS_WIDE", "KXT_SENS_NARROW"})
    ASSERT_TRUE(DefineSensitive(name));
  ASSERT_EQ(In(kWide, "KXT_SENS_WIDE", kClear), "0");
  ASSERT_EQ(In(Narrow(), "KXT_SENS_NARROW", kClear), "0");
  std::string wide = StoredLocal("KXT_SENS_WIDE");
  std::string narrow = StoredLocal("KXT_SENS_NARROW");
  EXPECT_NE(wide, narrow);
  EXPECT_FALSE(Has(narrow, kClear));
  EXPECT_EQ(wide.size(), narrow.size());
  EXPECT_EQ(In(kWide, "KXT_SENS_WIDE"), kClear);
  EXPECT_EQ(In(Narrow(), "KXT_SENS_NARROW"), kClear);
  EXPECT_NE(In(Narrow(), "KXT_SENS_WIDE"), kClear);
  EXPECT_NE(In(kWide, "KXT_SENS_NARROW"), kClear);

  const char* umlauts = "gr\xc3\xbc\xc3\x9f";  // UTF-8, all below 252
  ASSERT_EQ(In(Narrow(), "KXT_SENS_NARROW", umlauts), "0");
  std::string before = StoredLocal("KXT_SENS_NARROW");
  EXPECT_EQ(In(Narrow(), "KXT_SENS_NARROW", "x\xfcy"), "-1");
  EXPECT_EQ(StoredLocal("KXT_SENS_NARROW"), before);
  EXPECT_EQ(In(Narrow(), "KXT_SENS_NARROW"), umlauts);
  EXPECT_EQ(In(kWide, "KXT_SENS_WIDE", "x\xfcy"), "0");
  EXPECT_EQ(In(kWide, "KXT_SENS_WIDE"), "x\xfcy");
}
