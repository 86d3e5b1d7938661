// The lookup behind the pause points (pause.h).
#include "cache/pause.h"

#include <dlfcn.h>

namespace {

using PauseFunction = void (*)(const char* point);

PauseFunction FindPause() {
  return reinterpret_cast<PauseFunction>(
      dlsym(RTLD_DEFAULT, "kxenv_test_pause"));
}

}  // namespace

void PauseAt(const char* point) {
  static const PauseFunction pause = FindPause();
  if (pause) pause(point);
}
