// Start-up pieces that need no window: the LSP category kept at exactly
// LSP_SYSTEM, and a quit request from any thread.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "app/lsp_category.h"
#include "app/process_values.h"
#include "support/log_capture.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;

// A WSC table over one stored category, recording every set.
struct FakeWsc {
  static DWORD category;
  static int getError;  // 0: success; otherwise SOCKET_ERROR with this code
  static std::vector<DWORD> sets;

  static int WSAAPI Get(LPCWSTR, DWORD, LPCWSTR, DWORD, DWORD* out, LPINT error) {
    if (getError != 0) {
      *error = getError;
      return SOCKET_ERROR;
    }
    *out = category;
    return 0;
  }
  static int WSAAPI Set(LPCWSTR, DWORD, LPCWSTR, DWORD, DWORD value, LPCWSTR, LPINT) {
    sets.push_back(value);
    category = value;
    return 0;
  }
};
DWORD FakeWsc::category = 0;
int FakeWsc::getError = 0;
std::vector<DWORD> FakeWsc::sets;

TEST(LspCategoryTest, EndsAtExactlyLspSystem) {
  struct Case {
    DWORD category;
    int getError;
    std::vector<DWORD> sets;
    std::vector<std::string> lines;
  } cases[] = {
      {0x80000000, 0, {}, {"App: LSP category is LSP_SYSTEM"}},
      {0x80000001,
       0,
       {0, 0x80000000},
       {"App: LSP category has been modified to (0x80000001), reverting to LSP_SYSTEM now...",
        "App: LSP category reset to 0", "App: LSP category set to LSP_SYSTEM"}},
      {0,
       0,
       {0x80000000},
       {"App: LSP category not set, setting to LSP_SYSTEM now...", "App: LSP category set to LSP_SYSTEM"}},
      {0,
       10108,
       {0x80000000},
       {"App: LSP category not set, setting to LSP_SYSTEM now...", "App: LSP category set to LSP_SYSTEM"}},
      {0, 10022, {}, {"App: WSCGetApplicationCategory failed (0x2726)"}},
  };
  const LspCategory::Api api{&FakeWsc::Get, &FakeWsc::Set};
  for (const Case& c : cases) {
    FakeWsc::category = c.category;
    FakeWsc::getError = c.getError;
    FakeWsc::sets.clear();
    LogCapture log;
    LspCategory::Ensure(api, L"C:\\QuorVPN\\QuorVPN.exe");
    EXPECT_EQ(FakeWsc::sets, c.sets) << c.category;
    const auto records = log.Records();
    ASSERT_EQ(records.size(), c.lines.size()) << c.category;
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].text, c.lines[i]);
  }
}

// Wine's ws2_32 has no WSCGetApplicationCategory: one error line, nothing set.
TEST(LspCategoryTest, AMissingFunctionIsOneErrorAndNoChange) {
  LogCapture log;
  LspCategory::Ensure(LspCategory::Api{}, L"C:\\QuorVPN\\QuorVPN.exe");
  EXPECT_TRUE(log.Has(spdlog::level::err, "App: WSCGetApplicationCategory failed (0x7f)"));
  EXPECT_EQ(log.Records().size(), 1u);
  // And the system's table is whatever this Windows has; Ensure copes.
  App::EnsureLspCategory();
}

// RequestQuit from another thread ends the GUI thread's loop with code 0.
TEST(AppQuitTest, RequestQuitFromAnotherThreadEndsTheLoop) {
  ASSERT_EQ(::GetCurrentThreadId(), MainThreadId);
  MSG msg;
  ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the post
  std::thread([] { App::RequestQuit(); }).join();
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 5000, nullptr);
  bool quit = false;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER) break;
  }
  quit = msg.message == WM_QUIT;
  ::KillTimer(nullptr, timer);
  EXPECT_TRUE(quit);
  EXPECT_EQ(msg.wParam, 0u);
}

}  // namespace
}  // namespace halyx
