// Security descriptors: only their form is kept and checked, since access
// to the store and the objects file is decided by file permissions.
#include <cstring>

#include "internal.h"

namespace kxwin {

bool DescriptorIsValid(const SECURITY_ATTRIBUTES* attributes) {
  if (!attributes || !attributes->lpSecurityDescriptor) return true;
  auto* descriptor =
      static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
  return descriptor->Revision == SECURITY_DESCRIPTOR_REVISION;
}

}  // namespace kxwin

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                  DWORD revision) {
  if (revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (!descriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Revision =
      SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present,
                               PACL dacl, BOOL defaulted) {
  auto* record = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (!record || record->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(record ? ERROR_UNKNOWN_REVISION : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  record->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  if (present) record->Control |= SE_DACL_PRESENT;
  if (present && defaulted) record->Control |= SE_DACL_DEFAULTED;
  record->Dacl = present ? dacl : nullptr;
  return TRUE;
}
