// What is wrong with a store that cannot be used, for the messages of the
// commands whose library call failed or found nothing.
#pragma once

#include <string>

namespace kxtool {

// Probes the store that KX_REGISTRY names, for reading or, with `write`,
// for writing; says what is wrong with it ("the store /x/registry.db is
// damaged: ..."), or nothing when it can be used, so that the command's
// own message stands (a variable that is not there).
std::string StoreTrouble(bool write);

}  // namespace kxtool
