#include "base/admin_write_check.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include <fmt/format.h>

#include "base/unique_handle.h"
#include "base/utf8.h"

namespace halyx {
namespace {

// TrustedInstaller's service SID (NT SERVICE\TrustedInstaller), which owns
// the system's own folders.
constexpr const wchar_t* kTrustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct LocalFreeDeleter {
  void operator()(void* memory) const { ::LocalFree(memory); }
};

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "an unreadable SID";
  std::string result = WideToUtf8(text);
  ::LocalFree(text);
  return result;
}

// CREATOR OWNER and CREATOR GROUP only stand in for the creator of objects
// created below; on the object itself they match nobody.
bool IsCreatorPlaceholder(PSID sid) {
  return ::IsWellKnownSid(sid, WinCreatorOwnerSid) || ::IsWellKnownSid(sid, WinCreatorGroupSid);
}

// One path element opened without following a reparse point.
bool CheckElement(const std::wstring& path, ACCESS_MASK rights, const TrustedWriter& trusted, std::string& why) {
  FileHandle element(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!element) {
    why = fmt::format("{} cannot be opened ({:#x})", WideToUtf8(path), ::GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(element.get(), &info)) {
    why = fmt::format("{} cannot be read ({:#x})", WideToUtf8(path), ::GetLastError());
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    why = WideToUtf8(path) + " is a link";
    return false;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status =
      ::GetSecurityInfo(element.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor);
  const std::unique_ptr<void, LocalFreeDeleter> hold(descriptor);
  if (status != ERROR_SUCCESS) {
    why = fmt::format("the access list of {} cannot be read ({:#x})", WideToUtf8(path), status);
    return false;
  }
  if (!OnlyTrustedHold(descriptor, rights, trusted, why)) {
    why = WideToUtf8(path) + ": " + why;
    return false;
  }
  return true;
}

}  // namespace

bool IsAdministrativeSid(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return false;
  if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
  PSID installer = nullptr;
  if (!::ConvertStringSidToSidW(kTrustedInstaller, &installer)) return false;
  const bool same = ::EqualSid(sid, installer) != FALSE;
  ::LocalFree(installer);
  return same;
}

bool OnlyTrustedHold(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights, const TrustedWriter& trusted,
                     std::string& why) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) {
    why = "no owner";
    return false;
  }
  // An owner may rewrite the access list, whatever it says.
  if (!trusted(owner)) {
    why = "owned by " + SidText(owner);
    return false;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    why = "no access list: everyone may write";  // a null DACL grants everything
    return false;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(dacl, i, &raw)) {
      why = "an unreadable access list";
      return false;
    }
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    // Only plain and callback allow entries carry a SID where a plain one
    // does; any other allow type is not understood here and refused.
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
        header->AceType == SYSTEM_AUDIT_ACE_TYPE || header->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
      continue;
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      why = fmt::format("an access entry of type {} that is not understood", header->AceType);
      return false;
    }
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if ((ace->Mask & rights) == 0 || IsCreatorPlaceholder(sid) || trusted(sid)) continue;
    why = fmt::format("{} may write ({:#x})", SidText(sid), ace->Mask & rights);
    return false;
  }
  return true;
}

bool OnlyAdministratorsCanChange(const std::wstring& path, std::string& why, const TrustedWriter& trusted) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool local = path.size() > 3 &&
                     ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                     path[1] == L':' && separator(path[2]);
  if (!local) {
    why = WideToUtf8(path) + " is not on a local drive";
    return false;
  }
  std::wstring element = path;
  while (!element.empty() && separator(element.back())) element.pop_back();
  // The file, then its folder with the same rights, then each folder above
  // for the rights that replace what is in it.
  ACCESS_MASK rights = kChangeRights;
  for (int level = 0;; ++level) {
    if (level >= 2) rights = kTakeOverRights;
    const bool root = element.size() == 2;
    if (!CheckElement(root ? element + L"\\" : element, rights, trusted, why)) return false;
    if (root) return true;
    const std::size_t slash = element.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash < 2) {
      why = WideToUtf8(path) + " is not a full path";
      return false;
    }
    element.resize(slash);
    if (element.size() > 2 && separator(element.back())) {
      why = WideToUtf8(path) + " holds an empty path element";
      return false;
    }
  }
}

}  // namespace halyx
