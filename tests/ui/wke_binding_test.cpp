// The binding loads only the engine beside the executable and refuses one
// that lacks names, so nothing is ever called through a null pointer.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "support/scoped_temp_dir.h"
#include "ui/wke_binding.h"

namespace halyx::testing {
namespace {

// While it lives, every message box this thread opens is answered with OK at
// once, and its caption is kept.
class MessageBoxAnswerer {
 public:
  MessageBoxAnswerer() : hook_(::SetWindowsHookExW(WH_CBT, &Hook, nullptr, ::GetCurrentThreadId())) {
    captions.clear();
  }
  ~MessageBoxAnswerer() { ::UnhookWindowsHookEx(hook_); }
  static std::vector<std::string> captions;

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    const HWND box = reinterpret_cast<HWND>(wParam);
    char text[128] = {};
    if (code == HCBT_CREATEWND || code == HCBT_DESTROYWND) ::GetClassNameA(box, text, sizeof(text));
    if (std::string(text) == "#32770" && code == HCBT_CREATEWND) ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (std::string(text) == "#32770" && code == HCBT_DESTROYWND) {
      ::GetWindowTextA(box, text, sizeof(text));
      captions.push_back(text);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
  }
  HHOOK hook_;
};
std::vector<std::string> MessageBoxAnswerer::captions;

// A missing engine fails quietly; one lacking two names shows one box per
// name, stays unloaded and binds nothing; the complete engine binds after.
TEST(WkeBinding, AMissingOrIncompleteEngineIsNotBound) {
  if (::wkeInitializeEx != nullptr) GTEST_SKIP() << "an earlier test of this process bound the engine";
  MessageBoxAnswerer answerer;
  ScopedTempDir empty;
  EXPECT_FALSE(BindWkeEngine(empty.path() + L"\\wke.dll"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_TRUE(MessageBoxAnswerer::captions.empty());

  ::SetLastError(0);
  EXPECT_FALSE(BindWkeEngine(ModuleFolder() + L"\\wke_lacking.dll"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(MessageBoxAnswerer::captions, (std::vector<std::string>{"wkeInitializeEx", "jsEvalW"}));
  EXPECT_EQ(::wkeCreateWebView, nullptr);
  EXPECT_EQ(::jsEval, nullptr);
  EXPECT_EQ(::GetModuleHandleW(L"wke_lacking.dll"), nullptr);

  EXPECT_TRUE(::wkeInitialize());
  EXPECT_NE(::wkeCreateWebView, nullptr);
  EXPECT_EQ(MessageBoxAnswerer::captions.size(), 2u);
}

// A copy of the incomplete engine planted under the real name, in the
// current folder and already loaded: a load by name ("wke.dll") would get it
// before any folder is searched, and it would raise boxes and fail. The
// binding loads the engine beside the executable by its full path.
TEST(WkeBinding, APlantedEngineThatALoadByNameWouldFindIsIgnored) {
  if (::wkeInitializeEx != nullptr) GTEST_SKIP() << "an earlier test of this process bound the engine";
  ScopedTempDir planted;
  const std::wstring decoy_path = planted.path() + L"\\wke.dll";
  ASSERT_TRUE(::CopyFileW((ModuleFolder() + L"\\wke_lacking.dll").c_str(), decoy_path.c_str(), FALSE));
  HMODULE decoy = ::LoadLibraryExW(decoy_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(decoy, nullptr);
  HMODULE by_name = ::LoadLibraryW(L"wke.dll");
  ASSERT_EQ(by_name, decoy) << "the planted engine is not the one a load by name finds";
  ::FreeLibrary(by_name);
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(planted.path().c_str()));
  MessageBoxAnswerer answerer;
  const bool bound = ::wkeInitialize();
  ::SetCurrentDirectoryW(previous);
  EXPECT_TRUE(bound);
  EXPECT_TRUE(MessageBoxAnswerer::captions.empty());
  HMODULE engine = nullptr;
  ASSERT_NE(::wkeCreateWebView, nullptr);
  ASSERT_TRUE(
      ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(::wkeCreateWebView)), &engine));
  wchar_t loaded[MAX_PATH] = {};
  ::GetModuleFileNameW(engine, loaded, MAX_PATH);
  EXPECT_EQ(std::wstring(loaded), ModuleFolder() + L"\\wke.dll");
  EXPECT_NE(engine, decoy);
  ::FreeLibrary(decoy);
}

}  // namespace
}  // namespace halyx::testing
