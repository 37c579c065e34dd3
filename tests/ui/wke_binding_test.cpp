#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_temp_dir.h"
#include "ui/wke_binding.h"

namespace halyx::testing {
namespace {

std::wstring ExecutableFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// Answers every message box of this process with OK and keeps its caption
// and text, from a thread of its own while the test's thread sits in the
// box's modal loop.
class MessageBoxAnswerer {
 public:
  MessageBoxAnswerer() : thread_([this] { Run(); }) {}
  ~MessageBoxAnswerer() {
    stop_ = true;
    thread_.join();
  }

  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  static BOOL CALLBACK FindBox(HWND hwnd, LPARAM param) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    char cls[32] = {};
    ::GetClassNameA(hwnd, cls, sizeof(cls));
    if (pid != ::GetCurrentProcessId() || std::string(cls) != "#32770" || !::IsWindowVisible(hwnd)) return TRUE;
    *reinterpret_cast<HWND*>(param) = hwnd;
    return FALSE;
  }

  void Run() {
    while (!stop_) {
      HWND box = nullptr;
      ::EnumWindows(&MessageBoxAnswerer::FindBox, reinterpret_cast<LPARAM>(&box));
      if (box == nullptr) {
        ::Sleep(20);
        continue;
      }
      char caption[128] = {};
      ::GetWindowTextA(box, caption, sizeof(caption));
      char text[128] = {};
      ::GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(std::string(caption) + ": " + text);
      }
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      for (int i = 0; i < 250 && ::IsWindow(box); ++i) ::Sleep(20);
    }
  }

  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::thread thread_;
};

// The binding loads only the engine beside the executable and refuses one
// that lacks names, so nothing is ever called through a null pointer.
TEST(WkeBinding, AnEngineLackingTwoNamesShowsTwoBoxesAndIsNotBound) {
  if (::wkeInitializeEx != nullptr) GTEST_SKIP() << "an earlier test of this process bound the engine";
  MessageBoxAnswerer answerer;
  ::SetLastError(0);
  EXPECT_FALSE(BindWkeEngine(ExecutableFolder() + L"\\wke_lacking.dll"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  const std::vector<std::string> seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].substr(0, seen[0].find(':')), "wkeInitializeEx");
  EXPECT_EQ(seen[1].substr(0, seen[1].find(':')), "jsEvalW");
  EXPECT_EQ(::wkeCreateWebView, nullptr);
  EXPECT_EQ(::jsEval, nullptr);
  EXPECT_EQ(::GetModuleHandleW(L"wke_lacking.dll"), nullptr);

  // The complete engine binds afterwards, without a box.
  EXPECT_TRUE(::wkeInitialize());
  EXPECT_NE(::wkeCreateWebView, nullptr);
  EXPECT_EQ(answerer.Seen().size(), 2u);
}

TEST(WkeBinding, AMissingEngineFailsWithoutABox) {
  if (::wkeInitializeEx != nullptr) GTEST_SKIP() << "an earlier test of this process bound the engine";
  MessageBoxAnswerer answerer;
  ScopedTempDir empty;
  EXPECT_FALSE(BindWkeEngine(empty.path() + L"\\wke.dll"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  ::Sleep(100);
  EXPECT_TRUE(answerer.Seen().empty());
  EXPECT_EQ(::wkeInitializeEx, nullptr);
}

TEST(WkeBinding, APlantedEngineInTheCurrentFolderOrPathIsIgnored) {
  ScopedTempDir planted;
  // A copy of the incomplete engine under the real name: binding it would
  // raise boxes and fail.
  ASSERT_TRUE(::CopyFileW((ExecutableFolder() + L"\\wke_lacking.dll").c_str(),
                          (planted.path() + L"\\wke.dll").c_str(), FALSE));
  wchar_t previous[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(planted.path().c_str()));
  MessageBoxAnswerer answerer;
  const bool bound = ::wkeInitialize();
  ::SetCurrentDirectoryW(previous);
  EXPECT_TRUE(bound);
  EXPECT_TRUE(answerer.Seen().empty());
  wchar_t loaded[MAX_PATH] = {};
  ::GetModuleFileNameW(::GetModuleHandleW(L"wke.dll"), loaded, MAX_PATH);
  EXPECT_EQ(std::wstring(loaded), ExecutableFolder() + L"\\wke.dll");
}

}  // namespace
}  // namespace halyx::testing
