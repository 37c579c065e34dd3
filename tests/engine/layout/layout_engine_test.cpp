#include <string>

#include <gtest/gtest.h>

#include "styled_page.h"

namespace halyx::testing {
namespace {

// Layout is checked on the boxes the core computes for hand-written
// documents (border boxes in view coordinates, 640x480), without a view or
// script. -1 leaves a field unchecked.
struct BoxCase {
  const char* name;
  const char* body;
  const char* selector;
  int x, y, w, h;
};

const char kReset[] = "<style>body{margin:0;font-family:Tahoma;font-size:16px}</style>";

void ExpectBoxes(const BoxCase* cases, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    const BoxCase& c = cases[k];
    const StyledPage page(std::string(kReset) + c.body);
    ASSERT_GE(page.Find(c.selector), 0) << c.name;
    const StyledPage::Rect rect = page.Box(c.selector);
    if (c.x >= 0) {
      EXPECT_EQ(rect.x, c.x) << c.name;
    }
    if (c.y >= 0) {
      EXPECT_EQ(rect.y, c.y) << c.name;
    }
    if (c.w >= 0) {
      EXPECT_EQ(rect.w, c.w) << c.name;
    }
    if (c.h >= 0) {
      EXPECT_EQ(rect.h, c.h) << c.name;
    }
  }
}

// The box model: widths fill the containing block, padding and borders add
// to content boxes and not to border boxes, min/max clamp, auto margins
// centre, adjacent margins collapse.
TEST(EngineLayoutBoxModel, BoxesFollowTheBoxModel) {
  const BoxCase cases[] = {
      {"auto width fills minus margins",
       "<div id=a style='margin:10px 20px;padding:5px;border:2px solid red;height:30px'></div>", "#a", 20, 10, 600, 44},
      {"border-box keeps its size",
       "<div id=a style='width:200px;height:100px;padding:10px;border:5px solid;"
       "box-sizing:border-box'></div>",
       "#a", 0, 0, 200, 100},
      {"content-box adds padding and border",
       "<div id=a style='width:200px;height:100px;padding:10px;border:5px solid'></div>", "#a", 0, 0, 230, 130},
      {"max-width and min-height clamp", "<div id=a style='width:50%;max-width:250px;min-height:40px'></div>", "#a", 0,
       0, 250, 40},
      {"auto side margins centre", "<div id=a style='width:200px;margin:0 auto;height:10px'></div>", "#a", 220, 0, 200,
       10},
      {"sibling margins collapse to the larger",
       "<div style='height:10px;margin-bottom:20px'></div><div id=a style='height:10px;margin-top:30px'></div>", "#a",
       0, 40, 640, 10},
      {"display none takes no room", "<div style='display:none;height:50px'></div><div id=a style='height:10px'></div>",
       "#a", 0, 0, 640, 10},
      {"em lengths follow the font size", "<div id=a style='font-size:20px;width:10em;height:2em'></div>", "#a", 0, 0,
       200, 40},
      {"inline blocks sit side by side",
       "<div><span style='display:inline-block;width:100px;height:20px'></span><span id=a "
       "style='display:inline-block;width:100px;height:20px'></span></div>",
       "#a", 100, -1, 100, 20},
      {"text-align right moves inline content",
       "<div style='width:300px;text-align:right'><span id=a style='display:inline-block;width:50px;height:10px'>"
       "</span></div>",
       "#a", 250, -1, 50, 10},
      {"text-align center",
       "<div style='width:300px;text-align:center'><img id=a style='width:100px;height:10px'>"
       "</div>",
       "#a", 100, -1, 100, 10},
  };
  ExpectBoxes(cases, std::size(cases));
}

// Flex containers: direction, wrap, justify-content, align-items, gap and
// the flexible lengths.
TEST(EngineLayoutFlex, FlexItemsAreSizedAndPlaced) {
  const BoxCase cases[] = {
      {"space-between",
       "<div style='display:flex;justify-content:space-between;width:300px'><div "
       "style='width:50px;height:20px'></div><div id=a style='width:50px;height:20px'></div></div>",
       "#a", 250, 0, 50, 20},
      {"center",
       "<div style='display:flex;justify-content:center;width:300px'><div id=a "
       "style='width:50px;height:20px'></div><div style='width:50px;height:20px'></div></div>",
       "#a", 100, 0, 50, 20},
      {"grow takes the free space",
       "<div style='display:flex;width:300px'><div style='width:100px;height:10px'>"
       "</div><div id=a style='flex:1;height:10px'></div></div>",
       "#a", 100, 0, 200, 10},
      {"grow shares by factor",
       "<div style='display:flex;width:300px'><div style='flex-grow:1;height:10px'></div>"
       "<div id=a style='flex-grow:2;height:10px'></div></div>",
       "#a", 100, 0, 200, 10},
      {"shrink weighs by basis",
       "<div style='display:flex;width:300px'><div id=a style='width:200px;height:10px'>"
       "</div><div style='width:200px;height:10px;flex-shrink:3'></div></div>",
       "#a", 0, 0, 175, 10},
      {"gap and align-items center",
       "<div style='display:flex;gap:10px;align-items:center;height:100px'><div "
       "style='width:40px;height:40px'></div><div id=a style='width:40px;height:20px'>"
       "</div></div>",
       "#a", 50, 40, 40, 20},
      {"align-items end",
       "<div style='display:flex;align-items:flex-end;height:100px'><div id=a "
       "style='width:40px;height:20px'></div></div>",
       "#a", 0, 80, 40, 20},
      {"stretch by default", "<div style='display:flex;height:60px'><div id=a style='width:40px'></div></div>", "#a", 0,
       0, 40, 60},
      {"column with grow",
       "<div style='display:flex;flex-direction:column;height:200px'><div style='height:50px'>"
       "</div><div id=a style='flex-grow:1'></div></div>",
       "#a", 0, 50, 640, 150},
      {"wrap moves to a new line",
       "<div style='display:flex;flex-wrap:wrap;width:250px'><div "
       "style='width:100px;height:30px'></div><div style='width:100px;height:30px'></div>"
       "<div id=a style='width:100px;height:30px'></div></div>",
       "#a", 0, 30, 100, 30},
      {"auto margin pushes right",
       "<div style='display:flex;width:300px'><div style='width:50px;height:10px'>"
       "</div><div id=a style='width:50px;height:10px;margin-left:auto'></div></div>",
       "#a", 250, 0, 50, 10},
      {"basis wins over width",
       "<div style='display:flex;width:300px'><div id=a "
       "style='width:50px;flex-basis:120px;height:10px'></div></div>",
       "#a", 0, 0, 120, 10},
      {"auto height is the tallest item",
       "<div id=a style='display:flex'><div style='height:25px;width:5px'></div>"
       "<div style='height:45px;width:5px'></div></div>",
       "#a", 0, 0, 640, 45},
  };
  ExpectBoxes(cases, std::size(cases));
}

// Positioning: relative offsets move a box without moving the flow;
// absolute boxes sit in their nearest positioned ancestor.
TEST(EngineLayoutPosition, PositionedBoxesUseTheirOffsets) {
  const BoxCase cases[] = {
      {"relative offset", "<div id=a style='position:relative;left:15px;top:5px;height:10px'></div>", "#a", 15, 5, 640,
       10},
      {"relative leaves the flow",
       "<div style='position:relative;top:50px;height:10px'></div><div id=a "
       "style='height:10px'></div>",
       "#a", 0, 10, 640, 10},
      {"absolute from right and bottom",
       "<div style='position:relative;margin:20px;height:100px'><div id=a "
       "style='position:absolute;right:10px;bottom:10px;width:30px;height:20px'>"
       "</div></div>",
       "#a", 580, 90, 30, 20},
      {"absolute stretched between left and right",
       "<div style='position:relative;width:300px;height:50px'><div "
       "id=a style='position:absolute;left:10px;right:20px;top:0;"
       "height:5px'></div></div>",
       "#a", 10, 0, 270, 5},
      {"absolute takes no room",
       "<div style='position:absolute;height:80px;width:80px'></div><div id=a "
       "style='height:10px'></div>",
       "#a", 0, 0, 640, 10},
  };
  ExpectBoxes(cases, std::size(cases));
}

// Text: lines wrap inside their block, nowrap keeps one line, and the lines
// stack by their line height.
TEST(EngineLayoutText, TextWrapsAtTheBlockWidthUnlessNowrap) {
  const std::string words = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu";
  const StyledPage page(std::string(kReset) +
                        "<div id=one style='line-height:20px'>x</div><div id=wrap "
                        "style='width:120px;line-height:20px'>" +
                        words + "</div><div id=nowrap style='width:120px;white-space:nowrap;line-height:20px'>" +
                        words + "</div>");
  EXPECT_EQ(page.Box("#one").h, 20);
  EXPECT_GE(page.Box("#wrap").h, 80);
  EXPECT_EQ(page.Box("#wrap").h % 20, 0);
  EXPECT_EQ(page.Box("#nowrap").h, 20);
  // A span inside the text has a box of its own on its line.
  const StyledPage spans(std::string(kReset) + "<p style='line-height:20px;margin:0'>a <span id=s>word</span></p>");
  const StyledPage::Rect span = spans.Box("#s");
  EXPECT_GT(span.x, 0);
  EXPECT_GT(span.w, 10);
  EXPECT_LE(span.y + span.h, 20);
}

}  // namespace
}  // namespace halyx::testing
