#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

// The first pixel of the button face colour, scanning the view's rendering
// row by row; {-1, -1} when no button is drawn.
POINT FindButton(wkeWebView view) {
  ::wkeRepaintIfNeeded(view);
  HDC dc = ::wkeGetViewDC(view);
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  for (int y = 0; y < 480; y += 2) {
    for (int x = 0; x < 640; x += 2) {
      if (::GetPixel(dc, x, y) == face) return POINT{x + 4, y + 4};
    }
  }
  return POINT{-1, -1};
}

int CountNonWhite(wkeWebView view) {
  HDC dc = ::wkeGetViewDC(view);
  int count = 0;
  for (int y = 0; y < 200; y += 2) {
    for (int x = 0; x < 400; x += 2) count += ::GetPixel(dc, x, y) != RGB(255, 255, 255) ? 1 : 0;
  }
  return count;
}

// Rendering: the title, block text and buttons are drawn, and a change of
// the document is announced through the paint callback.
TEST(EngineRendering, TextIsDrawnAndChangesAnnounceARepaint) {
  EnginePage page;
  int paints = 0;
  ::wkeOnPaintUpdated(
      page.view(), [](wkeWebView, void* p, const HDC, int, int, int, int) { ++*static_cast<int*>(p); }, &paints);
  ASSERT_TRUE(page.Load("<p id=\"t\"></p>"));
  ASSERT_TRUE(PumpMessagesUntil([&] { return paints > 0; }));
  const int blank = CountNonWhite(page.view());
  const int before = paints;
  page.Eval("document.title = 'Status'; document.getElementById('t').textContent = 'Connected to Tokyo';");
  ASSERT_TRUE(PumpMessagesUntil([&] { return paints > before; }));
  EXPECT_GT(CountNonWhite(page.view()), blank + 50);
}

// Input: a click on a drawn button runs its handler; a press and release on
// different spots does not.
TEST(EngineInput, ClickOnARenderedButtonRunsItsOnclick) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<h1>Title</h1><p>text</p><button id=\"b\" onclick=\"clicks.push(this.id)\">Connect</button>"
                "<script>var clicks = [];</script>"));
  const POINT at = FindButton(page.view());
  ASSERT_GE(at.x, 0) << "no button drawn";
  EXPECT_TRUE(::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, at.x, at.y, MK_LBUTTON));
  EXPECT_TRUE(::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, at.x, at.y, 0));
  EXPECT_EQ(page.Eval("clicks.join()"), "b");

  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, at.x, at.y, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 630, 470, 0);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 630, 470, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, at.x, at.y, 0);
  EXPECT_EQ(page.Eval("clicks.join()"), "b");
}

TEST(EngineInput, ScriptAssignedClickHandlersRunToo) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<button id=\"b\">Go</button><script>var n = 0;"
                "document.getElementById('b').onclick = function () { n += 1; };"
                "document.getElementById('b').addEventListener('click', function () { n += 10; });"
                "</script>"));
  const POINT at = FindButton(page.view());
  ASSERT_GE(at.x, 0);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, at.x, at.y, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, at.x, at.y, 0);
  EXPECT_EQ(page.Eval("n"), "11");
}

TEST(EngineInput, WheelAndKeyEventsReachThePageWithTheirValues) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>var seen = [];"
                "window.onwheel = function (e) { seen.push('wheel ' + e.wheelDelta + ' ' + e.clientX); };"
                "document.onkeydown = function (e) { seen.push('down ' + e.keyCode + ' ' + e.repeat); };"
                "document.addEventListener('keypress', function (e) { seen.push('press ' + e.charCode); });"
                "</script>"));
  EXPECT_TRUE(::wkeFireMouseWheelEvent(page.view(), 5, 6, -120, 0));
  EXPECT_TRUE(::wkeFireMouseWheelEvent(page.view(), 7, 8, 120, 0));
  EXPECT_TRUE(::wkeFireKeyDownEvent(page.view(), VK_F12, 0x4000, false));
  EXPECT_TRUE(::wkeFireKeyPressEvent(page.view(), 'a', 0, false));
  EXPECT_FALSE(::wkeFireKeyUpEvent(page.view(), 'A', 0, false));  // nobody listens
  EXPECT_EQ(page.Eval("seen.join('|')"), "wheel -120 5|wheel 120 7|down 123 true|press 97");
}

TEST(EngineInput, DeveloperToolsOpenAWindowListingTheConsole) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<script>console.log('hello', {a: 1});</script>"));
  EXPECT_EQ(page.DevToolsWindow(), nullptr);
  ::wkeSetDebugConfig(page.view(), "showDevTools", "C:\\inspector\\inspector.html");
  HWND tools = page.DevToolsWindow();
  ASSERT_NE(tools, nullptr);
  HWND list = ::GetWindow(tools, GW_CHILD);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(::SendMessageW(list, LB_GETCOUNT, 0, 0), 2);
  wchar_t line[128] = {};
  ::SendMessageW(list, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(line));
  EXPECT_STREQ(line, L"[log] hello {\"a\":1}");
  page.DestroyView();
  EXPECT_FALSE(::IsWindow(tools));
}

}  // namespace
}  // namespace halyx::testing
