#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

const char kReset[] = "<style>body{margin:0;font-family:Tahoma;font-size:16px}</style>";

// Scroll containers: the wheel over an overflow:auto box scrolls its
// content, not the page; the page scrolls when nothing under the pointer can.
TEST(EngineLayoutScroll, TheWheelScrollsTheBoxUnderThePointer) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kReset) +
                        "<div id=box style='overflow:auto;height:100px;width:200px'><div style='height:400px'>"
                        "</div><div id=last style='height:10px'></div></div><div id=tall style='height:2000px'>"
                        "</div>"));
  wkeRect before{};
  ASSERT_TRUE(page.ElementRect("#last", before));
  EXPECT_EQ(before.y, 400);
  ::wkeFireMouseWheelEvent(page.view(), 50, 50, -120, 0);
  wkeRect after{};
  ASSERT_TRUE(page.ElementRect("#last", after));
  EXPECT_EQ(after.y, 340);
  wkeRect box{};
  ASSERT_TRUE(page.ElementRect("#box", box));
  EXPECT_EQ(box.y, 0);
  EXPECT_EQ(page.Eval("document.getElementById('box').scrollTop"), "60");
  // Outside the box the page itself scrolls.
  ::wkeFireMouseWheelEvent(page.view(), 400, 300, -120, 0);
  ASSERT_TRUE(page.ElementRect("#box", box));
  EXPECT_EQ(box.y, -60);
  // A scroll position past the end is held at the end.
  page.Eval("document.getElementById('box').scrollTop = 100000");
  ASSERT_TRUE(page.ElementRect("#last", after));
  EXPECT_EQ(after.y + after.h, box.y + box.h);
}

}  // namespace
}  // namespace halyx::testing
