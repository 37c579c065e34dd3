#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

const char kReset[] = "<style>body{margin:0}</style>";

bool Near(COLORREF actual, int r, int g, int b, int tolerance = 3) {
  return std::abs(GetRValue(actual) - r) <= tolerance && std::abs(GetGValue(actual) - g) <= tolerance &&
         std::abs(GetBValue(actual) - b) <= tolerance;
}

std::string Describe(COLORREF c) {
  return "rgb(" + std::to_string(GetRValue(c)) + "," + std::to_string(GetGValue(c)) + "," +
         std::to_string(GetBValue(c)) + ")";
}

// Painting: colours land where the boxes are, in every notation, blended by
// alpha and opacity; borders and radii shape the box.
TEST(EnginePaint, BackgroundsBordersAndRadiiLandOnTheirPixels) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kReset) +
                        "<style>body{background:#202428}"
                        ".box{position:absolute;width:100px;height:60px}</style>"
                        "<div class=box style='left:10px;top:10px;background:#336699'></div>"
                        "<div class=box style='left:130px;top:10px;background:rgba(255,0,0,0.5)'></div>"
                        "<div class=box style='left:250px;top:10px;background:#fff;border:6px solid rgb(0,128,0)'>"
                        "</div>"
                        "<div class=box style='left:10px;top:100px;background:#0000ff;border-radius:30px'></div>"
                        "<div class=box style='left:130px;top:100px;background:linear-gradient(#000000,#ffffff)'>"
                        "</div>"
                        "<div class=box style='left:250px;top:100px;background:#ffffff;opacity:0.5'></div>"));
  COLORREF c = page.Pixel(60, 40);
  EXPECT_TRUE(Near(c, 0x33, 0x66, 0x99)) << Describe(c);
  c = page.Pixel(630, 470);  // the body's background covers the whole view
  EXPECT_TRUE(Near(c, 0x20, 0x24, 0x28)) << Describe(c);
  c = page.Pixel(180, 40);  // half red over the body's colour
  EXPECT_TRUE(Near(c, (255 + 0x20) / 2, 0x24 / 2, 0x28 / 2)) << Describe(c);
  c = page.Pixel(252, 40);  // in the left border
  EXPECT_TRUE(Near(c, 0, 128, 0)) << Describe(c);
  c = page.Pixel(300, 40);  // inside it
  EXPECT_TRUE(Near(c, 255, 255, 255)) << Describe(c);
  c = page.Pixel(11, 101);  // the rounded corner leaves the page's colour
  EXPECT_TRUE(Near(c, 0x20, 0x24, 0x28)) << Describe(c);
  c = page.Pixel(60, 130);
  EXPECT_TRUE(Near(c, 0, 0, 255)) << Describe(c);
  const COLORREF top = page.Pixel(180, 101), bottom = page.Pixel(180, 158);
  EXPECT_LT(GetRValue(top), 20) << Describe(top);
  EXPECT_GT(GetRValue(bottom), 235) << Describe(bottom);
  c = page.Pixel(300, 130);  // white at half opacity over the body
  EXPECT_TRUE(Near(c, (255 + 0x20) / 2, (255 + 0x24) / 2, (255 + 0x28) / 2)) << Describe(c);
}

// Text is drawn in its colour inside its box, and a hover rule repaints the
// element under the pointer.
TEST(EnginePaint, TextTakesItsColourAndHoverRepaints) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kReset) +
                        "<style>#b{position:absolute;left:0;top:0;width:200px;height:50px;background:#eeeeee;"
                        "color:#ff0000;font-size:32px;font-weight:bold}#b:hover{background:#00aa00}</style>"
                        "<div id=b>MMMM</div>"));
  int red = 0;
  for (int y = 0; y < 50; ++y) {
    for (int x = 0; x < 200; ++x) {
      const COLORREF p = page.Pixel(x, y);
      red += GetRValue(p) > 200 && GetGValue(p) < 60 ? 1 : 0;
    }
  }
  EXPECT_GT(red, 100);
  EXPECT_TRUE(Near(page.Pixel(190, 45), 0xee, 0xee, 0xee));
  int paints = 0;
  ::wkeOnPaintUpdated(
      page.view(), [](wkeWebView, void* p, const HDC, int, int, int, int) { ++*static_cast<int*>(p); }, &paints);
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, 190, 45, 0);
  ASSERT_TRUE(PumpMessagesUntil([&] { return paints > 0; }));
  EXPECT_TRUE(Near(page.Pixel(190, 45), 0, 0xaa, 0)) << Describe(page.Pixel(190, 45));
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, 400, 300, 0);
  EXPECT_TRUE(Near(page.Pixel(190, 45), 0xee, 0xee, 0xee));
}

}  // namespace
}  // namespace halyx::testing
