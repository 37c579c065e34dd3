// Nobody but SYSTEM, Administrators and TrustedInstaller may change a file,
// its folder, or what lies in the folders above; links are refused.
#include "base/admin_write_check.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::ScopedTempDir;
using ::halyx::testing::WriteWholeFile;

std::string UserSid() {
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buffer[256] = {};
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
  ::CloseHandle(token);
  wchar_t* text = nullptr;
  ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::string sid = WideToUtf8(text);
  ::LocalFree(text);
  return sid;
}

// Wine records no owners and gives every file's user full control, so the
// user stands in for the administrators who own a real install.
bool AdministratorOrMe(PSID sid) {
  if (IsAdministrativeSid(sid)) return true;
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return false;
  const bool me = WideToUtf8(text) == UserSid();
  ::LocalFree(text);
  return me;
}

bool Holds(const wchar_t* sddl, ACCESS_MASK rights, std::string& why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
      << WideToUtf8(sddl);
  const bool held = OnlyTrustedHold(descriptor, rights, IsAdministrativeSid, why);
  ::LocalFree(descriptor);
  return held;
}

TEST(AdminWriteCheck, AccessListsAreReadForEveryWayToChangeWhatIsThere) {
  constexpr const wchar_t* kTi = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::wstring programFiles = std::wstring(L"O:") + kTi + L"D:PAI(A;;FA;;;" + kTi +
                                    L")(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                                    L"(A;OICI;0x1200a9;;;AC)";
  // "C:\": Authenticated Users may add folders, and own what they add.
  const wchar_t* driveRoot =
      L"O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)"
      L"(A;OICIIO;SDGXGWGR;;;AU)";
  struct Case {
    std::wstring sddl;
    ACCESS_MASK rights;
    bool held;
    const char* why;  // start of the reason
  } cases[] = {
      {programFiles, kChangeRights, true, ""},
      {programFiles, kTakeOverRights, true, ""},
      {driveRoot, kTakeOverRights, true, ""},
      {driveRoot, kChangeRights, false, "S-1-5-11 may write (0x4)"},
      {L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)", kChangeRights, false, "S-1-5-32-545 may write (0x2)"},
      {L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)", kTakeOverRights, true, ""},
      {L"O:BAD:(A;;0x40;;;IU)", kTakeOverRights, false, "S-1-5-4 may write (0x40)"},
      {L"O:BAD:(A;;0x10000;;;WD)", kTakeOverRights, false, "S-1-1-0 may write (0x10000)"},
      {L"O:BAD:(A;;0x40000;;;S-1-5-21-1-2-3-1001)", kTakeOverRights, false, "S-1-5-21-1-2-3-1001 may write"},
      {L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;BA)", kTakeOverRights, false, "owned by S-1-5-21-1-2-3-1001"},
      {L"O:BA", kTakeOverRights, false, "no access list"},
      // Deny entries are not credited: the allow alone decides.
      {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;WD)", kTakeOverRights, false, "S-1-1-0 may write"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(Holds(c.sddl.c_str(), c.rights, why), c.held) << WideToUtf8(c.sddl);
    EXPECT_EQ(why.rfind(c.why, 0), 0u) << WideToUtf8(c.sddl) << ": " << why;
  }
  for (const wchar_t* sid : {L"SY", L"BA", kTi}) {
    PSID parsed = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(sid, &parsed));
    EXPECT_TRUE(IsAdministrativeSid(parsed)) << WideToUtf8(sid);
    ::LocalFree(parsed);
  }
  for (const wchar_t* sid : {L"BU", L"AU", L"WD", L"IU", L"S-1-5-21-1-2-3-500"}) {
    PSID parsed = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(sid, &parsed));
    EXPECT_FALSE(IsAdministrativeSid(parsed)) << WideToUtf8(sid);
    ::LocalFree(parsed);
  }
}

// Real files and folders: a folder anyone may write, at any level of the
// chain, or a link in it, or a path off the local drives, is refused.
TEST(AdminWriteCheck, TheWholeFolderChainIsChecked) {
  ScopedTempDir dir;
  const std::wstring outer = dir.path() + L"\\outer";
  const std::wstring inner = outer + L"\\inner";
  const std::wstring exe = inner + L"\\QuorVPN.exe";
  ASSERT_TRUE(::CreateDirectoryW(outer.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(inner.c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(exe, "MZ"));
  std::string why;
  EXPECT_TRUE(OnlyAdministratorsCanChange(exe, why, AdministratorOrMe)) << why;
  // Everything under Wine reads as its user's.
  EXPECT_FALSE(OnlyAdministratorsCanChange(exe, why));
  EXPECT_NE(why.find("owned by " + UserSid()), std::string::npos) << why;

  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)",
                                                                     SDDL_REVISION_1, &open, nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL everyone = nullptr;
  ::GetSecurityDescriptorDacl(open, &present, &everyone, &defaulted);
  // Two levels up from the file: anyone may rename "inner" away and put
  // their own in its place.
  ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(outer.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, everyone, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(OnlyAdministratorsCanChange(exe, why, AdministratorOrMe));
  EXPECT_NE(why.find(WideToUtf8(outer) + ": S-1-1-0 may write"), std::string::npos) << why;
  ::LocalFree(open);

  for (const wchar_t* elsewhere : {L"\\\\server\\share\\QuorVPN.exe", L"\\\\?\\C:\\QuorVPN.exe", L"QuorVPN.exe", L"C:",
                                   L"C:\\", L"C:\\windows\\\\notepad.exe"}) {
    EXPECT_FALSE(OnlyAdministratorsCanChange(elsewhere, why, AdministratorOrMe)) << WideToUtf8(elsewhere);
  }
  EXPECT_FALSE(OnlyAdministratorsCanChange(inner + L"\\missing.exe", why, AdministratorOrMe));
  EXPECT_NE(why.find("cannot be opened"), std::string::npos) << why;
}

}  // namespace
}  // namespace halyx
