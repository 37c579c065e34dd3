#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

// Holds Shift down in this thread's key state (what the engine reads) for
// its lifetime.
class ShiftHeld {
 public:
  ShiftHeld() {
    ::GetKeyboardState(saved_);
    BYTE state[256];
    ::GetKeyboardState(state);
    state[VK_SHIFT] = 0x80;
    ::SetKeyboardState(state);
  }
  ~ShiftHeld() { ::SetKeyboardState(saved_); }
  ShiftHeld(const ShiftHeld&) = delete;
  ShiftHeld& operator=(const ShiftHeld&) = delete;

 private:
  BYTE saved_[256];
};

void Press(const EnginePage& page, unsigned key, bool alt = false) {
  ::wkeFireKeyDownEvent(page.view(), key, 0, alt);
  ::wkeFireKeyUpEvent(page.view(), key, 0, alt);
}

std::string Focused(const EnginePage& page) {
  return page.Eval("document.activeElement ? document.activeElement.id : ''");
}

// Tab walks the focusable elements: positive tabindex first, then document
// order, skipping disabled, hidden and tabindex=-1 ones, wrapping around;
// Shift+Tab walks back; :focus styles follow.
TEST(EngineKeyboard, TabMovesFocusThroughTheFocusableElementsInOrder) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<style>#b1:focus{width:120px;box-sizing:border-box}</style>"
                "<button id=b1>One</button><input id=t value=abc><button disabled id=off>Off</button>"
                "<div style='display:none'><button id=gone>Gone</button></div>"
                "<button id=unseen style='visibility:hidden'>Unseen</button>"
                "<a id=l href='#'>Link</a><a id=plain>No href</a><span id=x tabindex=-1>x</span>"
                "<div id=d tabindex=0>Box</div><input type=checkbox id=c><input type=hidden id=h>"
                "<select id=s><option>A</option></select><textarea id=ta></textarea>"
                "<button id=p tabindex=1>Positive</button>"));
  wkeRect rest{};
  ASSERT_TRUE(page.ElementRect("#b1", rest));
  std::string walked;
  for (int k = 0; k < 9; ++k) {
    Press(page, VK_TAB);
    walked += Focused(page) + " ";
    if (Focused(page) == "b1") {
      wkeRect focused{};
      ASSERT_TRUE(page.ElementRect("#b1", focused));
      EXPECT_EQ(focused.w, 120);
    }
  }
  EXPECT_EQ(walked, "p b1 t l d c s ta p ");
  ShiftHeld shift;
  Press(page, VK_TAB);
  EXPECT_EQ(Focused(page), "ta");
  Press(page, VK_TAB);
  EXPECT_EQ(Focused(page), "s");
  wkeRect after{};
  ASSERT_TRUE(page.ElementRect("#b1", after));
  EXPECT_EQ(after.w, rest.w);
}

bool Accent(COLORREF c) { return GetRValue(c) == 0x2d && GetGValue(c) == 0x7f && GetBValue(c) == 0xf9; }

// Focus reached from the keyboard shows a ring around the element, on pages
// without :focus rules too; a press hides it.
TEST(EngineKeyboard, KeyboardFocusShowsARing) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<style>body{margin:0;background:#ffffff}</style>"
                "<button id=a style='position:absolute;left:20px;top:20px;width:80px;height:30px'>A</button>"
                "<button id=b style='position:absolute;left:20px;top:80px;width:80px;height:30px'>B</button>"));
  EXPECT_FALSE(Accent(page.Pixel(50, 18)));
  Press(page, VK_TAB);
  EXPECT_TRUE(Accent(page.Pixel(50, 18)));
  Press(page, VK_TAB);
  EXPECT_FALSE(Accent(page.Pixel(50, 18)));
  EXPECT_TRUE(Accent(page.Pixel(50, 78)));
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 50, 30, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 50, 30, 0);
  EXPECT_EQ(Focused(page), "a");
  EXPECT_FALSE(Accent(page.Pixel(50, 18)));
  EXPECT_FALSE(Accent(page.Pixel(50, 78)));
}

// Enter and Space click the focused button, Enter the focused link, Space
// toggles a focused checkbox (with change); in a text field Space types,
// and a page that prevents Tab keeps the focus.
TEST(EngineKeyboard, EnterAndSpaceActivateTheFocusedControl) {
  EnginePage page;
  ASSERT_TRUE(page.Load(
      "<button id=b onclick=\"seen.push('button')\">B</button><a id=l href='#' onclick=\"seen.push('link')\">L</a>"
      "<input type=checkbox id=c onchange=\"seen.push('change ' + this.checked)\"><input id=t>"
      "<script>var seen = [];</script>"));
  page.Eval("document.getElementById('b').focus()");
  Press(page, VK_RETURN);
  Press(page, VK_SPACE);
  ::wkeFireKeyDownEvent(page.view(), VK_SPACE, 0x4000, false);  // a repeat does not click again
  page.Eval("document.getElementById('l').focus()");
  Press(page, VK_RETURN);
  Press(page, VK_SPACE);  // links are not pressed with Space
  page.Eval("document.getElementById('c').focus()");
  Press(page, VK_SPACE);
  EXPECT_EQ(page.Eval("seen.join('|')"), "button|button|link|change true");
  EXPECT_EQ(page.Eval("String(document.getElementById('c').checked)"), "true");
  page.Eval("document.getElementById('t').focus()");
  ::wkeFireKeyDownEvent(page.view(), VK_SPACE, 0, false);
  ::wkeFireKeyPressEvent(page.view(), ' ', 0, false);
  EXPECT_EQ(page.Eval("document.getElementById('t').value"), " ");
  page.Eval("document.onkeydown = function (e) { if (e.keyCode == 9) e.preventDefault(); }");
  Press(page, VK_TAB);
  EXPECT_EQ(Focused(page), "t");
}

// Tab brings an element out of sight in a scrolling box into view.
TEST(EngineKeyboard, TabScrollsTheFocusedElementIntoView) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<style>body{margin:0}#box{height:100px;overflow:auto}.item{height:40px}</style>"
                "<div id=box><div class=item>a</div><div class=item>b</div><div class=item>c</div>"
                "<button id=far>Far</button></div>"));
  EXPECT_EQ(page.Eval("String(document.getElementById('box').scrollTop)"), "0");
  Press(page, VK_TAB);
  ASSERT_EQ(Focused(page), "far");
  wkeRect button{}, port{};
  ASSERT_TRUE(page.ElementRect("#far", button));
  ASSERT_TRUE(page.ElementRect("#box", port));
  EXPECT_GE(button.y, port.y);
  EXPECT_LE(button.y + button.h, port.y + port.h);
}

void Type(const EnginePage& page, const std::wstring& text) {
  for (wchar_t c : text) ::wkeFireKeyPressEvent(page.view(), c, 0, false);
}

// A textarea takes several lines: Enter breaks the line, Up and Down move
// between lines keeping the column, Home and End go to the line's ends,
// and the caret is drawn on its line.
TEST(EngineKeyboard, TextareaEditsLines) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<textarea id=ta style='width:200px;height:80px' oninput='++inputs'></textarea>"
                "<script>var inputs = 0;</script>"));
  page.Eval("document.getElementById('ta').focus()");
  Type(page, L"ab");
  const wkeRect first = ::wkeGetCaretRect(page.view());
  Press(page, VK_RETURN);
  Type(page, L"cd");
  const wkeRect second = ::wkeGetCaretRect(page.view());
  EXPECT_GT(second.y, first.y);
  EXPECT_NEAR(second.x, first.x, 3);  // "cd" is about as wide as "ab"
  EXPECT_EQ(page.Eval("JSON.stringify(document.getElementById('ta').value) + ' ' + inputs"), "\"ab\\ncd\" 5");
  Press(page, VK_UP);
  Type(page, L"X");
  Press(page, VK_HOME);
  Type(page, L"Y");
  Press(page, VK_DOWN);
  Press(page, VK_END);
  Type(page, L"Z");
  EXPECT_EQ(page.Eval("JSON.stringify(document.getElementById('ta').value)"), "\"YabX\\ncdZ\"");
}

}  // namespace
}  // namespace halyx::testing
