// Shared sections: named blocks of the objects file that every process of
// the store maps at once (CreateFileMappingA on no file, MapViewOfFile).
//
// A section is made zero-filled under table_lock, its slot published by
// writing `in_use` last, and never freed, like a named mutex: a process
// that opens it later, or again, gets the same bytes. A view is the slot's
// data in the mapping the process already has, so it needs no mmap of its
// own and stays valid for as long as the process runs.
#include <cstring>

#include "handles.h"
#include "internal.h"
#include "objects.h"

namespace kxwin {
namespace {

struct SectionObject {
  ObjectsFile* objects;
  uint32_t index;
  SectionSlot& slot() const { return objects->sections[index]; }
};

// The named section, or a free slot for it; call with table_lock held. -1
// when the table is full.
int FindSection(ObjectsFile* objects, const char* name, bool* existed) {
  KX_ASSERT_LOCK(TableLockHeld());
  int free_slot = -1;
  for (uint32_t i = 0; i < kSectionSlots; ++i) {
    const SectionSlot& slot = objects->sections[i];
    if (slot.in_use && std::strcmp(slot.name, name) == 0) {
      *existed = true;
      return static_cast<int>(i);
    }
    if (!slot.in_use && free_slot < 0) free_slot = static_cast<int>(i);
  }
  *existed = false;
  return free_slot;
}

std::shared_ptr<SectionObject> OpenSection(const char* name, DWORD size,
                                           bool* existed) {
  ObjectsFile* objects = Objects();
  if (!objects) return nullptr;
  TableLock lock(objects);
  int index = FindSection(objects, name, existed);
  if (index < 0) return FailWith(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  SectionSlot& slot = objects->sections[index];
  if (!*existed) {
    std::memset(slot.data, 0, sizeof slot.data);
    slot.size = size;
    std::strncpy(slot.name, name, kMutexNameSize - 1);
    slot.in_use = 1;
  }
  return std::make_shared<SectionObject>(
      SectionObject{objects, static_cast<uint32_t>(index)});
}

}  // namespace
}  // namespace kxwin

using namespace kxwin;

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes,
                          DWORD protect, DWORD size_high, DWORD size_low,
                          LPCSTR name) {
  if (file != INVALID_HANDLE_VALUE || !name ||
      (protect & ~SEC_COMMIT) != PAGE_READWRITE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (size_high == 0 && size_low == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // as Windows, for no file
    return nullptr;
  }
  if (size_high || size_low > kSectionSize) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (std::strlen(name) >= kMutexNameSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  if (!DescriptorIsValid(attributes)) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return nullptr;
  }
  return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
    bool existed = false;
    auto section = OpenSection(name, size_low, &existed);
    if (!section) return nullptr;
    HANDLE handle = InsertHandle(HandleKind::kSection, std::move(section));
    if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  });
}

LPVOID MapViewOfFile(HANDLE handle, DWORD, DWORD offset_high, DWORD offset_low,
                     SIZE_T size) {
  auto section = Lookup<SectionObject>(handle, HandleKind::kSection);
  if (!section) return nullptr;
  if (offset_high || offset_low) {
    // Views start at a multiple of 64 KiB, past any section's end here.
    SetLastError(offset_low % 65536 ? ERROR_MAPPED_ALIGNMENT
                                    : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  SectionSlot& slot = section->slot();
  if (size > slot.size) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return slot.data;
}

BOOL UnmapViewOfFile(LPCVOID address) {
  ObjectsFile* objects = Objects();
  if (objects) {
    for (const SectionSlot& slot : objects->sections) {
      if (address == slot.data) return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_ADDRESS);
  return FALSE;
}
