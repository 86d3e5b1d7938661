// Value blocks: the names and values of variables in the bytes of a record.
//
// A block comes from a file anyone may have edited, so the reader trusts
// none of its numbers: every size is checked against the block before it is
// used, in 64-bit arithmetic, and every string must end inside the block.
// A block that fails any check gives no pairs at all and is scrambled back,
// so the caller holds the same bytes as before.
#include <cstring>
#include <limits>
#include <new>

#include "kxenvprf.h"

namespace {

constexpr std::size_t kPairEntrySize = 8;

std::uint32_t ReadU32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) |
         static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 |
         static_cast<std::uint32_t>(at[3]) << 24;
}

void WriteU32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<unsigned char>(value >> 8 * i);
}

// Both directions: each mask undoes itself.
void ScrambleArea(unsigned char* area, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    area[i] ^= kValueBlockMask1;
    area[i] ^= kValueBlockMask2;
  }
}

// Where the block's last NUL is, or size when it has none. A string that
// starts at or before it ends inside the block; one that starts after it
// does not. Knowing this once keeps a block of many pairs linear.
std::size_t LastNul(const unsigned char* block, std::size_t size) {
  for (std::size_t i = size; i > 0; --i) {
    if (block[i - 1] == 0) return i - 1;
  }
  return size;
}

struct StringArea {
  std::size_t start;     // behind the pair table
  std::size_t last_nul;  // as LastNul gives it
};

const char* StringAt(const unsigned char* block, const StringArea& area,
                     std::uint32_t offset) {
  if (offset < area.start || offset > area.last_nul) return nullptr;
  return reinterpret_cast<const char*>(block + offset);
}

// The pairs of an unscrambled block whose header and pair table were
// checked to lie inside it.
bool CollectPairs(const unsigned char* block, std::size_t size,
                  std::uint32_t count, std::vector<ProfilePair>* pairs) {
  StringArea area{kValueBlockHeaderSize + count * kPairEntrySize,
                  LastNul(block, size)};
  pairs->reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* entry =
        block + kValueBlockHeaderSize + i * kPairEntrySize;
    const char* name = StringAt(block, area, ReadU32(entry));
    const char* value = StringAt(block, area, ReadU32(entry + 4));
    if (!name || !value) return false;
    pairs->push_back({name, value});
  }
  return true;
}

// Appends a string up to its first NUL, and a NUL; returns where it starts.
std::size_t AppendString(const std::string& text,
                         std::vector<unsigned char>* block) {
  std::size_t start = block->size();
  const char* begin = text.c_str();
  block->insert(block->end(), begin, begin + std::strlen(begin) + 1);
  return start;
}

}  // namespace

bool UnpackValueBlock(unsigned char* block, std::size_t size,
                      std::vector<ProfilePair>* pairs) {
  if (!pairs) return false;
  pairs->clear();
  if (!block || size < kValueBlockHeaderSize) return false;
  std::uint32_t version = ReadU32(block);
  std::uint32_t count = ReadU32(block + 4);
  std::uint32_t scrambled = ReadU32(block + 8);
  if (version != kValueBlockVersion || count == 0) return false;
  if (scrambled > size - kValueBlockHeaderSize) return false;
  // 64 bits hold count * 8 for any 32-bit count.
  if (static_cast<std::uint64_t>(count) * kPairEntrySize > scrambled) {
    return false;
  }
  unsigned char* area = block + kValueBlockHeaderSize;
  ScrambleArea(area, scrambled);
  bool ok = false;
  try {
    ok = CollectPairs(block, size, count, pairs);
  } catch (const std::bad_alloc&) {
  }
  if (!ok) {
    pairs->clear();
    ScrambleArea(area, scrambled);
  }
  return ok;
}

std::vector<unsigned char> PackValueBlock(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::vector<unsigned char> block(kValueBlockHeaderSize +
                                   pairs.size() * kPairEntrySize);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    std::size_t name = AppendString(pairs[i].first, &block);
    std::size_t value = AppendString(pairs[i].second, &block);
    unsigned char* entry =
        block.data() + kValueBlockHeaderSize + i * kPairEntrySize;
    WriteU32(entry, static_cast<std::uint32_t>(name));
    WriteU32(entry + 4, static_cast<std::uint32_t>(value));
  }
  // Offsets are 32-bit; a block beyond them cannot be written.
  if (block.size() > std::numeric_limits<std::uint32_t>::max()) return {};
  WriteU32(block.data(), kValueBlockVersion);
  WriteU32(block.data() + 4, static_cast<std::uint32_t>(pairs.size()));
  WriteU32(block.data() + 8,
           static_cast<std::uint32_t>(block.size() - kValueBlockHeaderSize));
  ScrambleArea(block.data() + kValueBlockHeaderSize,
               block.size() - kValueBlockHeaderSize);
  return block;
}
