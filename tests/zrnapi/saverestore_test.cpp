// SaveRegistry and RestoreRegistry: the text of a saved file, round trips
// of every value type and of awkward names, replace and merge, and files
// that must restore nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "kxwin_test_util.h"
#include "testing.h"
#include "zrnapi/zrnapi.h"

using namespace kxtest;
using namespace std::string_literals;

namespace {

void SetValue(HKEY key, const std::string& name, DWORD type,
              const std::string& bytes) {
  ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, type,
                           reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS)
      << name;
}

void MakeKey(const std::string& path) {
  Key key;
  ASSERT_EQ(CreateKey(path, key.out()), ERROR_SUCCESS) << path;
}

// Every key below `key` (relative paths) with its values' names, types and
// bytes, read straight from the registry; the values sorted, since Windows
// enumerates them in no set order.
void DumpKey(HKEY key, const std::string& relative, std::ostringstream& out) {
  out << "[" << relative << "]\n";
  char name[16384];  // the longest value name Windows allows, and a zero
  BYTE data[4096];
  std::set<std::string> values;
  for (DWORD i = 0, type, name_size = sizeof name, data_size = sizeof data;
       RegEnumValueA(key, i, name, &name_size, nullptr, &type, data,
                     &data_size) == 0;
       ++i, name_size = sizeof name, data_size = sizeof data) {
    std::ostringstream value;
    value << '"' << std::string(name, name_size) << "\" " << type << ":";
    for (DWORD b = 0; b < data_size; ++b) value << ' ' << int{data[b]};
    values.insert(value.str() + '\n');
  }
  for (const auto& value : values) out << value;
  char subkey[256];
  for (DWORD i = 0; RegEnumKeyA(key, i, subkey, sizeof subkey) == 0; ++i) {
    Key child;
    RegOpenKeyExA(key, subkey, 0, KEY_READ, child.out());
    DumpKey(child, relative + "\\" + subkey, out);
  }
}

// The dump of the key at `path`, or "<missing>".
std::string Dump(const std::string& path) {
  Key key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out())) {
    return "<missing>";
  }
  std::ostringstream out;
  DumpKey(key, "", out);
  return out.str();
}

// Saves the key at `path` below HKEY_LOCAL_MACHINE into `file`.
BOOL Save(const std::string& path, const std::string& file, BOOL replace) {
  return SaveRegistry(HKEY_LOCAL_MACHINE, path.c_str(), file.c_str(), replace);
}

// Restores `file` into the key at `path` below HKEY_LOCAL_MACHINE.
BOOL Load(const std::string& path, const std::string& file, BOOL flags) {
  return RestoreRegistry(HKEY_LOCAL_MACHINE, path.c_str(), file.c_str(), flags);
}

size_t FilesIn(const std::string& dir) {
  auto all = std::filesystem::directory_iterator(dir);
  return static_cast<size_t>(std::distance(begin(all), end(all)));
}

testing::AssertionResult MessageHas(const std::string& part) {
  std::string message = GetMsgString();
  if (message.find(part) != std::string::npos) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "GetMsgString() is \"" << message
                                     << "\", without \"" << part << "\"";
}

// A version-5 file of the registry editors: UTF-16LE after FF FE, each
// byte of `latin1` one character.
std::string Utf16File(const std::string& latin1) {
  std::string bytes = "\xFF\xFE";
  for (char c : latin1) bytes += {c, '\0'};
  return bytes;
}

// A JSON save file of the key Software\Test\Target with `members`, as a
// text row of a table ("=" first).
std::string Json(const std::string& members) {
  return "={\"key\": \"HKEY_LOCAL_MACHINE\\\\Software\\\\Test\\\\Target\", " +
         members + "}";
}

// The characters below 256 of a UTF-16LE file, enough to find its lines.
std::string Narrow(const std::string& utf16) {
  std::string text;
  for (size_t i = 2; i + 1 < utf16.size(); i += 2) text += utf16[i];
  return text;
}

}  // namespace

TEST(SaveFile, SmallKeyIsWrittenInTheExpectedText) {
  Key golden, child;
  ASSERT_EQ(CreateKey("Software\\Test\\Golden", golden.out()), ERROR_SUCCESS);
  // In the order of their names, the one Wine enumerates them in.
  SetValue(golden, "", REG_SZ, "root\0"s);
  SetValue(golden, "big", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x08");
  std::string forty;
  for (char c = 0; c < 40; ++c) forty += c;
  SetValue(golden, "bytes", REG_BINARY, forty);
  SetValue(golden, "multi", REG_MULTI_SZ, "a\0b\0\0"s);
  SetValue(golden, "number", REG_DWORD, "\xcd\xab\0\0"s);
  SetValue(golden, "text", REG_SZ, "say \"hi\" to C:\\dir\0"s);
  ASSERT_EQ(CreateKey("Software\\Test\\Golden\\Child", child.out()), 0);
  SetValue(child, "empty", REG_SZ, "\0"s);
  SetValue(child, "lines", REG_SZ, "a\nb\0"s);
  SetValue(child, "raw", REG_SZ, "ab");  // stored with a zero
  MakeKey("Software\\Test\\Golden\\Child\\Grand");
  MakeKey("Software\\Test\\Golden\\apple");
  std::string file = kxtest::MakeTempDir("golden") + "/golden.reg";

  ASSERT_TRUE(Save("Software\\Test\\Golden", file, FALSE));
  EXPECT_EQ(ReadFile(file),
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test\\Golden]\n"
            "@=\"root\"\n"
            "\"big\"=hex(b):01,02,03,04,05,06,07,08\n"
            "\"bytes\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,"
            "11,12,13,14,\\\n"
            "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
            "\"multi\"=hex(7):61,00,62,00,00\n"
            "\"number\"=dword:0000abcd\n"
            "\"text\"=\"say \\\"hi\\\" to C:\\\\dir\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test\\Golden\\apple]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test\\Golden\\Child]\n"
            "\"empty\"=\"\"\n"
            "\"lines\"=hex(1):61,0a,62,00\n"
            "\"raw\"=\"ab\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test\\Golden\\Child\\Grand]\n"
            "\n");
}

TEST(SaveFile, EveryValueTypeAndAwkwardNameComesBackExactly) {
  const std::string source = "Software\\Test\\Source";
  Key key, nested;
  ASSERT_EQ(CreateKey(source, key.out()), ERROR_SUCCESS);
  std::string long_binary;
  for (int i = 0; i < 300; ++i) long_binary += static_cast<char>(i * 7);
  const struct {
    std::string name;
    DWORD type;
    std::string bytes;
  } values[] = {
      {"", REG_SZ, "default\0"s},
      {"with space", REG_SZ, "two words\0"s},
      {"quote\"d", REG_SZ, "she said \"no\"\0"s},
      {"back\\slash\\", REG_SZ, "C:\\path\\\0"s},
      {"a=b", REG_SZ, "x=y\0"s},
      {"[bracket]", REG_SZ, "]\0"s},
      {"@", REG_SZ, "not the default\0"s},
      {"Gr\xC3\xBC\xC3\x9F\x65", REG_SZ, "\xE2\x82\xAC 5\0"s},
      {"new line", REG_SZ, "one\ntwo\r\n\0"s},
      {"empty text", REG_SZ, "\0"s},
      {"no terminator", REG_SZ, "abc"},
      {"inner zero", REG_SZ, "a\0b\0"s},
      {"dword", REG_DWORD, "\x78\x56\x34\x92"},
      {"short dword", REG_DWORD, "\x01\x02\x03"},
      {"binary", REG_BINARY, "\x00\x01\xff"},
      {"empty binary", REG_BINARY, ""},
      {"long binary", REG_BINARY, long_binary},
      {"long binary+", REG_BINARY, long_binary},   // each first line wraps
      {"long binary++", REG_BINARY, long_binary},  // at another byte
      {"multi", REG_MULTI_SZ, "one\0two\0\0"s},
      {"qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x88"},
      {"expand", REG_EXPAND_SZ, "%PATH%\0"s},
      {"none", REG_NONE, ""},
      {"odd type", 0xabcd, "\x01\x02"},
  };
  for (const auto& v : values) SetValue(key, v.name, v.type, v.bytes);
  for (const char* name :
       {"key with space", "k[e]y=\"q\"", "end]", "trailing space ",
        "\xC3\x9Cn\xC3\xAF"
        "code"}) {
    MakeKey(source + "\\" + name);
  }
  ASSERT_EQ(CreateKey(source + "\\key with space\\Deeper", nested.out()), 0);
  SetValue(nested, "deep", REG_SZ, "down here\0"s);
  std::string dir = kxtest::MakeTempDir("roundtrip");
  std::string file = dir + "/source.reg";
  ASSERT_TRUE(Save(source, file, FALSE));

  // A file restores where its key lines say: moving it elsewhere is an
  // edit of those lines.
  std::string text = ReadFile(file);
  for (const std::string& line : SplitLines(text)) {
    if (line.ends_with("\\")) {
      EXPECT_LE(line.size(), 76u) << line;
    }
  }
  EXPECT_NE(text.find("\"new line\"=hex(1):6f,6e,65,0a"), std::string::npos);
  EXPECT_NE(text.find("\"odd type\"=hex(abcd):01,02\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Test\\Source\\end]]\n"),
            std::string::npos);
  const std::string from = "[HKEY_LOCAL_MACHINE\\Software\\Test\\Source";
  const std::string to = "[HKEY_LOCAL_MACHINE\\Software\\Test\\Copy";
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  WriteFile(dir + "/copy.reg", text);
  EXPECT_NE(Dump(source).find("\"@\" 1:"), std::string::npos);
  // The same in version 5, as the registry editors write it: texts of hex
  // data in UTF-16, line ends CRLF.
  const std::string v5 = dir + "/copy5.reg";
  ASSERT_TRUE(
      ConvertRegistryFile((dir + "/copy.reg").c_str(), v5.c_str(), FALSE, 5))
      << GetMsgString();
  std::string narrow = Narrow(ReadFile(v5));
  EXPECT_TRUE(narrow.starts_with("Windows Registry Editor Version 5.00\r\n"));
  EXPECT_NE(narrow.find("\"expand\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,"
                        "00,00,00\r\n"),
            std::string::npos);
  // And in JSON.
  const std::string json = dir + "/copy.json";
  ASSERT_TRUE(ConvertRegistryFile((dir + "/copy.reg").c_str(), json.c_str(),
                                  FALSE, REGISTRY_FORMAT_JSON))
      << GetMsgString();
  for (const std::string& copy : {dir + "/copy.reg", v5, json}) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Test\\Copy");
    ASSERT_TRUE(Load("Software\\Test\\Copy", copy, TRUE)) << GetMsgString();
    EXPECT_EQ(Dump("Software\\Test\\Copy"), Dump(source)) << copy;
  }
  // Bytes that are not UTF-8 have no UTF-16 form: no file.
  WriteFile(dir + "/latin1.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\S]\n\"x\"=\"\xE9\"\n");
  EXPECT_FALSE(ConvertRegistryFile((dir + "/latin1.reg").c_str(),
                                   (dir + "/latin1.5").c_str(), FALSE, 5));
  EXPECT_FALSE(std::filesystem::exists(dir + "/latin1.5"));
}

// Each value in the JSON form that gives its bytes back: "data" where that
// form can, "hex" for the rest; a name that is not UTF-8 is left out with a
// warning, and the file restores everything else.
TEST(SaveFile, JsonHoldsEachValueInTheFormThatGivesItsBytesBack) {
  const std::string path = "Software\\Test\\Json";
  Key key;
  ASSERT_EQ(CreateKey(path, key.out()), ERROR_SUCCESS);
  // In the order of their names, the one Wine enumerates them in.
  SetValue(key, "", REG_SZ, "root\0"s);
  SetValue(key, "a=b \"c\"", REG_EXPAND_SZ, "%x%\n\0"s);
  SetValue(key, "bin", REG_BINARY, "\x00\xff"s);
  SetValue(key, "gap", REG_MULTI_SZ, "a\0\0b\0\0"s);
  SetValue(key, "latin1", REG_SZ, "caf\xE9\0"s);
  SetValue(key, "list", REG_MULTI_SZ, "a\0b\0\0"s);
  SetValue(key, "n", REG_DWORD, "\x01\x02\x03\x04");
  SetValue(key, "none", REG_MULTI_SZ, "\0"s);
  SetValue(key, "odd", 0xabcd, "\x01\x02");
  SetValue(key, "q", REG_QWORD, std::string(8, '\xff'));
  MakeKey(path + "\\Child");
  const std::string saved = Dump(path);
  SetValue(key, "\xE9t\xE9", REG_SZ, "x\0"s);
  const std::string dir = MakeTempDir("json"), reg = dir + "/j.reg",
                    json = dir + "/j.json";
  ASSERT_TRUE(Save(path, reg, FALSE));
  ASSERT_TRUE(ConvertRegistryFile(reg.c_str(), json.c_str(), FALSE,
                                  REGISTRY_FORMAT_JSON));
  EXPECT_TRUE(MessageHas("without 1 name that are not UTF-8"));
  EXPECT_EQ(ReadFile(json),
            R"({
  "version": 1,
  "key": "HKEY_LOCAL_MACHINE\\Software\\Test\\Json",
  "values": {
    "": {"type": "REG_SZ", "data": "root"},
    "a=b \"c\"": {"type": "REG_EXPAND_SZ", "data": "%x%\n"},
    "bin": {"type": "REG_BINARY", "hex": "00ff"},
    "gap": {"type": "REG_MULTI_SZ", "hex": "610000620000"},
    "latin1": {"type": "REG_SZ", "hex": "636166e900"},
    "list": {"type": "REG_MULTI_SZ", "data": ["a", "b"]},
    "n": {"type": "REG_DWORD", "data": 67305985},
    "none": {"type": "REG_MULTI_SZ", "data": []},
    "odd": {"type": 43981, "hex": "0102"},
    "q": {"type": "REG_QWORD", "data": 18446744073709551615}
  },
  "keys": {
    "Child": {}
  }
}
)");
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  ASSERT_TRUE(Load(path, json, TRUE)) << GetMsgString();
  EXPECT_EQ(Dump(path), saved);
}

TEST(SaveFile, ExistingFileIsKeptWithoutReplaceAndAMissingKeyWritesNone) {
  MakeKey("Software\\Test\\Saved");
  std::string dir = MakeTempDir("existing"), file = dir + "/saved.reg";
  EXPECT_FALSE(Save("Software\\Test\\Missing", file, TRUE));
  EXPECT_TRUE(MessageHas("Software\\Test\\Missing"));
  EXPECT_EQ(FilesIn(dir), 0u);
  WriteFile(file, "keep me");
  EXPECT_FALSE(Save("Software\\Test\\Saved", file, FALSE));
  EXPECT_TRUE(MessageHas(file));
  EXPECT_EQ(ReadFile(file), "keep me");
  ASSERT_TRUE(Save("Software\\Test\\Saved", file, TRUE));
  EXPECT_EQ(ReadFile(file),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Test\\Saved]\n\n");
  EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(SaveFile, NamesWithALineBreakAreLeftOutWithAWarning) {
  std::string file = MakeTempDir("broken") + "/out.reg";
  Key key, below;
  ASSERT_EQ(CreateKey("Software\\Test\\Broken", key.out()), ERROR_SUCCESS);
  SetValue(key, "two\nlines", REG_SZ, "x\0"s);
  SetValue(key, "kept", REG_SZ, "y\0"s);
  ASSERT_EQ(CreateKey("Software\\Test\\Broken\\a\nb\\c", below.out()), 0);
  MakeKey("Software\\Test\\Broken\\ok");
  ASSERT_TRUE(Save("Software\\Test\\Broken", file, TRUE));
  EXPECT_TRUE(MessageHas("without 2 names holding a line break"));
  EXPECT_TRUE(MessageHas("Broken\\a\\nb"));
  EXPECT_EQ(ReadFile(file),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Test\\Broken]\n"
            "\"kept\"=\"y\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test\\Broken\\ok]\n\n");
}

TEST(SaveAndRestore, NullArgumentsEmptyPathsAndOtherRootsAreRefused) {
  std::string file = kxtest::MakeTempDir("nulls") + "/x.reg";
  for (auto* call : {&SaveRegistry, &RestoreRegistry}) {
    EXPECT_FALSE(call(HKEY_LOCAL_MACHINE, nullptr, file.c_str(), TRUE));
    EXPECT_TRUE(MessageHas("key path is null"));
    EXPECT_FALSE(call(HKEY_LOCAL_MACHINE, "Software", nullptr, TRUE));
    EXPECT_TRUE(MessageHas("file name is null"));
    EXPECT_FALSE(call(nullptr, "Software", file.c_str(), TRUE));
    EXPECT_TRUE(MessageHas("HKEY_LOCAL_MACHINE"));
    EXPECT_FALSE(call(HKEY_LOCAL_MACHINE, "\\\\", file.c_str(), TRUE));
    EXPECT_TRUE(MessageHas("key path is empty"));
  }
}

// ---- Restoring

constexpr char kTarget[] = "Software\\Test\\Target";
constexpr char kFile[] =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\Target]\n"
    "\"shared\"=\"new\"\n"
    "\"dropped\"=-\n"
    "\"gone\"=-\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\Target\\New]\n"
    "@=dword:00000001\n\n";

// Software\Test\Target holds "other", "shared", "dropped" and the subkey
// Old before each restore; the restored file is written into a directory
// of the test's own.
class Restore : public testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTarget);
    Key key;
    ASSERT_EQ(CreateKey(kTarget, key.out()), ERROR_SUCCESS);
    for (const char* name : {"other", "shared", "dropped"}) {
      SetValue(key, name, REG_SZ, "old\0"s);
    }
    MakeKey(std::string(kTarget) + "\\Old");
  }
  std::string Write(const std::string& text) {
    WriteFile(file_, text);
    return file_;
  }
  std::string file_ = MakeTempDir("restore") + "/in.reg";
};

TEST_F(Restore, ReplaceRemovesWhatTheFileLacksAndMergeOnlyValuesMarkedMinus) {
  const struct {
    DWORD flags;
    const char* dump;
  } rows[] = {
      {TRUE, "[]\n\"shared\" 1: 110 101 119 0\n[\\New]\n\"\" 4: 1 0 0 0\n"},
      {FALSE,
       "[]\n\"other\" 1: 111 108 100 0\n\"shared\" 1: 110 101 119 0\n"
       "[\\New]\n\"\" 4: 1 0 0 0\n[\\Old]\n"},
  };
  for (const auto& row : rows) {
    SetUp();
    ASSERT_TRUE(Load(kTarget, Write(kFile), row.flags)) << GetMsgString();
    EXPECT_EQ(Dump(kTarget), row.dump) << "replace: " << row.flags;
  }
}

TEST_F(Restore, MissingTargetIsCreatedAndKeysMatchItWithoutRegardToCase) {
  std::string file = Write(
      "\xEF\xBB\xBFREGEDIT4\r\n\r\n"
      "[hkey_local_machine\\SOFTWARE\\test\\NEWTARGET\\Sub]  \r\n"
      "\"n\"=DWORD:ABCD\r\n"
      "\"h\"=HEX(B):0A,Bc,\\\r\n"
      "   0d\r\n"
      "\"s\"=\"a\\nb\"\r\n");  // another editor's line break
  ASSERT_TRUE(Load("Software\\Test\\NewTarget", file, TRUE)) << GetMsgString();
  EXPECT_EQ(Dump("Software\\Test\\NewTarget"),
            "[]\n[\\Sub]\n\"h\" 11: 10 188 13\n\"n\" 4: 205 171 0 0\n"
            "\"s\" 1: 97 10 98 0\n");
}

TEST_F(Restore, AReplaceFromAFileWithoutKeysIsRefusedUnlessAllowed) {
  const std::string before = Dump(kTarget), file = Write("REGEDIT4\n\n");
  EXPECT_FALSE(Load(kTarget, file, TRUE));
  EXPECT_TRUE(MessageHas("holds no key"));
  EXPECT_EQ(Dump(kTarget), before);
  EXPECT_TRUE(Load(kTarget, file, FALSE));
  EXPECT_EQ(Dump(kTarget), before);
  EXPECT_TRUE(Load(kTarget, file, RESTORE_ALLOW_EMPTY));
  EXPECT_EQ(Dump(kTarget), "[]\n");
}

// Each file restores nothing and the message names it and says why: a
// fixture of tests/fixtures/save, or a text ("=" first) or UTF-16 text
// ("5" first) written for the row.
TEST_F(Restore, FilesThatCannotBeRestoredChangeNothingAndSayWhere) {
  const std::string v5 =
      "5Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Test\\Target]\r\n";
  const std::string v4 =
      "=REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Test\\Target]\n";
  const struct {
    std::string file;
    std::string message;  // after the file's name, but for "nothing..."
  } rows[] = {
      {"truncated_continuation.reg", ", line 9:"},
      {"bad_hex_digit.reg", ", line 8:"},
      {"missing_header.reg",
       ", line 1: the file starts with none of "
       "REGEDIT4, Windows Registry Editor Version 5.00 "
       "and '{'"},
      {"key_outside_target.reg", ", line 8:"},
      {"unterminated_quote.reg", ", line 8:"},
      {"missing_equals.reg", ", line 8:"},
      {"value_before_key.reg", ", line 3:"},
      {"key_deletion.reg", ", line 8:"},
      {"lost_continuation.reg", ", line 9:"},
      {"absent.reg", ""},
      {v4 + "\"a\\nb\"=\"\"\n",
       ", line 3: a value name cannot hold a line break"},
      {std::string("=") + kFile +
           "[HKEY_LOCAL_MACHINE\\Software\\Test\\Target\\" +
           std::string(300, 'k') + "]\n",
       "nothing was restored"},
      {v5 + "\r\n\"e\"=hex(2):41,00,42\r\n", ", line 5:"},
      {v5 + "\"m\"=hex(7):00,d8,00,00\r\n", ", line 4:"},
      {v5 + "\"s\"=\"", ", line 4:"},  // a lone surrogate follows
      {v5 + "@=\"x\"\r\n.", ", line 5: the UTF-16 text ends in half"},
      {v4 + "\"h\"=hex:01,\n", ", line 3: hex data ends in a ','"},
      {v4 + "\"d\"=dword:000000001\n", ", line 3: a dword number needs one"},
      {v5 + "\"w\"=hex(1):41,00,\\\r\n 42,00\r\nx\r\n", ", line 6:"},
      {"={\"key\": \"HKEY_LOCAL_MACHINE\\\\Software\\\\Test\\\\Target\",\n"
       "\"values\": {\"x\": {\"type\": \"REG_SZ\", \"data\": \"a\"},}}",
       ", line 2: not JSON"},
      {"={\"key\": \"HKEY_LOCAL_MACHINE\\\\Software\\\\Test\"}",
       ", at $.key: the key HKEY_LOCAL_MACHINE\\Software\\Test is outside"},
      {Json(R"("values": {"x": {"type": "REG_TEXT", "data": "a"}})"),
       ", at $.values.x.type: a type name"},
      {Json(R"("values": {"x": {"type": 4, "data": 4294967296}})"),
       ", at $.values.x.data: a number from 0 to 4294967295"},
      {Json(R"("values": {"x": {"type": "REG_SZ", "hex": "0g"}})"),
       ", at $.values.x.hex: pairs of hex digits"},
      {Json(R"("values": {"x": {"type": "REG_BINARY", "data": "a"}})"),
       ", at $.values.x.data: this type has its data as \"hex\" only"},
      {Json(R"("keys": {"a b": {"values": {"x": null, "X": null}}})"),
       ", at $.keys[\"a b\"].values.X: the name appears twice"},
      {Json(R"("keys": {"k": {"values": {}}, "k": {}})"),
       ", at $.keys.k: the name appears twice"},
      {Json(R"("keys": {"k": {"valeus": {}}})"),
       ", at $.keys.k.valeus: no such member"},
      {Json(R"("keys": {"a\\b": {}})"), ", at $.keys[\"a\\\\b\"]: a key name"},
      {Json(R"("values": {"m": {"type": "REG_MULTI_SZ", "data": ["a", ""]}})"),
       ", at $.values.m.data[1]: an item"},
  };
  const std::string before = Dump("Software");
  for (const auto& row : rows) {
    std::string file = (std::filesystem::path(__FILE__).parent_path() /
                        "../fixtures/save" / row.file)
                           .string();
    if (row.file[0] == '=') file = Write(row.file.substr(1));
    if (row.file[0] == '5') {
      std::string bytes = Utf16File(row.file.substr(1));
      if (row.file.ends_with('"')) bytes += "\x00\xD8\"\0"s;
      if (row.file.ends_with('.')) bytes.pop_back();  // half a character
      file = Write(bytes);
    }
    EXPECT_FALSE(Load(kTarget, file, TRUE)) << row.file;
    std::string said = row.message;
    if (!said.starts_with("nothing")) said = file + said;
    EXPECT_TRUE(MessageHas(said)) << row.file;
    // Without transactions (Wine's registry) a file refused while it is
    // written leaves what was written.
    if (!KxwinRegistryTransactions() && said.starts_with("nothing")) SetUp();
    EXPECT_EQ(Dump("Software"), before) << row.file;
  }
}

// The header, not the file's encoding, makes the hex texts UTF-16: the
// same file in UTF-16, in UTF-8 with its byte order mark and in UTF-8
// without it restores the same values.
TEST_F(Restore, Version5FilesRestoreTheirTextsInTheStoresBytes) {
  const std::string latin1 =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Test\\Target]\r\n"
      "@=\"caf\xE9\"\r\n\"e\"=hex(2):25,00,e9,00,00,00\r\n"
      "\"m\"=hex(7):61,00,00,00,3d,d8,00,de,00,00,00,00\r\n"
      "\"w\"=hex(1):41,00,\\\r\n  42,00\r\n\"d\"=dword:00000102\r\n"
      "\"b\"=hex:e9,00\r\n\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n";
  std::string utf8;
  for (unsigned char c : latin1) {
    if (c >= 0x80)
      utf8 += {static_cast<char>(0xC0 | c >> 6),
               static_cast<char>(0x80 | (c & 0x3F))};
    if (c < 0x80) utf8 += static_cast<char>(c);
  }
  for (const std::string& text :
       {Utf16File(latin1), "\xEF\xBB\xBF" + utf8, utf8}) {
    SetUp();
    ASSERT_TRUE(Load(kTarget, Write(text), TRUE)) << GetMsgString();
    EXPECT_EQ(Dump(kTarget),
              "[]\n\"\" 1: 99 97 102 195 169 0\n\"b\" 3: 233 0\n"
              "\"d\" 4: 2 1 0 0\n\"e\" 2: 37 195 169 0\n"
              "\"m\" 7: 97 0 240 159 152 128 0 0\n\"q\" 11: 1 0 0 0 0 0 0 0\n"
              "\"w\" 1: 65 66 0\n");
  }
}

// CompareRegistry reports what the restore would change, value by value,
// and changes nothing; a restore of what is stored writes nothing, so no
// watch of the key fires.
TEST_F(Restore, CompareSaysWhatARestoreWouldChangeAndAnEqualOneWritesNothing) {
  const std::string head =
      "{\"key\": \"HKEY_LOCAL_MACHINE\\\\Software\\\\Test\\\\Target\", "
      "\"changes\": [\n";
  const std::string old = "{\"type\": \"REG_SZ\", \"data\": \"old\"}";
  auto gone = [&](const char* name) {
    return "{\"change\": \"-\", \"key\": \"\", \"name\": \"" +
           std::string(name) + "\", \"old\": " + old + ", \"new\": null},\n";
  };
  const std::string shared =
      "{\"change\": \"~\", \"key\": \"\", \"name\": \"shared\", \"old\": " +
      old + ", \"new\": {\"type\": \"REG_SZ\", \"data\": \"new\"}},\n";
  const std::string added =
      "{\"change\": \"+\", \"key\": \"New\", \"name\": null, \"old\": null, "
      "\"new\": null},\n{\"change\": \"+\", \"key\": \"New\", \"name\": \"\", "
      "\"old\": null, \"new\": {\"type\": \"REG_DWORD\", \"data\": 1}}";
  const std::string removed =
      ",\n{\"change\": \"-\", \"key\": \"Old\", \"name\": null, \"old\": "
      "null, \"new\": null}";
  const struct {
    BOOL replace;
    std::string report;
  } rows[] = {
      {FALSE, head + gone("dropped") + shared + added + "]}\n"},
      {TRUE, head + gone("dropped") + gone("other") + shared + added + removed +
                 "]}\n"},
  };
  const std::string before = Dump(kTarget), file = Write(kFile);
  for (const auto& row : rows) {
    LPSTR report = nullptr;
    ASSERT_TRUE(CompareRegistry(HKEY_LOCAL_MACHINE, kTarget, file.c_str(),
                                row.replace, &report))
        << GetMsgString();
    EXPECT_EQ(report, row.report);
    ZRNFreeMemory(report);
    EXPECT_EQ(Dump(kTarget), before);
  }
  ASSERT_TRUE(Load(kTarget, file, TRUE));
  Key key;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTarget, 0, KEY_NOTIFY, key.out()),
      ERROR_SUCCESS);
  kx::UniqueHandle changed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_EQ(RegNotifyChangeKeyValue(
                key, TRUE, REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
                changed.get(), TRUE),
            ERROR_SUCCESS);
  ASSERT_TRUE(Load(kTarget, file, TRUE));
  EXPECT_EQ(WaitForSingleObject(changed.get(), 0), WAIT_TIMEOUT);
}
