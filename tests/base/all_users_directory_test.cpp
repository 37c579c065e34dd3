// The all-users folder resolves on Windows and under Wine alike.
#include "base/all_users_directory.h"

#include <shlobj.h>
#include <windows.h>

#include <gtest/gtest.h>

namespace halyx {
namespace {

TEST(AllUsersDirectory, IsTheCommonApplicationDataFolder) {
  std::string folder;
  ASSERT_TRUE(GetAllUsersDirectory(folder));
  char common[MAX_PATH + 1] = {};
  ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)));
  EXPECT_EQ(::lstrcmpiA(folder.c_str(), common), 0) << folder << " vs " << common;
  const DWORD attributes = ::GetFileAttributesA(folder.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_NE(folder.back(), '\\');
}

}  // namespace
}  // namespace halyx
