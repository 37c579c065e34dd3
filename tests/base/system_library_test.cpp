#include "base/system_library.h"

#include <string>

#include <gtest/gtest.h>

namespace halyx {
namespace {

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, length);
}

std::wstring ModuleFile(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, length);
}

// A system DLL is loaded from the system folder, whatever DLL directory is set; a name with a
// path in it is refused.
TEST(LoadSystemLibrary, LoadsFromTheSystemFolderOnly) {
  wchar_t temp[MAX_PATH] = {};
  ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
  ASSERT_TRUE(::SetDllDirectoryW(temp));
  ModuleHandle shcore = LoadSystemLibrary(L"shcore.dll");
  ::SetDllDirectoryW(nullptr);
  ASSERT_TRUE(shcore);
  EXPECT_EQ(_wcsicmp(ModuleFile(shcore.get()).c_str(), (SystemFolder() + L"\\shcore.dll").c_str()), 0);
  EXPECT_NE(::GetProcAddress(shcore.get(), "GetDpiForMonitor"), nullptr);

  EXPECT_FALSE(LoadSystemLibrary(L"..\\shcore.dll"));
  EXPECT_FALSE(LoadSystemLibrary(L"C:shcore.dll"));
  EXPECT_FALSE(LoadSystemLibrary(L""));
  EXPECT_FALSE(LoadSystemLibrary(L"no-such-library.dll"));
}

}  // namespace
}  // namespace halyx
