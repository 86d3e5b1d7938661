// Profile records written and read through real profile files, and the
// header text on its own.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "kxenvprf.h"
#include "kxwin/kxwin.h"
#include "testing.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kPadding21(21, ';');

// A fresh profile file, opened; closed again at the end of the test.
struct Profile {
  std::string path = kxtest::MakeTempDir("prf") + "/old.ini";
  int handle = OpenProfile(path.c_str());
  ~Profile() { CloseProfile(handle); }

  void SetRaw(const std::string& text) const {
    ASSERT_TRUE(WritePrivateProfileStringA("Values", "Block", text.c_str(),
                                           path.c_str()));
  }
  std::string Raw() const {
    std::vector<char> buffer(70000);
    GetPrivateProfileStringA("Values", "Block", "", buffer.data(),
                             static_cast<DWORD>(buffer.size()), path.c_str());
    return buffer.data();
  }
  int Write(const Bytes& bytes) const {
    return WriteProfileRecord(handle, "Values", "Block", bytes.data(),
                              static_cast<int>(bytes.size()));
  }
  int Size() const {
    int count = -1;
    return GetProfileRecordSize(handle, "Values", "Block", &count) ? count : -1;
  }
  // The first `count` bytes, or nothing when the read fails.
  std::optional<Bytes> Read(int count) const {
    Bytes bytes(static_cast<std::size_t>(count > 0 ? count : 0), 0xEE);
    if (!ReadProfileRecord(handle, "Values", "Block", bytes.data(), count)) {
      return std::nullopt;
    }
    return bytes;
  }
};

TEST(ProfileRecord, BytesRoundTripAsAHeaderAndUpperCaseHex) {
  Profile profile;
  ASSERT_EQ(profile.Write({0x41, 0x0A}), 1);
  EXPECT_EQ(profile.Raw(), "29,2" + kPadding21 + "410A");
  Bytes every_value;
  for (int i = 0; i < 256; ++i)
    every_value.push_back(static_cast<unsigned char>(i));
  Bytes largest(kMaxRecordBytes, 0x5C);
  largest.back() = 0xA3;
  for (const Bytes& bytes : {Bytes{0}, every_value, largest}) {
    ASSERT_EQ(profile.Write(bytes), 1);
    int count = static_cast<int>(bytes.size());
    EXPECT_EQ(profile.Size(), count);
    EXPECT_EQ(profile.Read(count), bytes);
    EXPECT_EQ(profile.Raw().size(), 25u + 2 * bytes.size());
  }
  // A read takes the first bytes, never more than the record holds.
  ASSERT_EQ(profile.Write({1, 2, 3}), 1);
  EXPECT_EQ(profile.Read(2), (Bytes{1, 2}));
  EXPECT_EQ(profile.Read(4), std::nullopt);
  EXPECT_EQ(profile.Read(-1), std::nullopt);
  // Zero bytes are written but do not read back.
  ASSERT_EQ(profile.Write({}), 1);
  EXPECT_EQ(profile.Raw(), "25,0" + kPadding21);
  EXPECT_EQ(profile.Size(), 0);
  EXPECT_EQ(profile.Read(0), std::nullopt);
}

TEST(ProfileRecord, TextsThatAreNoRecordOrHideOtherBytes) {
  struct Row {
    const char* name;
    std::string text;
    int size = -1;  // what GetProfileRecordSize reports, -1 for a failure
    std::optional<Bytes> bytes = std::nullopt;  // what reading its size gives
  } rows[] = {
      // A value of seven characters cannot be told from the default text.
      {"seven characters", "29,2;;;"},
      {"shorter than a header", "29,2" + std::string(19, ';')},
      {"lower-case digit", "29,2" + kPadding21 + "410a", 2, Bytes{0x41, 0x2A}},
      {"foreign digits", "29,2" + kPadding21 + "G!~z", 2, Bytes{0xF1, 0xB3}},
      {"more digits than its count", "29,2" + kPadding21 + "410A4243", 2,
       Bytes{0x41, 0x0A}},
      {"fewer digits than promised", "29,2" + kPadding21 + "41", 2,
       std::nullopt},
      {"header alone", "29,2" + kPadding21, 2, std::nullopt},
      {"huge count", "99999,99999" + kPadding21 + "410A"},
      {"count past the limit", "65561,32768" + kPadding21},
      {"negative numbers", "-7,-16" + kPadding21 + "410A"},
      {"length that does not match", "31,2" + kPadding21 + "410A"},
      {"no comma", "29;2" + kPadding21 + "410A"},
      {"no numbers", std::string(24, ';') + "410A"},
      {"number beyond int", "4294967325,2" + kPadding21 + "410A"},
  };
  Profile profile;
  for (const Row& row : rows) {
    profile.SetRaw(row.text);
    EXPECT_EQ(profile.Size(), row.size) << row.name;
    EXPECT_EQ(profile.Read(row.size < 0 ? 0 : row.size), row.bytes) << row.name;
    Bytes decoded{1};
    EXPECT_EQ(DecodeProfileRecord(row.text.c_str(), &decoded),
              row.bytes ? row.size : 0)
        << row.name;
    EXPECT_EQ(decoded, row.bytes.value_or(Bytes{})) << row.name;
  }
}

TEST(ProfileRecord, BadWritesLeaveTheFileAlone) {
  Profile profile;
  Bytes bytes(kMaxRecordBytes + 1, 0);
  const int h = profile.handle;
  for (int count : {-1, kMaxRecordBytes + 1}) {
    EXPECT_EQ(WriteProfileRecord(h, "S", "K", bytes.data(), count), 0);
  }
  EXPECT_EQ(WriteProfileRecord(h, "S", "K", nullptr, 1), 0);
  EXPECT_EQ(WriteProfileRecord(h, "S", nullptr, "x", 1), 0);
  EXPECT_EQ(WriteProfileRecord(h + 1, "S", "K", "x", 1), 0);
  EXPECT_EQ(GetFileAttributesA(profile.path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(RecordHeader, ParsesAsPercentDCommaPercentDAndFillsTwentyFive) {
  struct Row {
    const char* text;
    int result, total, count;
  } rows[] = {
      {"29,2;;;", 2, 29, 2},
      {" \t29,\n 2", 2, 29, 2},
      {"+5,-0", 2, 5, 0},
      {"-2147483648,2147483647", 2, INT_MIN, INT_MAX},
      {"29 ,2", 1, 29, 0},
      {"29,", 1, 29, 0},
      {"2147483648,1", 0, 0, 0},
      {"-,1", 0, 0, 0},
      {"", -1, 0, 0},
      {"  ", -1, 0, 0},
  };
  for (const Row& row : rows) {
    int total = 0, count = 0;
    int result = ParseRecordHeader(row.text, &total, &count);
    EXPECT_EQ(std::tuple(result, total, count),
              std::tuple(row.result, row.total, row.count))
        << row.text;
  }
  char header[25];
  FormatRecordHeader(INT_MIN, INT_MIN, header);
  EXPECT_EQ(std::string(header, 25), "-2147483648,-2147483648;;");
}

}  // namespace
