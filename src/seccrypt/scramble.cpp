// Scrambling passes, the key table, and the per-process choice of variant.
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>

#include "win32_extra.h"
#include "seccrypt.h"

namespace seccrypt {
namespace {

constexpr int kKeyCount = 16;
// Fixed at build time: values already stored depend on every entry.
constexpr int32_t kScrambleKeys[kKeyCount] = {17, 42, 5,  58, 23, 36, 11, 49,
                                              3,  61, 29, 14, 52, 8,  39, 26};

// The programs whose values use the narrow variant, as Windows names them.
constexpr const char* kNarrowPrograms[] = {
    "KXAGENT.EXE",   "KXMGR.EXE",    "KXCONSOLE.EXE", "KXSCHED.EXE",
    "KXJOBMGR.EXE",  "KXEVTCON.EXE", "KXDBGATE.EXE",  "KXREPORT.EXE",
    "KXNETMON.EXE",  "KXSECURE.EXE", "KXTRAPD.EXE",   "KXLOGGER.EXE",
    "KXCALDR.EXE",   "KXSPOOL.EXE",  "KXBACKUP.EXE",  "KXARCHIV.EXE",
    "KXINSTALL.EXE", "KXSETUP.EXE",  "KXMAILER.EXE",  "KXWEBSRV.EXE",
    "KXSNMPD.EXE",   nullptr};

// Both variants keep scrambled bytes at 32 and up, clear of control bytes.
constexpr int kLowest = 32;
// Wide: scrambled bytes stay in 32..255, a span of 224.
constexpr int kWideSpan = 224;
// Narrow: scrambled bytes stay in 32..125, a span of 94; bytes from 126 up
// are only stepped by one and leave the feedback alone.
constexpr int kNarrowHighest = 125;
constexpr int kNarrowSpan = 94;
constexpr int kNarrowStepped = 126;

// Each step maps byte `c` at a position with key `k`, updates the feedback
// `p`, and returns the new byte (its low 8 bits are stored). The sums fold
// back at most twice, because c, k and p together exceed the range by less
// than two spans.
int WideScramble(int c, int k, int& p) {
  int t = c + k + p;
  if (t > 255) t -= kWideSpan;
  if (t > 255) t -= kWideSpan;
  p = t & 0xFF;
  return t;
}

int WideUnscramble(int c, int k, int& p) {
  int t = c - k - p;
  if (t < kLowest) t += kWideSpan;
  if (t < kLowest) t += kWideSpan;
  p = c;
  return t;
}

int NarrowScramble(int c, int k, int& p) {
  if (c >= kNarrowStepped) return c + 1;
  int t = c + k + p;
  if (t > kNarrowHighest) t -= kNarrowSpan;
  if (t > kNarrowHighest) t -= kNarrowSpan;
  p = t & 0xFF;
  return t;
}

int NarrowUnscramble(int c, int k, int& p) {
  if (c >= kNarrowStepped) return c - 1;
  int t = c - k - p;
  if (t < kLowest) t += kNarrowSpan;
  if (t < kLowest) t += kNarrowSpan;
  p = c;
  return t;
}

using Step = int (*)(int c, int k, int& p);

void RunPass(char* buffer, int length, Step step) {
  if (!buffer || length <= 0) return;
  int feedback = 0;
  for (int i = 0; i < length && buffer[i] != '\0'; ++i) {
    int c = static_cast<unsigned char>(buffer[i]);
    int t = step(c, kScrambleKeys[i % kKeyCount], feedback);
    buffer[i] = static_cast<char>(t & 0xFF);
  }
}

// Written once, inside variant_once; readers come after call_once returns,
// which orders the write before their reads. Never changes afterwards.
enum class VariantState { kNotChosen, kWide, kNarrow };
std::once_flag variant_once;
VariantState variant_state = VariantState::kNotChosen;

VariantState ChooseProcessVariant() {
  // Zeroed, so a failed lookup reads as an empty name: the wide variant.
  char path[256] = {};
  GetModuleFileNameA(nullptr, path, 255);
  return ChooseNarrowVariant(path) ? VariantState::kNarrow
                                   : VariantState::kWide;
}

}  // namespace

ScrambleVariant CurrentScrambleVariant() {
  std::call_once(variant_once, [] { variant_state = ChooseProcessVariant(); });
  return variant_state == VariantState::kNarrow ? ScrambleVariant::kNarrow
                                                : ScrambleVariant::kWide;
}

void ScramblePass(char* buffer, int length, ScrambleVariant variant) {
  RunPass(buffer, length,
          variant == ScrambleVariant::kNarrow ? NarrowScramble : WideScramble);
}

void UnscramblePass(char* buffer, int length, ScrambleVariant variant) {
  RunPass(
      buffer, length,
      variant == ScrambleVariant::kNarrow ? NarrowUnscramble : WideUnscramble);
}

bool ChooseNarrowVariant(const char* executable_path) {
  if (!executable_path) return false;
  std::string name = executable_path;
  _mbsupr(reinterpret_cast<unsigned char*>(name.data()));
  // The list holds Windows program names, which end in ".EXE". Linux
  // executables have no extension, so one is supplied: "kxsched" then
  // matches "KXSCHED.EXE" as "KXSCHED.EXE" did on Windows, while a listed
  // name that is only a directory of the path still does not.
  if (!name.ends_with(".EXE")) name += ".EXE";
  for (const char* const* program = kNarrowPrograms; *program; ++program) {
    if (name.find(*program) != std::string::npos) return true;
  }
  return false;
}

bool ScrambleRoundTrips(const char* text, ScrambleVariant variant) {
  if (!text) return true;
  const std::string original = text;
  // Longer than a pass can take, so it could not be stored scrambled whole.
  if (original.size() > static_cast<size_t>(INT_MAX)) return false;
  std::string value = original;
  int length = static_cast<int>(value.size());
  for (int pass = 0; pass < kScramblePasses; ++pass) {
    ScramblePass(value.data(), length, variant);
  }
  for (int pass = 0; pass < kScramblePasses; ++pass) {
    UnscramblePass(value.data(), length, variant);
  }
  return value == original;
}

}  // namespace seccrypt

void ScrambleValue(char* buffer, int length) {
  seccrypt::ScramblePass(buffer, length, seccrypt::CurrentScrambleVariant());
}

void UnscrambleValue(char* buffer, int length) {
  seccrypt::UnscramblePass(buffer, length, seccrypt::CurrentScrambleVariant());
}
