// The style of one element after the cascade: every property the layout and
// the painter read, with CSS values parsed into numbers.
//
// Apply() takes one declaration; values it cannot read leave the property as
// it was, as browsers ignore invalid declarations. Numbers are clamped to
// sane ranges so a hostile page cannot ask for a 10^9 pixel font.
//
// Thread: GUI thread; plain value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/style/style_sheet.h"

namespace halyx::engine {

struct Color {
  std::uint8_t r = 0, g = 0, b = 0, a = 0;  // a = 0 is transparent
  bool visible() const { return a != 0; }
  bool operator==(const Color& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

struct Length {
  enum Unit : std::uint8_t { kAuto, kPx, kPercent, kEm };
  float value = 0;
  Unit unit = kAuto;
  bool is_auto() const { return unit == kAuto; }
  static Length Px(float v) { return Length{v, kPx}; }
  // Pixels against `base` (for percentages) and the element's font size.
  float Resolve(float base, float font_size, float fallback = 0) const;
};

struct Gradient {
  float angle = 180;                           // degrees, CSS convention: 180 runs top to bottom
  std::vector<std::pair<Color, float>> stops;  // position 0..1, or -1 unset
};

struct Shadow {
  float x = 0, y = 0, blur = 0, spread = 0;
  Color color;
};

struct ComputedStyle {
  enum class Display : std::uint8_t { kBlock, kInline, kInlineBlock, kFlex, kInlineFlex, kNone };
  enum class Position : std::uint8_t { kStatic, kRelative, kAbsolute, kFixed };
  enum class Overflow : std::uint8_t { kVisible, kHidden, kAuto };
  enum class Align : std::uint8_t { kStart, kEnd, kCenter, kStretch, kSpaceBetween, kSpaceAround, kSpaceEvenly };
  enum class TextAlign : std::uint8_t { kLeft, kCenter, kRight };

  Display display = Display::kInline;
  Position position = Position::kStatic;
  Overflow overflow = Overflow::kVisible;
  bool border_box = false;
  Length width, height, min_width, min_height, max_width, max_height;
  Length top, right, bottom, left;
  Length margin[4] = {{0, Length::kPx}, {0, Length::kPx}, {0, Length::kPx}, {0, Length::kPx}};  // top, right, ...
  Length padding[4] = {{0, Length::kPx}, {0, Length::kPx}, {0, Length::kPx}, {0, Length::kPx}};
  float border_width[4] = {0, 0, 0, 0};
  Color border_color[4];
  bool border_visible[4] = {false, false, false, false};  // style other than none
  float radius = 0;
  Color background;
  Gradient gradient;
  Shadow shadow;
  float opacity = 1;
  int z_index = 0;
  bool visible = true;
  std::string cursor;

  // Flex container and item.
  bool flex_column = false;
  bool flex_wrap = false;
  Align justify = Align::kStart;
  Align align_items = Align::kStretch;
  Align align_self = Align::kStretch;
  bool has_align_self = false;
  float row_gap = 0, column_gap = 0;
  float grow = 0, shrink = 1;
  Length basis;

  // Inherited text properties.
  Color color{0x20, 0x20, 0x20, 255};
  std::string font_family = "sans-serif";
  float font_size = 14;
  int font_weight = 400;
  bool italic = false;
  float line_height = 0;  // 0: normal (the font's own)
  float line_height_factor = 0;
  TextAlign text_align = TextAlign::kLeft;
  bool nowrap = false;
  bool pre = false;
  bool ellipsis = false;
  bool underline = false;
  bool uppercase = false;

  // The style a child starts from: inherited properties kept, the rest
  // initial.
  static ComputedStyle InheritFrom(const ComputedStyle& parent);
  void Apply(const Declaration& declaration, const ComputedStyle& parent);
  // True when the two styles draw a box with the same boxes and runs alike
  // (what a repaint of only the changed areas compares).
  bool PaintsLike(const ComputedStyle& other) const;
  // True when the layout reads the same from both: they differ at most in
  // what only painting uses (colours, backgrounds, shadows, opacity, radius,
  // visibility, z-index, cursor, underline), so a change between them needs
  // a repaint and no new layout.
  bool LaysOutLike(const ComputedStyle& other) const;
  // How far the element's painting reaches outside its border box.
  float PaintOverflow() const;
  float UsedLineHeight(float font_height) const;

  static bool ParseColor(const std::string& text, Color& out);
  static bool ParseLength(const std::string& text, Length& out);
};

}  // namespace halyx::engine
