// The product's global directory, where the table and its companions lie.
#include "kxenv2.h"
#include "table.h"

std::string GlobalDirectory() {
  const char* directory = KXgetenv("KXIGLBL0000");
  return directory ? directory : "";
}
