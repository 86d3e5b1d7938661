// The properties behind the profile store's fuzz targets. Memory faults are
// for the sanitizers to find; these functions check what they cannot see.
#include "kxenvprf_checks.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kxenvprf.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

bool Inside(const char* text, const std::vector<unsigned char>& block) {
  auto* begin = reinterpret_cast<const char*>(block.data());
  if (text < begin || text >= begin + block.size()) return false;
  auto left = static_cast<std::size_t>(begin + block.size() - text);
  return std::memchr(text, 0, left) != nullptr;
}

bool CopyPairs(const std::vector<ProfilePair>& pairs,
               const std::vector<unsigned char>& block, Pairs* copies) {
  for (const ProfilePair& pair : pairs) {
    if (!Inside(pair.name, block) || !Inside(pair.value, block)) return false;
    copies->emplace_back(pair.name, pair.value);
  }
  return true;
}

}  // namespace

bool CheckProfileRecordInput(const std::uint8_t* data, std::size_t size) {
  std::string text;
  if (size > 0) text.assign(reinterpret_cast<const char*>(data), size);
  std::vector<unsigned char> bytes;
  int count = DecodeProfileRecord(text.c_str(), &bytes);
  if (count == 0) return bytes.empty();
  if (count < 0 || count > kMaxRecordBytes ||
      bytes.size() != static_cast<std::size_t>(count)) {
    return false;
  }
  std::string again;
  if (EncodeProfileRecord(bytes.data(), count, &again) !=
      kRecordHeaderSize + 2 * count) {
    return false;
  }
  std::vector<unsigned char> decoded;
  return DecodeProfileRecord(again.c_str(), &decoded) == count &&
         decoded == bytes;
}

bool CheckValueBlockInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the input's size, so that the address sanitizer sees any read
  // past its end.
  std::vector<unsigned char> block;
  if (size > 0) block.assign(data, data + size);
  std::vector<ProfilePair> pairs;
  if (!UnpackValueBlock(block.data(), block.size(), &pairs)) {
    return pairs.empty() && std::equal(block.begin(), block.end(), data);
  }
  Pairs copies;
  if (pairs.empty() || !CopyPairs(pairs, block, &copies)) return false;
  std::vector<unsigned char> packed = PackValueBlock(copies);
  std::vector<ProfilePair> again;
  Pairs copies_again;
  return UnpackValueBlock(packed.data(), packed.size(), &again) &&
         CopyPairs(again, packed, &copies_again) && copies_again == copies;
}
