// Windows keeps no change journal: the registry has no hook that would
// write an entry in the same transaction as every change, whoever makes it
// (docs/windows.md, "The change journal").
#include "journal.h"

namespace kxtool {
namespace {

constexpr char kNotKept[] =
    "this store keeps no history: on Windows the registry cannot record an "
    "entry together with every change (see docs/windows.md)";

}  // namespace

std::string ReadJournal(const Filter&,
                        const std::function<bool(const Entry&)>&) {
  return kNotKept;
}

std::string ReadJournalState(JournalState*) {
  return kNotKept;
}

std::string SetJournalBounds(const Bounds&) {
  return kNotKept;
}

}  // namespace kxtool
