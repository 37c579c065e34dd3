#include <windows.h>

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

}  // namespace
}  // namespace halyx::testing
