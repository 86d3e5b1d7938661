// Where locale modules are installed when no environment says: the
// catalogs in share/kx-orrery/locale of the prefix whose lib directory
// holds this library.
#include <string>

#include "internal.h"

namespace zrnapi {

std::string InstalledLocaleDirectory(std::string module_path) {
  for (int up = 0; up < 2; ++up) {
    module_path = module_path.substr(0, module_path.rfind('/'));
  }
  return module_path + "/share/kx-orrery/locale";
}

}  // namespace zrnapi
