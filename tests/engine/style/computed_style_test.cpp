#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/style/computed_style.h"
#include "engine/style/css_parser.h"

namespace halyx::testing {
namespace {

using engine::Color;
using engine::ComputedStyle;
using engine::Length;

std::string Text(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string Text(const Length& l) {
  switch (l.unit) {
    case Length::kAuto:
      return "auto";
    case Length::kPx:
      return Text(l.value) + "px";
    case Length::kPercent:
      return Text(l.value) + "%";
    case Length::kEm:
      return Text(l.value) + "em";
  }
  return "?";
}

std::string Text(const Color& c) {
  char text[32];
  std::snprintf(text, sizeof text, "rgba(%d,%d,%d,%d)", c.r, c.g, c.b, c.a);
  return text;
}

// Every property of a style as name=value pairs, so that a case states
// exactly what a declaration changed and nothing else.
std::vector<std::pair<std::string, std::string>> Fields(const ComputedStyle& s) {
  std::vector<std::pair<std::string, std::string>> out = {
      {"display", std::to_string(static_cast<int>(s.display))},
      {"position", std::to_string(static_cast<int>(s.position))},
      {"overflow", std::to_string(static_cast<int>(s.overflow))},
      {"border_box", std::to_string(s.border_box)},
      {"width", Text(s.width)},
      {"height", Text(s.height)},
      {"min_width", Text(s.min_width)},
      {"min_height", Text(s.min_height)},
      {"max_width", Text(s.max_width)},
      {"max_height", Text(s.max_height)},
      {"top", Text(s.top)},
      {"right", Text(s.right)},
      {"bottom", Text(s.bottom)},
      {"left", Text(s.left)},
      {"radius", Text(s.radius)},
      {"background", Text(s.background)},
      {"gradient", Text(s.gradient.angle) + "/" + std::to_string(s.gradient.stops.size())},
      {"shadow", Text(s.shadow.x) + " " + Text(s.shadow.y) + " " + Text(s.shadow.blur) + " " + Text(s.shadow.spread) +
                     " " + Text(s.shadow.color)},
      {"opacity", Text(s.opacity)},
      {"z_index", std::to_string(s.z_index)},
      {"visible", std::to_string(s.visible)},
      {"cursor", s.cursor},
      {"flex_column", std::to_string(s.flex_column)},
      {"flex_wrap", std::to_string(s.flex_wrap)},
      {"justify", std::to_string(static_cast<int>(s.justify))},
      {"align_items", std::to_string(static_cast<int>(s.align_items))},
      {"align_self", std::to_string(static_cast<int>(s.align_self)) + (s.has_align_self ? "!" : "")},
      {"gaps", Text(s.row_gap) + " " + Text(s.column_gap)},
      {"flex", Text(s.grow) + " " + Text(s.shrink) + " " + Text(s.basis)},
      {"color", Text(s.color)},
      {"font_family", s.font_family},
      {"font_size", Text(s.font_size)},
      {"font_weight", std::to_string(s.font_weight)},
      {"italic", std::to_string(s.italic)},
      {"line_height", Text(s.line_height) + " x" + Text(s.line_height_factor)},
      {"text_align", std::to_string(static_cast<int>(s.text_align))},
      {"white_space", std::to_string(s.nowrap) + std::to_string(s.pre)},
      {"ellipsis", std::to_string(s.ellipsis)},
      {"underline", std::to_string(s.underline)},
      {"uppercase", std::to_string(s.uppercase)},
  };
  const char* const kSides[] = {"top", "right", "bottom", "left"};
  for (int k = 0; k < 4; ++k) {
    out.emplace_back(std::string("margin_") + kSides[k], Text(s.margin[k]));
    out.emplace_back(std::string("padding_") + kSides[k], Text(s.padding[k]));
    out.emplace_back(std::string("border_") + kSides[k],
                     Text(s.border_width[k]) + " " + Text(s.border_color[k]) + (s.border_visible[k] ? " on" : " off"));
  }
  return out;
}

// What the declarations changed on a style that starts from `start`, as
// "name=value" items in Fields' order.
std::string Changes(const std::string& declarations, const ComputedStyle& start = ComputedStyle{}) {
  ComputedStyle parent;
  parent.font_size = 20;
  parent.color = Color{1, 2, 3, 255};
  ComputedStyle style = start;
  for (const engine::Declaration& d : engine::CssParser::ParseDeclarations(declarations)) style.Apply(d, parent);
  const auto before = Fields(start);
  const auto after = Fields(style);
  std::string out;
  for (std::size_t k = 0; k < after.size(); ++k) {
    if (after[k].second != before[k].second) out += (out.empty() ? "" : "; ") + after[k].first + "=" + after[k].second;
  }
  return out;
}

struct Case {
  const char* declarations;
  const char* expected;
};

void Expect(const Case* cases, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k)
    EXPECT_EQ(Changes(cases[k].declarations), cases[k].expected) << cases[k].declarations;
}

// Box properties: each declaration sets exactly its own fields; values the
// engine cannot read change nothing.
TEST(EngineComputedStyle, BoxPropertiesSetTheirFieldsOnly) {
  const Case cases[] = {
      {"display: flex", "display=3"},
      {"display: TABLE-CELL", "display=0"},
      {"display: inline-table", "display=2"},
      {"display: contents", ""},
      {"position: sticky", "position=1"},
      {"position: fixed", "position=3"},
      {"overflow: scroll", "overflow=2"},
      {"overflow-y: clip", "overflow=1"},
      {"box-sizing: border-box", "border_box=1"},
      {"width: 50%", "width=50%"},
      {"height: 2em", "height=2em"},
      {"min-width: 12pt", "min_width=16px"},
      {"max-height: 3rem", "max_height=48px"},
      {"width: calc(100% - 2px)", ""},
      {"top: 1px; right: 2px; bottom: 3px; left: 4px", "top=1px; right=2px; bottom=3px; left=4px"},
      {"inset: 5px 6px", "top=5px; right=6px; bottom=5px; left=6px"},
      {"margin: 1px auto", "margin_top=1px; margin_right=auto; margin_bottom=1px; margin_left=auto"},
      {"padding-left: 10%", "padding_left=10%"},
      {"margin-inline: 5px", ""},
      {"border: 2px solid #ff0000",
       "border_top=2 rgba(255,0,0,255) on; border_right=2 rgba(255,0,0,255) on; border_bottom=2 rgba(255,0,0,255) on; "
       "border_left=2 rgba(255,0,0,255) on"},
      {"border-left: 3px dashed", "border_left=3 rgba(0,0,0,0) on"},
      {"border-width: 1px 2px; border-style: solid",
       "border_top=1 rgba(0,0,0,0) on; border_right=2 rgba(0,0,0,0) on; border_bottom=1 rgba(0,0,0,0) on; "
       "border_left=2 rgba(0,0,0,0) on"},
      {"border-color: blue",
       "border_top=0 rgba(0,0,255,255) off; border_right=0 rgba(0,0,255,255) off; "
       "border_bottom=0 rgba(0,0,255,255) off; border_left=0 rgba(0,0,255,255) off"},
      {"border: 2px solid; border-top: none",
       "border_right=2 rgba(0,0,0,0) on; border_bottom=2 rgba(0,0,0,0) on; "
       "border_left=2 rgba(0,0,0,0) on"},
      {"border-radius: 4px 8px", "radius=4"},
      {"border-radius: 50%", ""},
  };
  Expect(cases, std::size(cases));
}

// Paint properties: colours, backgrounds, gradients, shadows, opacity.
TEST(EngineComputedStyle, PaintPropertiesParseTheirValues) {
  const Case cases[] = {
      {"background: #123", "background=rgba(17,34,51,255)"},
      {"background-color: rgba(0, 0, 255, 0.5)", "background=rgba(0,0,255,128)"},
      {"background: #fff url(x.png) no-repeat", "background=rgba(255,255,255,255)"},
      {"background: linear-gradient(to right, red, blue)", "gradient=90/2"},
      {"background-image: linear-gradient(45deg, red, blue 50%, green)", "gradient=45/3"},
      {"background: red; background: none", ""},
      {"box-shadow: 1px 2px 3px rgba(0,0,0,0.5)", "shadow=1 2 3 0 rgba(0,0,0,128)"},
      {"box-shadow: 0 0 500px 500px red", "shadow=0 0 100 100 rgba(255,0,0,255)"},
      {"box-shadow: 1px", ""},
      {"opacity: 1.5", ""},
      {"opacity: 0.25", "opacity=0.25"},
      {"z-index: 7", "z_index=7"},
      {"visibility: collapse", "visible=0"},
      {"cursor: Pointer", "cursor=pointer"},
      {"color: transparent", "color=rgba(0,0,0,0)"},
      {"color: inherit", "color=rgba(1,2,3,255)"},
      {"color: #12345", ""},
  };
  Expect(cases, std::size(cases));
}

// Flex properties, with the shorthand's one, two and three values.
TEST(EngineComputedStyle, FlexPropertiesAndTheFlexShorthand) {
  const Case cases[] = {
      {"flex-direction: column-reverse", "flex_column=1"},
      {"flex-flow: column wrap", "flex_column=1; flex_wrap=1"},
      {"flex-wrap: wrap-reverse", "flex_wrap=1"},
      {"justify-content: space-evenly", "justify=6"},
      {"align-items: center", "align_items=2"},
      {"align-self: flex-end", "align_self=1!"},
      {"align-self: auto", ""},
      {"gap: 4px 8px", "gaps=4 8"},
      {"row-gap: 3px", "gaps=3 0"},
      {"flex: 2", "flex=2 1 0px"},
      {"flex: 1 30px", "flex=1 1 30px"},
      {"flex: 2 3", "flex=2 3 0px"},
      {"flex: 1 0 auto", "flex=1 0 auto"},
      {"flex: none", "flex=0 0 auto"},
      {"flex: auto", "flex=1 1 auto"},
      {"flex: 99999", "flex=1000 1 0px"},
      {"flex-basis: 20%", "flex=0 1 20%"},
  };
  Expect(cases, std::size(cases));
}

// Text properties: sizes relative to the parent's 20px and clamped, the
// font shorthand, line heights as factors or lengths.
TEST(EngineComputedStyle, TextPropertiesResolveAgainstTheParent) {
  const Case cases[] = {
      {"font-size: 1.5em", "font_size=30"},
      {"font-size: 50%", "font_size=10"},
      {"font-size: larger", "font_size=24"},
      {"font-size: 100000px", "font_size=256"},
      {"font-size: inherit", "font_size=20"},
      {"font-weight: 600", "font_weight=600"},
      {"font-weight: 1000", ""},
      {"font-weight: bolder", "font_weight=700"},
      {"font-style: oblique", "italic=1"},
      {"font: italic bold 12px Segoe UI", "font_family= Segoe UI; font_size=12; font_weight=700; italic=1"},
      {"font-family: Consolas, monospace", "font_family=Consolas, monospace"},
      {"line-height: 1.5", "line_height=0 x1.5"},
      {"line-height: 24px", "line_height=24 x0"},
      {"line-height: 99", "line_height=0 x10"},
      {"text-align: end", "text_align=2"},
      {"white-space: pre", "white_space=11"},
      {"white-space: pre-wrap", "white_space=01"},
      {"text-overflow: ellipsis", "ellipsis=1"},
      {"text-decoration: underline dotted", "underline=1"},
      {"text-transform: uppercase", "uppercase=1"},
  };
  Expect(cases, std::size(cases));
}

}  // namespace
}  // namespace halyx::testing
