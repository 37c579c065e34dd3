// Plain frame windows: exact client sizes, centring, icons, and exactly one
// final message however the window goes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "duilib_test_support.h"
#include "platform/duilib/window_wnd.h"
#include "support/log_capture.h"

namespace DuiLib::testing {
namespace {

using halyx::testing::LogCapture;

class PlainWnd : public CWindowWnd {
 public:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_USER + 1) return 17;
    return CWindowWnd::HandleMessage(msg, wParam, lParam);
  }
  int finalMessages = 0;
  HWND handleAtFinal = reinterpret_cast<HWND>(1);

 protected:
  LPCWSTR GetWindowClassName() const override { return L"DuiLibPlainWnd"; }
  void OnFinalMessage(HWND hwnd) override {
    ++finalMessages;
    handleAtFinal = GetHWND();
    EXPECT_NE(hwnd, nullptr);
  }
};

TEST(CWindowWnd, ResizeClientGivesTheExactClientSize) {
  struct Case {
    DWORD style;
    bool menu;
    int cx, cy;
  };
  const Case cases[] = {
      {WS_OVERLAPPEDWINDOW, false, 375, 600},
      {0x96C80000 & ~WS_VISIBLE, false, 800, 572},
      {WS_POPUP, false, 123, 45},
      {WS_OVERLAPPEDWINDOW, true, 500, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.style);
    PlainWnd w;
    HMENU menu = nullptr;
    if (c.menu) {
      menu = ::CreateMenu();  // destroyed with the window
      ::AppendMenuW(menu, MF_STRING, 1, L"File");
    }
    ASSERT_NE(w.Create(nullptr, L"size", c.style, 0, 10, 10, 200, 200, menu), nullptr);
    w.ResizeClient(c.cx, c.cy);
    RECT client{};
    ::GetClientRect(w.GetHWND(), &client);
    EXPECT_EQ(client.right, c.cx);
    EXPECT_EQ(client.bottom, c.cy);
    w.ResizeClient(-1, c.cy + 10);  // keeps the width
    ::GetClientRect(w.GetHWND(), &client);
    EXPECT_EQ(client.right, c.cx);
    EXPECT_EQ(client.bottom, c.cy + 10);
    ::DestroyWindow(w.GetHWND());
  }
}

TEST(CWindowWnd, CenterWindowCentresOnTheWorkAreaAndKeepsTheCaptionOnScreen) {
  PlainWnd w;
  ASSERT_NE(w.Create(nullptr, L"centre", WS_OVERLAPPEDWINDOW, 0, 0, 0, 400, 300), nullptr);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  ::GetMonitorInfoW(::MonitorFromWindow(w.GetHWND(), MONITOR_DEFAULTTONEAREST), &info);
  const RECT work = info.rcWork;

  w.CenterWindow();
  RECT rc{};
  ::GetWindowRect(w.GetHWND(), &rc);
  EXPECT_NEAR((rc.left + rc.right) / 2, (work.left + work.right) / 2, 1);
  EXPECT_NEAR((rc.top + rc.bottom) / 2, (work.top + work.bottom) / 2, 1);

  ::SetWindowPos(w.GetHWND(), nullptr, 0, 0, work.right - work.left + 300, work.bottom - work.top + 300,
                 SWP_NOMOVE | SWP_NOZORDER);
  w.CenterWindow();
  ::GetWindowRect(w.GetHWND(), &rc);
  EXPECT_EQ(rc.left, work.left);
  EXPECT_EQ(rc.top, work.top);
  ::DestroyWindow(w.GetHWND());
}

TEST(CWindowWnd, FinalMessageRunsOnceWithTheHandleCleared) {
  PlainWnd w;
  const HWND hwnd = w.Create(nullptr, L"final", WS_OVERLAPPEDWINDOW, 0);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(w.SendMessage(WM_USER + 1), 17);
  {
    LogCapture log;
    EXPECT_EQ(w.Create(nullptr, L"twice", 0, 0), nullptr);  // one window per object
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  }
  w.Close();
  ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(hwnd); }));
  EXPECT_EQ(w.finalMessages, 1);
  EXPECT_EQ(w.handleAtFinal, nullptr);
  EXPECT_EQ(w.GetHWND(), nullptr);
  w.Close();  // nothing left to close
  PumpPending();
  EXPECT_EQ(w.finalMessages, 1);

  // The object can make a new window afterwards.
  ASSERT_NE(w.Create(nullptr, L"again", WS_POPUP, 0), nullptr);
  ::DestroyWindow(w.GetHWND());
  EXPECT_EQ(w.finalMessages, 2);
}

TEST(CWindowWnd, DeletingTheObjectDestroysTheWindowWithoutCallingBack) {
  auto w = std::make_unique<PlainWnd>();
  const HWND hwnd = w->Create(nullptr, L"gone", WS_OVERLAPPEDWINDOW, 0);
  ASSERT_NE(hwnd, nullptr);
  w.reset();
  EXPECT_FALSE(::IsWindow(hwnd));
}

TEST(CWindowWnd, MissingIconResourceLogsAndLeavesTheWindowAlone) {
  PlainWnd w;
  ASSERT_NE(w.Create(nullptr, L"icon", WS_OVERLAPPEDWINDOW, 0), nullptr);
  LogCapture log;
  w.SetIcon(4242);
  EXPECT_EQ(log.CountAtLeast(spdlog::level::warn), 1u);
  EXPECT_EQ(w.SendMessage(WM_GETICON, ICON_BIG), 0);
  ::DestroyWindow(w.GetHWND());
}

}  // namespace
}  // namespace DuiLib::testing
