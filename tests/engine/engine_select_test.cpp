#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

const char kPage[] =
    "<style>body{margin:0}</style>"
    "<select id=s style='position:absolute;left:10px;top:10px;width:120px'"
    " onchange=\"seen.push('change ' + this.value + ' ' + this.selectedIndex)\">"
    "<option value=a>Alpha<option value=b>Beta<option value=c disabled>Gamma<option value=d>Delta</select>"
    "<div id=under style='position:absolute;left:0;top:40px;width:400px;height:300px;background:#00ff00'"
    " onclick=\"seen.push('under')\"></div>"
    "<script>var seen = []; document.onkeydown = function (e) { seen.push('key ' + e.keyCode); };</script>";

void Click(const EnginePage& page, int x, int y) {
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, x, y, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, x, y, 0);
}

void Press(const EnginePage& page, unsigned key, bool alt = false) {
  ::wkeFireKeyDownEvent(page.view(), key, 0, alt);
  ::wkeFireKeyUpEvent(page.view(), key, 0, alt);
}

bool Green(COLORREF c) { return GetRValue(c) < 40 && GetGValue(c) > 200 && GetBValue(c) < 40; }
bool Highlight(COLORREF c) { return GetRValue(c) == 0x2d && GetGValue(c) == 0x7f && GetBValue(c) == 0xf9; }

// The rows of the open list below the select: the top of the highlighted
// row and its height, found on the painted pixels; {-1, 0} when none shows.
std::pair<int, int> HighlightedRow(const EnginePage& page, int x, int from) {
  int top = -1, height = 0;
  for (int y = from; y < from + 250; ++y) {
    if (Highlight(page.Pixel(x, y))) {
      if (top < 0) top = y;
      ++height;
    } else if (top >= 0) {
      break;
    }
  }
  return {top, height};
}

// A click opens the list over the page; a click on an option chooses it
// (change fires) and closes the list; a disabled option cannot be chosen;
// a press outside closes the list without reaching the page.
TEST(EngineSelect, TheMouseOpensTheListAndChoosesAnOption) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kPage));
  wkeRect select{};
  ASSERT_TRUE(page.ElementRect("#s", select));
  const int x = select.x + 20, below = select.y + select.h;
  EXPECT_TRUE(Green(page.Pixel(x, below + 10)));
  Click(page, x, select.y + select.h / 2);
  const int edge = select.x + select.w - 4;  // beside the options' text
  const auto [top, row] = HighlightedRow(page, edge, below);
  ASSERT_GT(row, 8);  // Alpha, the chosen one, is highlighted in the list
  EXPECT_LE(top, below + 2);
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, x, top + row + row / 2, 0);
  EXPECT_EQ(HighlightedRow(page, edge, below).first, top + row);  // the pointer highlights Beta
  Click(page, x, top + 2 * row + row / 2);                        // Gamma is disabled
  EXPECT_EQ(page.Eval("seen.join('|')"), "");
  Click(page, x, top + row + row / 2);
  EXPECT_EQ(page.Eval("seen.join('|')"), "change b 1");
  EXPECT_TRUE(Green(page.Pixel(x, below + 10)));
  EXPECT_EQ(page.Eval("document.getElementById('s').value"), "b");
  Click(page, x, select.y + select.h / 2);
  EXPECT_FALSE(Green(page.Pixel(x, below + 10)));
  Click(page, 300, 300);
  EXPECT_TRUE(Green(page.Pixel(x, below + 10)));
  EXPECT_EQ(page.Eval("seen.join('|')"), "change b 1");  // the closing press was not the page's
  Click(page, 300, 300);
  EXPECT_EQ(page.Eval("seen.join('|')"), "change b 1|under");
}

// From the keyboard: arrows step a closed select's choice; Alt+Down, Space
// and Enter open the list, whose arrows skip disabled options, Enter chooses
// and Escape closes without choosing; the page sees no keys while it is
// open. Script reads and sets the choice by value and selectedIndex.
TEST(EngineSelect, TheKeyboardAndScriptChooseOptions) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kPage));
  page.Eval("document.getElementById('s').focus()");
  Press(page, VK_DOWN);
  EXPECT_EQ(page.Eval("seen.join('|')"), "key 40|change b 1");
  page.Eval("seen = []");
  wkeRect select{};
  ASSERT_TRUE(page.ElementRect("#s", select));
  const int x = select.x + 20, below = select.y + select.h;
  Press(page, VK_DOWN, true);
  EXPECT_FALSE(Green(page.Pixel(x, below + 10)));
  Press(page, VK_DOWN);  // past the disabled Gamma
  Press(page, VK_RETURN);
  EXPECT_TRUE(Green(page.Pixel(x, below + 10)));
  EXPECT_EQ(page.Eval("seen.join('|')"), "key 40|change d 3");
  page.Eval("seen = []");
  Press(page, VK_SPACE);
  EXPECT_FALSE(Green(page.Pixel(x, below + 10)));
  Press(page, VK_UP);
  Press(page, VK_ESCAPE);
  EXPECT_TRUE(Green(page.Pixel(x, below + 10)));
  EXPECT_EQ(page.Eval("seen.join('|')"), "key 32");
  EXPECT_EQ(page.Eval("document.getElementById('s').value"), "d");
  EXPECT_EQ(page.Eval("var s = document.getElementById('s'); s.selectedIndex = 0; s.value"), "a");
  EXPECT_EQ(page.Eval("s.value = 'b'; s.selectedIndex + ' ' + s.options.length"), "1 4");
  EXPECT_EQ(page.Eval("String(document.getElementById('under').selectedIndex)"), "undefined");
}

}  // namespace
}  // namespace halyx::testing
