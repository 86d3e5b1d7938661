// Where locale modules are installed when no environment says: the
// resource-only DLLs beside this one in the bin directory. Windows paths
// may separate with '\' or '/'.
#include <string>

#include "internal.h"

namespace zrnapi {

std::string InstalledLocaleDirectory(std::string module_path) {
  size_t separator = module_path.find_last_of("\\/");
  return separator == std::string::npos ? std::string(".")
                                        : module_path.substr(0, separator);
}

}  // namespace zrnapi
