// The text of a profile record: the fixed-width header and the hex digits.
// Everything here works on memory only; profiles.cpp reads and writes files.
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "kxenvprf.h"

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// Blanks as the C locale's isspace knows them, which is what sscanf skips.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// One "%d" at `*text`: blanks, an optional sign, at least one digit, and a
// value in the range of int. Moves `*text` behind it when read.
bool ReadDecimal(const char** text, int* value) {
  const char* p = *text;
  while (IsBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return false;
  long long magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    // Past INT_MAX + 1 no int holds it, whatever the sign.
    if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
  }
  long long signed_value = negative ? -magnitude : magnitude;
  if (signed_value > INT_MAX) return false;
  *value = static_cast<int>(signed_value);
  *text = p;
  return true;
}

unsigned DigitValue(char c) {
  auto code = static_cast<unsigned char>(c);
  // Unsigned arithmetic: characters that are no digit wrap to some value,
  // which the caller keeps to eight bits.
  return code < 'A' ? code - '0' : code - 'A' + 10;
}

}  // namespace

void HexEncode(const unsigned char* bytes, std::size_t count, char* text) {
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
}

void HexDecode(const char* text, std::size_t count, unsigned char* bytes) {
  for (std::size_t i = 0; i < count; ++i) {
    unsigned high = DigitValue(text[2 * i]);
    unsigned low = DigitValue(text[2 * i + 1]);
    bytes[i] = static_cast<unsigned char>((high << 4) + low);
  }
}

void FormatRecordHeader(int total, int count, char (&out)[25]) {
  // Two ints and a comma take at most 23 characters, so the numbers always
  // fit and at least two ';' follow.
  char numbers[32];
  int length = std::snprintf(numbers, sizeof numbers, "%d,%d", total, count);
  std::memset(out, ';', sizeof out);
  std::memcpy(out, numbers, static_cast<std::size_t>(length));
}

int ParseRecordHeader(const char* text, int* total, int* count) {
  if (!text) return -1;
  const char* p = text;
  while (IsBlank(*p)) ++p;
  if (!*p) return -1;
  if (!ReadDecimal(&p, total)) return 0;
  if (*p != ',') return 1;
  ++p;
  return ReadDecimal(&p, count) ? 2 : 1;
}

bool ValidRecordHeader(int total, int count) {
  return count >= 0 && count <= kMaxRecordBytes &&
         total == kRecordHeaderSize + 2 * count;
}

int EncodeProfileRecord(const void* bytes, int count, std::string* text) {
  if (!text) return 0;
  text->clear();
  if (count < 0 || count > kMaxRecordBytes || (!bytes && count > 0)) {
    return 0;
  }
  try {
    int total = kRecordHeaderSize + 2 * count;
    char header[kRecordHeaderSize];
    FormatRecordHeader(total, count, header);
    text->assign(header, sizeof header);
    text->resize(static_cast<std::size_t>(total));
    HexEncode(static_cast<const unsigned char*>(bytes),
              static_cast<std::size_t>(count),
              text->data() + kRecordHeaderSize);
    return total;
  } catch (const std::bad_alloc&) {
    text->clear();
    return 0;
  }
}

int DecodeProfileRecord(const char* text, std::vector<unsigned char>* bytes) {
  if (!bytes) return 0;
  bytes->clear();
  if (!text) return 0;
  // Only the header's first 24 characters are parsed, as a read of the
  // header alone gets no more, so both reads agree on every text.
  char header[kRecordHeaderSize] = {};
  std::size_t length = std::strlen(text);
  if (length < kRecordHeaderSize) return 0;
  std::memcpy(header, text, kRecordHeaderSize - 1);
  int total = 0;
  int count = 0;
  if (ParseRecordHeader(header, &total, &count) != 2) return 0;
  if (!ValidRecordHeader(total, count) || count == 0) return 0;
  // A text cut short (or a header that promises more than it has) is
  // refused rather than read past its end.
  auto digits = static_cast<std::size_t>(count);
  if (length - kRecordHeaderSize < 2 * digits) return 0;
  try {
    bytes->resize(digits);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  HexDecode(text + kRecordHeaderSize, digits, bytes->data());
  return count;
}
