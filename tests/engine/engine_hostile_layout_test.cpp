// Layout reads that a hostile page aims past the laid-out page: elements that
// have no box yet or no longer, and boxes billions of pixels away. The test
// build checks container indexes and float-to-integer conversions, so a
// stray read stops the test rather than passing unseen.
#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

// An element made since the last layout, or taken out of the tree, answers
// every layout read with "no box", and cannot take the focus.
TEST(HostileLayoutReads, AnElementMadeAfterTheLastLayoutHasNoBoxToRead) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<div id=list style='height:40px;overflow:auto'><p>a</p><p>b</p><p>c</p></div>"));
  // The first read lays the page out; the element made after it is past
  // the end of what that layout knows.
  EXPECT_EQ(page.Eval("var list = document.getElementById('list'); list.scrollHeight > 40;"
                      "var n = document.createElement('div');"
                      "[n.scrollTop, n.scrollHeight, n.offsetWidth, n.clientHeight,"
                      " n.getBoundingClientRect().height].join()"),
            "0,0,0,0,0");
  EXPECT_EQ(page.Eval("n.scrollTop = 50; String(n.scrollTop)"), "0");
  // Once inserted it is laid out like any other.
  EXPECT_EQ(page.Eval("n.style.height = '7px'; list.appendChild(n); String(n.offsetHeight)"), "7");
}

TEST(HostileLayoutReads, ADetachedElementHasNoBoxAndTheRestIsLaidOutWithoutIt) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<div id=list style='height:40px;overflow:auto'><p>a</p><p>b</p><p>c</p></div>"
                "<p id=after>after</p>"));
  wkeRect before{};
  ASSERT_TRUE(page.ElementRect("#after", before));
  EXPECT_EQ(page.Eval("var list = document.getElementById('list'); list.scrollTop = 10;"
                      "var before = list.scrollTop; list.remove(); list.scrollTop = 20;"
                      "[before > 0, list.scrollHeight, list.getBoundingClientRect().width].join()"),
            "true,0,0");
  wkeRect rect{};
  ASSERT_TRUE(page.ElementRect("#after", rect));
  EXPECT_EQ(rect.y, before.y - 40);  // the list's height is gone
}

TEST(HostileLayoutReads, AFieldOutsideTheTreeIsRefusedTheFocusAndTheCaret) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<input id=kept value=kept>"));
  // The host asks for the caret of the focused field at every composition.
  EXPECT_EQ(page.Eval("var f = document.createElement('input'); f.value = 'typed'; f.focus();"
                      "var t = document.createElement('textarea'); t.focus();"
                      "String(document.activeElement === f || document.activeElement === t)"),
            "false");
  const wkeRect none = ::wkeGetCaretRect(page.view());
  EXPECT_EQ(none.x, 0);
  EXPECT_EQ(none.y, 0);
  ::wkeFireKeyPressEvent(page.view(), 'x', 0, false);
  EXPECT_EQ(page.Eval("f.value"), "typed");
  // A field that was focused and then removed gives the focus up; one in
  // the tree still takes it.
  EXPECT_EQ(page.Eval("var k = document.getElementById('kept'); k.focus(); var had = document.activeElement === k;"
                      "k.remove(); k.focus(); [had, document.activeElement === k].join()"),
            "true,false");
  ::wkeGetCaretRect(page.view());
}

// Boxes far past an int's range are painted, hit-tested and scrolled to
// without their coordinates leaving it.
TEST(HostileLayoutCoordinates, APageBillionsOfPixelsTallPaintsAndScrollsToItsEnd) {
  std::string html = "<body style='margin:0'>";
  // 25,000 boxes of the largest height a length may have: 2.5e9 px in all.
  for (int k = 0; k < 25000; ++k) html += "<div style='height:100000px;overflow:hidden;background:#00ff00'></div>";
  html += "<div id=last style='height:50px;background:#0000ff'></div></body>";
  EnginePage page;
  ASSERT_TRUE(page.Load(html));
  EXPECT_EQ(page.Pixel(10, 10), RGB(0, 255, 0));
  // Scrolled to the end: the last box is about at the view's bottom (a float
  // this far out is exact to 256 px), and what is drawn is the page's end.
  const std::string top = page.Eval(
      "document.documentElement.scrollTop = 1e12;"
      "String(Math.round(document.getElementById('last').getBoundingClientRect().top))");
  EXPECT_LT(std::abs(std::stoi(top) - 430), 600) << top;
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, 10, 10, 0);
  const COLORREF drawn = page.Pixel(10, 10);
  EXPECT_TRUE(drawn == RGB(0, 255, 0) || drawn == RGB(0, 0, 255)) << std::hex << drawn;
}

}  // namespace
}  // namespace halyx::testing
