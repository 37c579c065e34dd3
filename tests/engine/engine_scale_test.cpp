#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

constexpr int kDpis[] = {96, 120, 144, 192};

const char kPage[] =
    "<style>body{margin:0;background:#ffffff}"
    "#box{position:absolute;left:100px;top:50px;width:200px;height:40px;background:#336699;"
    "border:4px solid #00aa00}"
    "#go{position:absolute;left:101px;top:150px;width:121px;height:41px;border:0;background:#cc3300}"
    "#text{position:absolute;left:0;top:300px;font:bold 20px sans-serif;color:#000000}</style>"
    "<div id=box></div><button id=go onclick='clicks++'></button><div id=text>HHHH</div>"
    "<input id=field style='position:absolute;left:400px;top:50px;width:150px;height:24px' value=abc>"
    "<script>var clicks = 0;</script>";

int Device(int css, int dpi) { return ::MulDiv(css, dpi, 96); }

// Shows the page at `dpi` in a view the size the client's main window has
// at that DPI (800 x 572 CSS pixels).
bool LoadAt(EnginePage& page, int dpi, const std::string& html = kPage) {
  ::wkeSetDebugConfig(page.view(), "dpi", std::to_string(dpi).c_str());
  ::wkeResize(page.view(), Device(800, dpi), Device(572, dpi));
  return page.Load(html);
}

void Click(const EnginePage& page, int x, int y) {
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, x, y, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, x, y, 0);
}

bool Near(COLORREF c, int r, int g, int b) {
  return std::abs(GetRValue(c) - r) <= 8 && std::abs(GetGValue(c) - g) <= 8 && std::abs(GetBValue(c) - b) <= 8;
}

// The rows, from `top` down to `bottom`, in which the column band [x0, x1)
// has a dark pixel: how tall the text there is drawn.
int InkRows(const EnginePage& page, int x0, int x1, int top, int bottom) {
  int rows = 0;
  for (int y = top; y < bottom; ++y) {
    for (int x = x0; x < x1; ++x) {
      if (GetGValue(page.Pixel(x, y)) < 100) {
        ++rows;
        break;
      }
    }
  }
  return rows;
}

// At a display scale the page keeps its CSS size while its boxes land on
// the device pixels they cover: the element's box, its border and its
// fill are where the scale puts them.
TEST(EngineScale, BoxesAndBordersLandOnTheScaledDevicePixels) {
  for (const int dpi : kDpis) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    EnginePage page;
    ASSERT_TRUE(LoadAt(page, dpi));
    EXPECT_EQ(page.Eval("document.getElementById('box').getBoundingClientRect().width + ' ' + "
                        "document.body.getBoundingClientRect().width"),
              "208 800");
    wkeRect box{};
    ASSERT_TRUE(page.ElementRect("#box", box));
    EXPECT_EQ(box.x, Device(100, dpi));
    EXPECT_EQ(box.y, Device(50, dpi));
    EXPECT_EQ(box.w, Device(208, dpi));
    EXPECT_EQ(box.h, Device(48, dpi));
    const int border = Device(4, dpi);
    const int middle = box.y + box.h / 2;
    EXPECT_TRUE(Near(page.Pixel(box.x + border - 1, middle), 0x00, 0xaa, 0x00)) << "inside the left border";
    EXPECT_TRUE(Near(page.Pixel(box.x + border + 1, middle), 0x33, 0x66, 0x99)) << "just inside the border";
    EXPECT_TRUE(Near(page.Pixel(box.x + box.w - 2, middle), 0x00, 0xaa, 0x00)) << "the right border";
    EXPECT_TRUE(Near(page.Pixel(box.x + box.w + 1, middle), 0xff, 0xff, 0xff)) << "past the box";
    EXPECT_TRUE(Near(page.Pixel(Device(800, dpi) - 1, Device(572, dpi) - 1), 0xff, 0xff, 0xff))
        << "the page fills the whole bitmap";
  }
}

// A click at a device point reaches the element under the CSS point it
// stands for, up to the last device pixel of the element and not one past
// it, at every scale.
TEST(EngineScale, AClickAtADevicePointHitsTheButtonUnderIt) {
  for (const int dpi : kDpis) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    EnginePage page;
    ASSERT_TRUE(LoadAt(page, dpi));
    wkeRect go{};
    ASSERT_TRUE(page.ElementRect("#go", go));
    Click(page, go.x + go.w / 2, go.y + go.h / 2);
    EXPECT_EQ(page.Eval("String(clicks)"), "1");
    // The box ends before its right and bottom edges: the last device pixel
    // that is the button's is the last whose point lies before that line in
    // CSS pixels.
    const double right =
        std::atof(page.Eval("String(document.getElementById('go').getBoundingClientRect().right)").c_str());
    const double bottom =
        std::atof(page.Eval("String(document.getElementById('go').getBoundingClientRect().bottom)").c_str());
    ASSERT_GT(right, 200);
    const int last_x = static_cast<int>(std::ceil(right * dpi / 96)) - 1;
    const int last_y = static_cast<int>(std::ceil(bottom * dpi / 96)) - 1;
    Click(page, last_x, last_y);
    EXPECT_EQ(page.Eval("String(clicks)"), "2");
    Click(page, last_x + 1, go.y + go.h / 2);
    Click(page, go.x + go.w / 2, last_y + 1);
    EXPECT_EQ(page.Eval("String(clicks)"), "2");
  }
}

// Text is drawn with a font of the display's resolution, not a 96-DPI font
// stretched or left small: at 200 % its glyphs stand twice as tall.
TEST(EngineScale, TextIsDrawnAtTheDisplaysResolution) {
  EnginePage at96, at192;
  ASSERT_TRUE(LoadAt(at96, 96));
  ASSERT_TRUE(LoadAt(at192, 192));
  const int small = InkRows(at96, 0, 60, 300, 330);
  const int large = InkRows(at192, 0, 120, 600, 660);
  ASSERT_GT(small, 8);
  EXPECT_GE(large, small * 2 - 2);
  EXPECT_LE(large, small * 2 + 2);
}

// The rightmost column with ink in the rows [top, bottom), or -1.
int InkRight(const EnginePage& page, int width, int top, int bottom) {
  for (int x = width - 1; x >= 0; --x) {
    for (int y = top; y < bottom; ++y) {
      if (GetGValue(page.Pixel(x, y)) < 100) return x;
    }
  }
  return -1;
}

// A line of text ends where layout measured it, scaled: the characters are
// placed by the widths measured at the CSS size, not by the advances of the
// larger font, which its hinting makes drift over a long line.
TEST(EngineScale, ALineOfTextEndsWhereLayoutPutsIt) {
  const std::string html =
      "<style>body{margin:0;background:#fff}#t{position:absolute;left:0;top:0;font:14px sans-serif;"
      "color:#000;white-space:nowrap}</style><div id=t>C9801B0CD70422FBE37A10644578 C9801B0CD70422FBE37A10644578</div>";
  EnginePage at96;
  ASSERT_TRUE(LoadAt(at96, 96, html));
  const int right96 = InkRight(at96, 800, 0, 20);
  ASSERT_GT(right96, 100);
  for (const int dpi : {120, 144, 192}) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    EnginePage page;
    ASSERT_TRUE(LoadAt(page, dpi, html));
    const int right = InkRight(page, Device(800, dpi), 0, Device(20, dpi));
    EXPECT_NEAR(right, (right96 + 1) * dpi / 96 - 1, dpi / 48 + 1);
  }
}

// The caret the input method is placed at is in device pixels.
TEST(EngineScale, TheCaretIsReportedInDevicePixels) {
  EnginePage at96, at144;
  ASSERT_TRUE(LoadAt(at96, 96));
  ASSERT_TRUE(LoadAt(at144, 144));
  wkeRect field96{}, field144{};
  ASSERT_TRUE(at96.ElementRect("#field", field96));
  ASSERT_TRUE(at144.ElementRect("#field", field144));
  Click(at96, field96.x + 4, field96.y + field96.h / 2);
  Click(at144, field144.x + 6, field144.y + field144.h / 2);
  const wkeRect caret96 = ::wkeGetCaretRect(at96.view());
  const wkeRect caret144 = ::wkeGetCaretRect(at144.view());
  ASSERT_GT(caret96.h, 0);
  EXPECT_NEAR(caret144.x, caret96.x * 3 / 2, 1);
  EXPECT_NEAR(caret144.y, caret96.y * 3 / 2, 1);
  EXPECT_NEAR(caret144.h, caret96.h * 3 / 2, 1);
}

// The select's list opens where the scale puts it, and the option under a
// device point is the one under the CSS point it stands for: the same CSS
// point chooses the same option at 100 % and at 150 %.
TEST(EngineScale, TheSelectListChoosesTheOptionUnderTheDevicePoint) {
  const std::string html =
      "<style>body{margin:0}</style>"
      "<select id=s style='position:absolute;left:10px;top:10px;width:120px;font-size:14px'"
      " onchange='chosen = this.value'>"
      "<option value=a>Alpha<option value=b>Beta<option value=c>Gamma<option value=d>Delta</select>"
      "<script>var chosen = '';</script>";
  std::string chosen_at[2];
  int index = 0;
  for (const int dpi : {96, 144}) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    EnginePage page;
    ASSERT_TRUE(LoadAt(page, dpi, html));
    wkeRect select{};
    ASSERT_TRUE(page.ElementRect("#s", select));
    Click(page, select.x + select.w / 2, select.y + select.h / 2);
    // 40 CSS pixels below the select's bottom edge: the second or third row.
    const std::string bottom = page.Eval("String(document.getElementById('s').getBoundingClientRect().bottom)");
    ASSERT_FALSE(bottom.empty());
    Click(page, Device(40, dpi), Device(std::atoi(bottom.c_str()) + 40, dpi));
    chosen_at[index++] = page.Eval("chosen");
  }
  EXPECT_NE(chosen_at[0], "");
  EXPECT_NE(chosen_at[0], "a");
  EXPECT_EQ(chosen_at[1], chosen_at[0]);
}

// A picture made for 96 DPI is enlarged smoothly on a scaled display: the
// pixels between a black and a white source pixel blend, rather than
// jumping from one to the other.
TEST(EngineScale, PicturesAreEnlargedSmoothly) {
  // A 2 x 1 24-bit BMP: a black pixel, then a white one (rows bottom-up,
  // padded to four bytes).
  const std::string bmp(
      "BM\x3e\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00"
      "\x28\x00\x00\x00\x02\x00\x00\x00\x01\x00\x00\x00\x01\x00\x18\x00\x00\x00\x00\x00\x08\x00\x00\x00"
      "\x13\x0b\x00\x00\x13\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\xff\xff\xff\x00\x00",
      62);
  for (const int dpi : {96, 192}) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    EnginePage page;
    ASSERT_TRUE(page.WriteFile(L"pair.bmp", bmp));
    ASSERT_TRUE(LoadAt(page, dpi,
                       "<style>body{margin:0;background:#ff0000}img{display:block;width:20px;height:10px}</style>"
                       "<img src=pair.bmp>"));
    // Left to right across the picture's middle: black, then white.
    const int y = Device(5, dpi);
    EXPECT_TRUE(Near(page.Pixel(0, y), 0, 0, 0));
    EXPECT_TRUE(Near(page.Pixel(Device(20, dpi) - 1, y), 0xff, 0xff, 0xff));
    int between = 0;
    for (int x = 0; x < Device(20, dpi); ++x) {
      const int grey = GetRValue(page.Pixel(x, y));
      between += grey > 40 && grey < 215 ? 1 : 0;
    }
    if (dpi == 96) {
      EXPECT_EQ(between, 0) << "at its own resolution a picture keeps its hard edges";
    } else {
      EXPECT_GE(between, 4);
    }
  }
}

}  // namespace
}  // namespace halyx::testing
