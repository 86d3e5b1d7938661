// Values carried over from an earlier installation. A FILE row names a
// profile file and a record in it whose value block holds variable names
// and values; they go into the copied-value index, which outlives the load
// (a later load in the same process applies them again), and the file is
// moved aside to its .BAK name so that it is read only once.
#include <strings.h>

#include <string>
#include <vector>

#include "internal.h"
#include "kxenvprf.h"
#include "table.h"

namespace {

// The extra room behind a record's bytes, as the readers of value blocks
// have always had it.
constexpr int kBlockSlack = 1000;

struct ProfileHandle {
  int handle;
  ~ProfileHandle() { CloseProfile(handle); }
};

VariableRecord* CopiedEntry(VarIndex** index, const char* name, bool* added) {
  *added = false;
  if (VarLink** slot = GetVarIndex(*index, name)) return (*slot)->record;
  VariableRecord* entry = NewTableEntry(name);
  *added = entry != nullptr;
  return entry;
}

// Stores one pair; false when memory ran out (the pair is then skipped).
bool AddCopiedValue(VarIndex** index, bool global, const ProfilePair& pair) {
  bool added;
  VariableRecord* entry = CopiedEntry(index, pair.name, &added);
  if (!entry) return false;
  char** field = global ? &entry->globalValue : &entry->localValue;
  bool copied = SetEntryText(entry, field, pair.value);
  if (!added) return copied;
  if (!copied) {
    FreeRecord(entry);
    return false;
  }
  return IndexTableEntry(index, entry);
}

bool ReadValueBlock(VarIndex** index, int handle, const VariableRecord* row) {
  int size = 0;
  if (!GetProfileRecordSize(handle, row->name, row->app, &size)) return false;
  std::vector<unsigned char> block(static_cast<size_t>(size) + kBlockSlack);
  if (!ReadProfileRecord(handle, row->name, row->app, block.data(), size))
    return false;
  return LoadCopiedValues(index, row->name, block.data(),
                          static_cast<size_t>(size));
}

}  // namespace

bool LoadCopiedValues(VarIndex** index, const char* section,
                      unsigned char* block, std::size_t size) {
  std::vector<ProfilePair> pairs;
  if (!section || !UnpackValueBlock(block, size, &pairs)) return false;
  bool global = strcasecmp(section, "ENVGLBL") == 0;
  for (const ProfilePair& pair : pairs) AddCopiedValue(index, global, pair);
  return true;
}

bool CopyProfileValues(VarIndex** index, const VariableRecord* row) {
  // An empty directory counts as none: the path would name a file at the
  // root, which a load must never move aside.
  const char* directory = KXgetenv(row->globalValue);
  if (!directory || !*directory || !row->localValue) return false;
  std::string path = std::string(directory) + "/" + row->localValue;
  if (!FitsPath(path)) return false;
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  bool result = false;
  {
    ProfileHandle profile{OpenProfile(path.c_str())};
    if (!profile.handle) return false;
    result = ReadValueBlock(index, profile.handle, row);
  }
  std::string backup = path + ".BAK";
  MoveFileExA(path.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING);
  return result;
}
