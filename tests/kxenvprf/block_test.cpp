// Value blocks: packed and unpacked, their exact bytes, and hostile blocks,
// each in a buffer of exactly its size so that the address sanitizer sees
// any read past its end; and the inputs kept for the store's fuzzers
// (tests/fixtures/fuzz: seeds and past findings).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kxenvprf.h"
#include "kxenvprf_checks.h"
#include "testing.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// The writer picks its two masks; what the format fixes is that both are
// applied to every byte from offset 12 on, so that one byte, learnt here
// from the first scrambled byte of a block (in clear its first name offset,
// 20), is XOR-ed into each.
unsigned char Mask() {
  static const unsigned char mask = PackValueBlock({{"A", "b"}})[12] ^ 20;
  return mask;
}

Pairs Copied(const std::vector<ProfilePair>& pairs) {
  Pairs copies;
  for (const ProfilePair& pair : pairs)
    copies.emplace_back(pair.name, pair.value);
  return copies;
}

void PutU32(Bytes* block, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    (*block)[at + i] = static_cast<unsigned char>(value >> 8 * i);
}

// Bytes from offset 12 on, as stored: clear text XOR-ed with both masks.
Bytes Scrambled(Bytes clear) {
  for (std::size_t i = 12; i < clear.size(); ++i) clear[i] ^= Mask();
  return clear;
}

TEST(ValueBlock, PackedPairsUnpackInOrderAndHaveTheirExactBytes) {
  const Pairs pairs = {{"KX_HOME", "/opt/kx"},
                       {"EMPTY", ""},
                       {"GRÜSSE", "Grüße"},
                       {"KX_HOME", "second"}};
  Bytes block = PackValueBlock(pairs);
  std::vector<ProfilePair> unpacked;
  ASSERT_TRUE(UnpackValueBlock(block.data(), block.size(), &unpacked));
  EXPECT_EQ(Copied(unpacked), pairs);
  // version 1, one pair, 12 scrambled bytes: offsets 20 and 22, "A", "b".
  const Bytes clear = {1,  0, 0, 0, 1,  0, 0, 0, 12,  0, 0,   0,
                       20, 0, 0, 0, 22, 0, 0, 0, 'A', 0, 'b', 0};
  EXPECT_EQ(PackValueBlock({{"A", "b"}}), Scrambled(clear));
  // Text after an embedded NUL is not part of the name.
  EXPECT_EQ(PackValueBlock({{std::string("A\0x", 3), "b"}}), Scrambled(clear));
}

TEST(ValueBlock, StringsMayLieBehindTheScrambledArea) {
  // The scrambled area holds the pair table only; the strings follow in
  // clear text.
  Bytes clear = {1, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 20, 0, 0, 0, 22, 0, 0, 0};
  Bytes block = Scrambled(clear);
  for (char c : {'A', '\0', 'b', '\0'})
    block.push_back(static_cast<unsigned char>(c));
  std::vector<ProfilePair> unpacked;
  ASSERT_TRUE(UnpackValueBlock(block.data(), block.size(), &unpacked));
  EXPECT_EQ(Copied(unpacked), (Pairs{{"A", "b"}}));
}

// A hostile block: the packed block of two pairs, changed in clear text.
struct Hostile {
  const char* what;
  void (*change)(Bytes* clear);
};

// Scrambling a packed block again gives its clear text.
Bytes TwoPairsInClear() {
  return Scrambled(PackValueBlock({{"NAME", "value"}, {"N2", "v2"}}));
}

const Hostile kHostile[] = {
    {"version 2", [](Bytes* b) { (*b)[0] = 2; }},
    {"version 0", [](Bytes* b) { (*b)[0] = 0; }},
    {"count 0", [](Bytes* b) { PutU32(b, 4, 0); }},
    {"pair table past the scrambled area", [](Bytes* b) { PutU32(b, 4, 5); }},
    {"count whose table size overflows 32 bits",
     [](Bytes* b) { PutU32(b, 4, 0x20000000); }},
    {"count at the top", [](Bytes* b) { PutU32(b, 4, 0xFFFFFFFF); }},
    {"scrambled area one past the end",
     [](Bytes* b) {
       PutU32(b, 8, static_cast<std::uint32_t>(b->size() - 11));
     }},
    {"scrambled area at the top", [](Bytes* b) { PutU32(b, 8, 0xFFFFFFFF); }},
    {"name offset at the end",
     [](Bytes* b) { PutU32(b, 12, static_cast<std::uint32_t>(b->size())); }},
    {"value offset at the top", [](Bytes* b) { PutU32(b, 16, 0xFFFFFFFF); }},
    {"name inside the header", [](Bytes* b) { PutU32(b, 12, 8); }},
    {"value inside the pair table", [](Bytes* b) { PutU32(b, 24, 20); }},
    {"last value unterminated", [](Bytes* b) { b->back() = 'x'; }},
    {"shorter than its header", [](Bytes* b) { b->resize(11); }},
    {"empty", [](Bytes* b) { b->clear(); }},
    {"cut inside the strings", [](Bytes* b) { b->pop_back(); }},
    {"no NUL anywhere",
     [](Bytes* b) {
       for (std::size_t i = 28; i < b->size(); ++i) {
         if ((*b)[i] == 0) (*b)[i] = '#';
       }
     }},
};

TEST(ValueBlock, HostileBlocksAreRefusedWholeAndLeftAsTheyWere) {
  for (const Hostile& hostile : kHostile) {
    SCOPED_TRACE(hostile.what);
    Bytes clear = TwoPairsInClear();
    hostile.change(&clear);
    const Bytes stored = Scrambled(clear);
    Bytes block = stored;  // a buffer of exactly its size
    std::vector<ProfilePair> pairs = {{"stale", "stale"}};
    EXPECT_FALSE(UnpackValueBlock(block.data(), block.size(), &pairs));
    EXPECT_TRUE(pairs.empty());
    EXPECT_EQ(block, stored);
  }
  std::vector<ProfilePair> none;
  EXPECT_FALSE(UnpackValueBlock(nullptr, 0, &none));
}

TEST(FuzzFindings, ProfileRecordAndValueBlockInputsStayHarmless) {
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "profile_record_fuzz",
                                     CheckProfileRecordInput),
            0);
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "value_block_fuzz",
                                     CheckValueBlockInput),
            0);
}

}  // namespace
