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

// Makes this process use the store that KX_REGISTRY names, before any
// command runs; says what is wrong when it cannot. On Linux kxwin reads
// the variable itself. On Windows it names a key below HKEY_CURRENT_USER
// that stands in for HKEY_LOCAL_MACHINE: a store of one's own that needs
// no administrator, as a directory of one's own does on Linux.
std::string UseChosenStore();

}  // namespace kxtool
