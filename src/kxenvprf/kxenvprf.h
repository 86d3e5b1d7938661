// The profile store: what an earlier installation left in profile (INI)
// files. One profile value, a "profile record", holds a block of bytes as
// text:
//
//   characters 0..24  header: decimal T, ',', decimal N, then ';' up to
//                     exactly 25 characters
//   from character 25 the N bytes as hex, two upper-case digits per byte,
//                     high nibble first
//
// with T = 25 + 2N (the record's length) and N at most 32,767. The bytes of
// a record are usually a value block (below): the names and values of
// variables.
//
// Profiles are opened by path and named by small handles that are valid in
// this process only. Internal to libkxenv and its tools; nothing here is
// exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lock_checks.h"

// ---- limits -----------------------------------------------------------------

// The longest profile path, without its terminator.
inline constexpr int kMaxProfilePath = 263;
// The most bytes one record holds.
inline constexpr int kMaxRecordBytes = 32767;
// The fixed width of a record's header.
inline constexpr int kRecordHeaderSize = 25;

// ---- profiles ---------------------------------------------------------------

// The lock of the list of open profiles, for the library's at-fork handler;
// nothing is taken inside it.
kx::CheckedMutex& ProfileListLock();

// A handle (>= 1) for the profile file at `path`, which need not exist yet.
// 0 for a null or empty path, a path longer than kMaxProfilePath, or when
// memory runs out. A path that is open already gets a handle of its own.
int OpenProfile(const char* path);
// 1 when the handle was open and is now closed, else 0. Handle 0 is the
// list's head and is never closed.
int CloseProfile(int handle);
// The path of an open handle, or nullptr. Valid until the handle is closed.
const char* GetProfilePath(int handle);

// ---- records ----------------------------------------------------------------

// Writes `count` bytes as the record of `section`/`key`: 1 when the profile
// file was written; 0 for an unknown handle, a null section or key, null
// bytes with a count, a count below 0 or above kMaxRecordBytes, or a failed
// write.
int WriteProfileRecord(int handle, const char* section, const char* key,
                       const void* bytes, int count);
// 1 and the record's byte count N in `*count`, or 0 when there is no valid
// record header.
int GetProfileRecordSize(int handle, const char* section, const char* key,
                         int* count);
// 1 when the record was read and decoded and its first `count` bytes copied
// to `destination`; 0 when there is no record, it holds no bytes, it does
// not decode, or `count` is below 0 or above its byte count.
int ReadProfileRecord(int handle, const char* section, const char* key,
                      void* destination, int count);

// ---- the parts of a record --------------------------------------------------

// Reads the first 24 characters of the value and checks them as a header:
// 1 and, with `whole`, T + 25 (the buffer a whole read needs), else N in
// `*out`. 0 when the value is missing (the read gives the default text, so
// a real value of exactly seven characters counts as missing too), shorter
// than 24 characters, or its header is not valid (ValidRecordHeader).
int QueryProfileHeader(int handle, const char* section, const char* key,
                       int* out, int whole);
// The record text of `count` bytes in `*text`; returns its length T, or 0
// (and an empty text) for a count below 0 or above kMaxRecordBytes or null
// bytes with a count.
int EncodeProfileRecord(const void* bytes, int count, std::string* text);
// The bytes of a record text in `*bytes`; returns their count N, or 0 (and
// no bytes) when the text is shorter than a header, the header is not
// valid, N is 0, or the text holds fewer than 2N digits after the header.
// Digits beyond 2N are ignored. Digits are not checked: see HexDecode.
int DecodeProfileRecord(const char* text, std::vector<unsigned char>* bytes);

// Writes 2 * count upper-case hex digits (no terminator) to `text`.
void HexEncode(const unsigned char* bytes, std::size_t count, char* text);
// Reads 2 * count characters from `text`, which must hold that many. A
// digit below 'A' counts as its distance from '0', any other as its
// distance from 'A' plus 10, so only upper-case hex gives back the encoded
// bytes; other characters give other bytes, never a failure.
void HexDecode(const char* text, std::size_t count, unsigned char* bytes);

// The 25 header characters (not terminated) for a record of length `total`
// holding `count` bytes.
void FormatRecordHeader(int total, int count, char (&out)[25]);
// Reads "T,N" from the start of `text` as sscanf's "%d,%d" would: blanks
// before each number, an optional sign, decimal digits. Returns how many
// numbers were read (0, 1 or 2), or -1 for a null or blank text. A number
// beyond the range of int is not read (where sscanf's result is undefined).
int ParseRecordHeader(const char* text, int* total, int* count);
// Whether a parsed header is one this store writes: 0 <= N <=
// kMaxRecordBytes and T == 25 + 2N. Anything else is refused whole, so no
// reader sizes a buffer by a header that contradicts itself.
bool ValidRecordHeader(int total, int count);

// ---- value blocks -----------------------------------------------------------
//
// The bytes of a record that carries variables:
//
//   offset 0   version, u32 little-endian, 1
//   offset 4   count of name/value pairs, u32, at least 1
//   offset 8   length L of the scrambled area that starts at offset 12
//   offset 12  per pair: offset of its name, offset of its value (u32 each,
//              from the block's start); then the names and values, each
//              NUL-terminated
//
// The L bytes from offset 12 are stored XOR-ed with kValueBlockMask1 and
// then with kValueBlockMask2; reading applies the same two steps.

inline constexpr std::uint32_t kValueBlockVersion = 1;
inline constexpr std::size_t kValueBlockHeaderSize = 12;
inline constexpr unsigned char kValueBlockMask1 = 0x6B;
inline constexpr unsigned char kValueBlockMask2 = 0xA5;

struct ProfilePair {
  const char* name;
  const char* value;
};

// Unscrambles the block's scrambled area in place and gives its pairs
// (pointers into the block) in `*pairs`. false, no pairs, and the block as
// it was, when the version is not 1, the count is 0, the block is shorter
// than its header, the scrambled area runs past the block, the pair table
// runs past the scrambled area, or a name or value starts outside the
// string area (after the pair table, inside the block) or has no NUL
// before the block's end. Nothing outside [block, block + size) is read.
bool UnpackValueBlock(unsigned char* block, std::size_t size,
                      std::vector<ProfilePair>* pairs);
// A scrambled block holding the pairs in order; each name and value ends
// at its first NUL. With no pairs the block has count 0, which readers
// refuse; a block past 32-bit offsets comes back empty.
std::vector<unsigned char> PackValueBlock(
    const std::vector<std::pair<std::string, std::string>>& pairs);
