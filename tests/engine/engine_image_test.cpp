#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

// A valid 3 x 2 PNG, every pixel rgb(0x20, 0x80, 0xC0).
const std::string kPng(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x03\x00\x00\x00\x02\x08\x02\x00\x00"
    "\x00\x12\x16\xf1\x4d\x00\x00\x00\x10\x49\x44\x41\x54\x78\x9c\x63\x50\x68\x38\x00\x41\x0c\x70\x16\x00\x4e\xd4\x08"
    "\x41\x33\x7d\x97\x42\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    73);

const char kReset[] = "<style>body{margin:0;background:#fff} img{display:block}</style>";

bool Near(COLORREF actual, int r, int g, int b) {
  return std::abs(GetRValue(actual) - r) <= 3 && std::abs(GetGValue(actual) - g) <= 3 &&
         std::abs(GetBValue(actual) - b) <= 3;
}

TEST(EngineImage, APngShowsAtItsOwnSizeOrScaledKeepingItsShape) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"pic.png", kPng));
  ASSERT_TRUE(page.Load(std::string(kReset) + "<img id=own src=pic.png><img id=tall src=pic.png style='height:20px'>"
                                              "<img id=faded src=pic.png style='width:40px;height:40px;opacity:0.5'>"));
  wkeRect own{}, tall{}, faded{};
  ASSERT_TRUE(page.ElementRect("#own", own));
  ASSERT_TRUE(page.ElementRect("#tall", tall));
  ASSERT_TRUE(page.ElementRect("#faded", faded));
  EXPECT_EQ(own.w, 3);
  EXPECT_EQ(own.h, 2);
  EXPECT_EQ(tall.w, 30);
  EXPECT_EQ(tall.h, 20);
  const COLORREF full = page.Pixel(tall.x + 15, tall.y + 10);
  EXPECT_TRUE(Near(full, 0x20, 0x80, 0xC0)) << std::hex << full;
  // Half opacity over the white page.
  const COLORREF half = page.Pixel(faded.x + 20, faded.y + 20);
  EXPECT_TRUE(Near(half, 0x90, 0xC0, 0xE0)) << std::hex << half;
}

TEST(EngineImage, ADamagedFileLeavesAnEmptyBoxAndOneLine) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"broken.png", kPng.substr(0, 45)));
  ASSERT_TRUE(page.WriteFile(L"junk.png", "not a picture at all"));
  ASSERT_TRUE(page.Load(std::string(kReset) + "<img id=broken src=broken.png style='width:50px;height:30px'>"
                                              "<img id=junk src=junk.png><img src=junk.png>"));
  wkeRect broken{}, junk{};
  ASSERT_TRUE(page.ElementRect("#broken", broken));
  ASSERT_TRUE(page.ElementRect("#junk", junk));
  EXPECT_EQ(broken.w, 50);
  EXPECT_EQ(broken.h, 30);
  EXPECT_EQ(junk.w, 0);
  EXPECT_EQ(junk.h, 0);
  const COLORREF inside = page.Pixel(broken.x + 25, broken.y + 15);
  EXPECT_TRUE(Near(inside, 0xFF, 0xFF, 0xFF)) << std::hex << inside;
  int broken_lines = 0, junk_lines = 0;
  for (const std::wstring& line : page.ConsoleLines()) {
    if (line.find(L"Cannot show image broken.png") != std::wstring::npos) ++broken_lines;
    if (line.find(L"Cannot show image junk.png") != std::wstring::npos) ++junk_lines;
  }
  EXPECT_EQ(broken_lines, 1);
  EXPECT_EQ(junk_lines, 1);
}

// Little-endian fields of a file built here.
std::string Le(std::uint32_t value, int bytes) {
  std::string out;
  for (int k = 0; k < bytes; ++k) out += static_cast<char>((value >> (8 * k)) & 0xFF);
  return out;
}

// A 1 x 1 32-bit bitmap header and pixel (bottom-up, `rows` high: an icon
// counts its mask in the height).
std::string DibOnePixel(int rows, std::uint32_t bgra) {
  return Le(40, 4) + Le(1, 4) + Le(static_cast<std::uint32_t>(rows), 4) + Le(1, 2) + Le(32, 2) + Le(0, 4) + Le(4, 4) +
         Le(0, 4) + Le(0, 4) + Le(0, 4) + Le(0, 4) + Le(bgra, 4);
}

// The decoder is chosen by the file's first bytes: the four formats the
// engine names decode, any other picture (an icon, which Windows could
// decode) is refused with its reason, whatever its name says.
TEST(EngineImage, OnlyThePngJpegGifAndBmpSignaturesAreDecoded) {
  const std::string pixel = DibOnePixel(1, 0xFF2080C0);
  const std::string bmp =
      "BM" + Le(static_cast<std::uint32_t>(14 + pixel.size()), 4) + Le(0, 4) + Le(14 + 40, 4) + pixel;
  const std::string icon_image = DibOnePixel(2, 0xFF2080C0) + Le(0, 4);  // and its AND mask row
  const std::string icon = Le(0, 2) + Le(1, 2) + Le(1, 2) + std::string("\x01\x01\x00\x00", 4) + Le(1, 2) + Le(32, 2) +
                           Le(static_cast<std::uint32_t>(icon_image.size()), 4) + Le(22, 4) + icon_image;
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"pic.bmp", bmp));
  ASSERT_TRUE(page.WriteFile(L"pic.ico", icon));
  ASSERT_TRUE(page.WriteFile(L"icon.png", icon));
  ASSERT_TRUE(
      page.Load(std::string(kReset) + "<img id=bmp src=pic.bmp><img id=ico src=pic.ico><img id=named src=icon.png>"));
  wkeRect bmp_box{}, ico_box{}, named_box{};
  ASSERT_TRUE(page.ElementRect("#bmp", bmp_box));
  ASSERT_TRUE(page.ElementRect("#ico", ico_box));
  ASSERT_TRUE(page.ElementRect("#named", named_box));
  EXPECT_EQ(bmp_box.w, 1);
  EXPECT_TRUE(Near(page.Pixel(bmp_box.x, bmp_box.y), 0x20, 0x80, 0xC0)) << std::hex << page.Pixel(bmp_box.x, bmp_box.y);
  EXPECT_EQ(ico_box.w, 0);
  EXPECT_EQ(named_box.w, 0);
  std::string console;
  for (const std::wstring& line : page.ConsoleLines()) console += std::string(line.begin(), line.end()) + "\n";
  EXPECT_NE(console.find("Cannot show image pic.ico: not a PNG, JPEG, GIF or BMP file"), std::string::npos) << console;
  EXPECT_NE(console.find("Cannot show image icon.png: not a PNG, JPEG, GIF or BMP file"), std::string::npos) << console;
}

}  // namespace
}  // namespace halyx::testing
