// What the test support does differently on each platform: the temporary
// area, the store, and (in process_<platform>.cpp) helper processes.
#pragma once

#include <string>
#include <vector>

namespace kxtest {

// A fresh directory that holds everything a test process makes on disk.
std::string MakeTempRoot();
// Makes the store of a test process, below `temp_root` or in the registry,
// and points this process (and so every helper it starts) at it; returns
// what StoreDir reports.
std::string MakeStore(const std::string& temp_root);
// In a helper process: uses the store of the test process that started it,
// and writes its standard streams without line-end translation.
void AdoptStore();
// Removes what MakeStore made outside the temporary area.
void RemoveStore();
// Runs argv[0] with its standard streams on the files at the three paths
// and `env` applied to this process's variables; gives its exit code (128
// + signal number when one ended it), or throws when it cannot start.
int RunToEnd(const std::vector<std::string>& argv,
             const std::vector<std::string>& env, const std::string& in,
             const std::string& out, const std::string& err);

}  // namespace kxtest
