#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "engine/style/computed_style.h"
#include "engine/style/css_parser.h"
#include "engine/style/style_resolver.h"
#include "styled_page.h"

namespace halyx::testing {
namespace {

using engine::ComputedStyle;

std::string Rgb(const engine::Color& c) {
  char text[32];
  std::snprintf(text, sizeof text, "%d,%d,%d,%d", c.r, c.g, c.b, c.a);
  return text;
}

// Which declaration wins: the engine's own sheet first, then the page's
// sheets in order and the style attribute, with !important above all normal
// declarations and specificity before order.
TEST(EngineCascade, TheWinningDeclarationFollowsOriginImportanceSpecificityAndOrder) {
  struct Case {
    const char* name;
    const char* html;  // #t's colour is checked
    const char* expected;
  };
  const Case cases[] = {
      {"later rule of equal specificity", "<style>p{color:#010101} p{color:#020202}</style><p id=t>x", "2,2,2,255"},
      {"later sheet", "<style>p{color:#010101}</style><style>p{color:#020202}</style><p id=t>x", "2,2,2,255"},
      {"class over later type", "<style>.c{color:#010101} p{color:#020202}</style><p id=t class=c>x", "1,1,1,255"},
      {"id over classes", "<style>#t{color:#010101} .a.b.c{color:#020202}</style><p id=t class='a b c'>x", "1,1,1,255"},
      {"attribute counts as a class", "<style>[title]{color:#010101} p{color:#020202}</style><p id=t title=x>x",
       "1,1,1,255"},
      {"style attribute over any rule", "<style>#t.c{color:#010101}</style><p id=t class=c style='color:#030303'>x",
       "3,3,3,255"},
      {"important rule over style attribute",
       "<style>p{color:#010101 !important}</style><p id=t style='color:#030303'>x", "1,1,1,255"},
      {"important style attribute over important rule",
       "<style>#t{color:#010101 !important}</style><p id=t style='color:#030303 !important'>x", "3,3,3,255"},
      {"important of low specificity over normal id",
       "<style>p{color:#010101 !important} #t{color:#020202}</style><p id=t>x", "1,1,1,255"},
      {"page over the engine's sheet", "<style>a{color:#040404}</style><a id=t href=x>x</a>", "4,4,4,255"},
      {"the engine's sheet without a page rule", "<a id=t href=x>x</a>", "6,69,173,255"},
      {"an invalid value leaves the earlier one", "<style>p{color:#010101} p{color:nonsense}</style><p id=t>x",
       "1,1,1,255"},
      {"inherited from the parent", "<div style='color:#050505'><p id=t>x</p></div>", "5,5,5,255"},
      {"own rule over inheritance", "<style>p{color:#010101}</style><div style='color:#050505'><p id=t>x</p></div>",
       "1,1,1,255"},
      {"rgba and names", "<p id=t style='color:rgba(255,0,0,0.5)'>x", "255,0,0,128"},
      {"hover rule without hover", "<style>p:hover{color:#010101}</style><p id=t style=''>x", "32,32,32,255"},
  };
  for (const Case& c : cases) {
    const StyledPage page(c.html);
    EXPECT_EQ(Rgb(page.Style("#t").color), c.expected) << c.name;
  }
}

// Which properties inherit, and how relative lengths resolve against the
// parent and the element's own font size.
TEST(EngineCascade, InheritanceAndRelativeLengths) {
  const StyledPage page(
      "<style>#outer{font-size:20px;font-weight:bold;margin:7px;display:flex;background:#111111}"
      "#mid{font-size:1.5em}#in{width:2em;padding-left:10%;font-size:50%}</style>"
      "<div id=outer><div id=mid><span id=in>x</span></div></div>");
  const ComputedStyle& outer = page.Style("#outer");
  const ComputedStyle& mid = page.Style("#mid");
  const ComputedStyle& in = page.Style("#in");
  EXPECT_EQ(mid.font_size, 30);  // em of the parent's size
  EXPECT_EQ(in.font_size, 15);   // percentages too
  EXPECT_EQ(in.font_weight, 700);
  // Lengths in em are the element's own font size, set first.
  EXPECT_EQ(in.width.Resolve(0, in.font_size), 30);
  EXPECT_EQ(in.padding[3].unit, engine::Length::kPercent);
  // Box properties do not inherit.
  EXPECT_EQ(outer.display, ComputedStyle::Display::kFlex);
  EXPECT_EQ(mid.display, ComputedStyle::Display::kBlock);
  EXPECT_EQ(mid.margin[0].value, 0);
  EXPECT_FALSE(mid.background.visible());
}

// Shorthands set their longhands, and a later longhand overrides one side.
TEST(EngineCascade, ShorthandsExpandIntoTheirSides) {
  struct Case {
    const char* style;
    float top, right, bottom, left;  // margins in px
  };
  const Case cases[] = {
      {"margin:1px", 1, 1, 1, 1},
      {"margin:1px 2px", 1, 2, 1, 2},
      {"margin:1px 2px 3px", 1, 2, 3, 2},
      {"margin:1px 2px 3px 4px", 1, 2, 3, 4},
      {"margin:1px;margin-left:9px", 1, 1, 1, 9},
      {"margin-left:9px;margin:1px", 1, 1, 1, 1},
      {"margin:1px 2px 3px 4px 5px", 0, 0, 0, 0},  // not a margin: ignored
  };
  for (const Case& c : cases) {
    const StyledPage page(std::string("<div id=t style='") + c.style + "'></div>");
    const ComputedStyle& style = page.Style("#t");
    EXPECT_EQ(style.margin[0].value, c.top) << c.style;
    EXPECT_EQ(style.margin[1].value, c.right) << c.style;
    EXPECT_EQ(style.margin[2].value, c.bottom) << c.style;
    EXPECT_EQ(style.margin[3].value, c.left) << c.style;
  }
}

// A subtree styled again after a change comes out as a whole pass would,
// and answers whether layout must run again.
TEST(EngineCascade, RestylingASubtreeMatchesAWholePass) {
  const char kSheet[] = "<style>.on{color:#010101}.on span{font-size:30px}.wide{width:300px}</style>";
  engine::HtmlDocument doc =
      engine::HtmlDocument::Parse(std::string(kSheet) + "<div id=a><span id=s>x</span></div><div id=b></div>");
  engine::StyleResolver styles;
  styles.SetSheets({engine::CssParser::ParseSheet(doc.styles()[0].text)});
  std::vector<ComputedStyle> computed;
  styles.Resolve(doc, {}, computed);
  const int a = doc.FindById("a");
  const int s = doc.FindById("s");
  const int b = doc.FindById("b");

  doc.SetAttribute(a, "class", "on");
  std::vector<int> changed;
  EXPECT_TRUE(styles.ResolveSubtree(doc, {}, a, computed, changed));  // the span's font size: layout
  EXPECT_EQ(computed[static_cast<std::size_t>(s)].font_size, 30);
  EXPECT_EQ(Rgb(computed[static_cast<std::size_t>(s)].color), "1,1,1,255");

  std::vector<ComputedStyle> whole;
  styles.Resolve(doc, {}, whole);
  EXPECT_TRUE(whole[static_cast<std::size_t>(s)].LaysOutLike(computed[static_cast<std::size_t>(s)]));
  EXPECT_TRUE(whole[static_cast<std::size_t>(s)].PaintsLike(computed[static_cast<std::size_t>(s)]));

  // A colour alone is no reason to lay out again.
  doc.SetAttribute(b, "style", "color:red");
  changed.clear();
  EXPECT_FALSE(styles.ResolveSubtree(doc, {}, b, computed, changed));
  EXPECT_EQ(changed, std::vector<int>{b});
  doc.SetAttribute(b, "class", "wide");
  EXPECT_TRUE(styles.ResolveSubtree(doc, {}, b, computed, changed));
}

}  // namespace
}  // namespace halyx::testing
