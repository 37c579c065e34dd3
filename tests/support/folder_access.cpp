#include "support/folder_access.h"

#include <aclapi.h>

#include "base/unique_handle.h"

namespace halyx::testing {

ACCESS_MASK GrantedToOthers(const std::wstring& folder) {
  FileHandle handle(::CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!handle || ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                   nullptr, &descriptor) != ERROR_SUCCESS) {
    return ~static_cast<ACCESS_MASK>(0);
  }
  ACCESS_MASK granted = 0;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const PSID sid = &allowed->SidStart;
    if (::IsWellKnownSid(sid, WinWorldSid) || ::IsWellKnownSid(sid, WinBuiltinUsersSid) ||
        ::IsWellKnownSid(sid, WinAuthenticatedUserSid)) {
      granted |= allowed->Mask;
    }
  }
  ::LocalFree(descriptor);
  return granted;
}

}  // namespace halyx::testing
