// seccrypt: the scrambling of sensitive values before they are stored.
//
// A pass walks the bytes of a value, adding (or, to undo, subtracting) a
// key from a fixed table of 16 and the scrambled byte before it, and folds
// the sum back into the range the variant keeps bytes in. The wide variant
// keeps bytes in 32..255; the narrow one keeps them printable ASCII
// (32..125) and only steps bytes of 126 and up by one. Which variant a
// process uses depends on its executable and is decided once, so a value
// never changes variant halfway through a process. Callers apply
// kScramblePasses passes each way.
//
// Nothing here is exported from libkxenv.
#pragma once

namespace seccrypt {

// How many passes in a row a stored value gets, each way.
inline constexpr int kScramblePasses = 4;

enum class ScrambleVariant { kWide, kNarrow };

// The variant of this process: chosen on the first call from the
// executable's name (any thread may be first), the same ever after.
ScrambleVariant CurrentScrambleVariant();

// One pass over `buffer` in place, up to its first zero byte or `length`
// bytes, whichever comes first. A zero byte and the bytes after it are
// untouched; a null buffer or a length <= 0 does nothing.
void ScramblePass(char* buffer, int length, ScrambleVariant variant);
// The inverse of one ScramblePass of the same variant, with the same limits.
void UnscramblePass(char* buffer, int length, ScrambleVariant variant);

// Whether an executable path selects the narrow variant: its upper-cased
// form (with ".EXE" appended where missing) contains one of the listed
// program names. Null selects the wide variant.
bool ChooseNarrowVariant(const char* executable_path);

// Whether kScramblePasses scrambles and as many unscrambles give `text` back.
// Bytes 1..31, and under the narrow variant bytes 252 and up, do not, so a
// value holding them cannot be stored scrambled. A null text has nothing to
// lose.
bool ScrambleRoundTrips(const char* text, ScrambleVariant variant);

}  // namespace seccrypt

// The library's entries: one pass with the variant of this process.
void ScrambleValue(char* buffer, int length);
void UnscrambleValue(char* buffer, int length);
