// The pause points' lookup of the test program's function (cache/pause.h).
#include <dlfcn.h>

#include "cache/pause.h"

namespace {

using PauseFunction = void (*)(const char* point);

// Looked up as the library loads, after the program that exports it: a
// point is then one test of a word that never changes.
const PauseFunction pause_function =
    reinterpret_cast<PauseFunction>(dlsym(RTLD_DEFAULT, "kxenv_test_pause"));

}  // namespace

void PauseAt(const char* point) {
  if (pause_function) pause_function(point);
}
