#include "base/all_users_directory.h"

#include <shlobj.h>
#include <userenv.h>
#include <windows.h>

namespace halyx {

bool GetAllUsersDirectory(std::string& folder) {
  char buffer[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH + 1;
  if (::GetAllUsersProfileDirectoryA(buffer, &size)) {
    folder = buffer;
    return true;
  }
  const DWORD error = ::GetLastError();
  if (SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    folder = buffer;
    return true;
  }
  ::SetLastError(error);
  return false;
}

}  // namespace halyx
