// Putting the shipped table back: kxenv.tab is moved to kxenv.bak and the
// pristine copy kxenv.hdg, which the installation never edits, is copied
// over it. Nothing is rolled back: when the copy fails after the move, the
// edited table survives only as kxenv.bak, from where an administrator can
// move it back by hand.
#include <string>

#include "internal.h"
#include "table.h"

namespace {

// The multi-string list of queued moves, freed on every way out.
struct MoveList {
  LPSTR list = nullptr;
  ~MoveList() { MultiStrDelList(&list); }
};

bool InitEnvTab() {
  std::string directory = GlobalDirectory();
  if (directory.empty()) return false;
  std::string table = directory + "/kxenv.tab";
  std::string backup = directory + "/kxenv.bak";
  std::string pristine = directory + "/kxenv.hdg";
  // All three before anything moves, so that a refusal touches no file.
  if (!FitsPath(table) || !FitsPath(backup) || !FitsPath(pristine))
    return false;
  MoveList moves;
  if (!MultiStrAddValue(&moves.list, table.c_str()) ||
      !MultiStrAddValue(&moves.list, backup.c_str())) {
    return false;
  }
  if (!ProcessMoveFilesQueue(moves.list, 0, 0)) return false;
  return CopyFileA(pristine.c_str(), table.c_str(), FALSE);
}

}  // namespace

extern "C" KXENV_API int KXinitenvtab(void) {
  return Guarded("KXinitenvtab", -1, [] { return InitEnvTab() ? 0 : -1; });
}
