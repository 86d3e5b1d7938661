// The product's global directory, where the table and its companions lie,
// and the rule for the paths formed there.
#include "kxenv2.h"
#include "table.h"

std::string GlobalDirectory() {
  const char* directory = KXgetenv("KXIGLBL0000");
  return directory ? directory : "";
}

bool FitsPath(const std::string& path) {
  return path.size() < MAX_PATH;
}
