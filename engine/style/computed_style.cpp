#include "engine/style/computed_style.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <unordered_map>

namespace halyx::engine {
namespace {

constexpr float kMaxLength = 100000;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Splits a value at white space (and at commas when asked) outside
// parentheses.
std::vector<std::string> Tokens(const std::string& value, bool commas = false) {
  std::vector<std::string> out;
  std::string current;
  int parens = 0;
  for (char c : value) {
    if (c == '(') ++parens;
    if (c == ')' && parens > 0) --parens;
    const bool split = parens == 0 && (std::isspace(static_cast<unsigned char>(c)) || (commas && c == ','));
    if (split) {
      if (!current.empty()) out.push_back(current);
      current.clear();
      if (commas && c == ',') out.push_back(",");
      continue;
    }
    current += c;
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

bool ParseNumber(const std::string& text, float& out, std::string& unit) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(value)) return false;
  out = static_cast<float>(std::clamp(value, -static_cast<double>(kMaxLength), static_cast<double>(kMaxLength)));
  unit = Lower(end);
  return true;
}

std::uint8_t Channel(const std::string& text, bool alpha) {
  float value = 0;
  std::string unit;
  if (!ParseNumber(text, value, unit)) return 0;
  if (unit == "%") value = value * (alpha ? 0.01f : 2.55f);
  if (alpha && unit != "%") value *= 255;
  if (alpha && unit == "%") value *= 255;
  return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

Color FromColorref(COLORREF ref) { return Color{GetRValue(ref), GetGValue(ref), GetBValue(ref), 255}; }

ComputedStyle::Align ParseAlign(const std::string& value, bool& ok) {
  ok = true;
  const std::string v = Lower(value);
  if (v == "flex-start" || v == "start" || v == "left" || v == "normal" || v == "baseline")
    return ComputedStyle::Align::kStart;
  if (v == "flex-end" || v == "end" || v == "right") return ComputedStyle::Align::kEnd;
  if (v == "center") return ComputedStyle::Align::kCenter;
  if (v == "stretch") return ComputedStyle::Align::kStretch;
  if (v == "space-between") return ComputedStyle::Align::kSpaceBetween;
  if (v == "space-around") return ComputedStyle::Align::kSpaceAround;
  if (v == "space-evenly") return ComputedStyle::Align::kSpaceEvenly;
  ok = false;
  return ComputedStyle::Align::kStart;
}

// Four values from one to four tokens, as margin and padding spell them.
template <typename T, typename Parse>
bool Sides(const std::string& value, T (&out)[4], Parse parse) {
  const std::vector<std::string> parts = Tokens(value);
  if (parts.empty() || parts.size() > 4) return false;
  T read[4];
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (!parse(parts[k], read[k])) return false;
  }
  const std::size_t n = parts.size();
  out[0] = read[0];
  out[1] = n > 1 ? read[1] : read[0];
  out[2] = n > 2 ? read[2] : read[0];
  out[3] = n > 3 ? read[3] : (n > 1 ? read[1] : read[0]);
  return true;
}

bool ParseGradient(const std::string& value, Gradient& out) {
  const std::string lower = Lower(value);
  if (lower.rfind("linear-gradient(", 0) != 0 || lower.back() != ')') return false;
  const std::string inside = value.substr(16, value.size() - 17);
  std::vector<std::string> args;
  std::string current;
  int parens = 0;
  for (char c : inside) {
    if (c == '(') ++parens;
    if (c == ')') --parens;
    if (c == ',' && parens == 0) {
      args.push_back(current);
      current.clear();
      continue;
    }
    current += c;
  }
  args.push_back(current);
  Gradient gradient;
  std::size_t first = 0;
  const std::vector<std::string> head = Tokens(Lower(args[0]));
  if (!head.empty() && head[0] == "to") {
    static const std::pair<const char*, float> kSides[] = {{"top", 0}, {"right", 90}, {"bottom", 180}, {"left", 270}};
    float angle = 180;
    for (const auto& [name, degrees] : kSides) {
      if (head.size() > 1 && head[1] == name) angle = degrees;
    }
    gradient.angle = angle;
    first = 1;
  } else if (!head.empty() && head[0].size() > 3 && head[0].compare(head[0].size() - 3, 3, "deg") == 0) {
    gradient.angle = std::strtof(head[0].c_str(), nullptr);
    first = 1;
  }
  for (std::size_t k = first; k < args.size() && gradient.stops.size() < 16; ++k) {
    const std::vector<std::string> parts = Tokens(args[k]);
    if (parts.empty()) return false;
    Color color;
    if (!ComputedStyle::ParseColor(parts[0], color)) return false;
    float position = -1;
    if (parts.size() > 1) position = std::clamp(std::strtof(parts[1].c_str(), nullptr) / 100.0f, 0.0f, 1.0f);
    gradient.stops.emplace_back(color, position);
  }
  if (gradient.stops.size() < 2) return false;
  // Stops without a position spread evenly between their neighbours.
  auto& stops = gradient.stops;
  if (stops.front().second < 0) stops.front().second = 0;
  if (stops.back().second < 0) stops.back().second = 1;
  for (std::size_t k = 1; k + 1 < stops.size(); ++k) {
    if (stops[k].second >= 0) continue;
    std::size_t next = k + 1;
    while (stops[next].second < 0) ++next;
    const float from = stops[k - 1].second;
    stops[k].second = from + (stops[next].second - from) / static_cast<float>(next - k + 1);
  }
  out = std::move(gradient);
  return true;
}

}  // namespace

float Length::Resolve(float base, float font_size, float fallback) const {
  switch (unit) {
    case kPx:
      return value;
    case kPercent:
      return base * value / 100.0f;
    case kEm:
      return value * font_size;
    case kAuto:
    default:
      return fallback;
  }
}

bool ComputedStyle::ParseLength(const std::string& text, Length& out) {
  const std::string lower = Lower(text);
  if (lower == "auto" || lower == "none") {
    out = Length{};
    return true;
  }
  float value = 0;
  std::string unit;
  if (!ParseNumber(lower, value, unit)) return false;
  if (unit == "px" || (unit.empty() && value == 0)) {
    out = Length{value, Length::kPx};
  } else if (unit == "%") {
    out = Length{value, Length::kPercent};
  } else if (unit == "em") {
    out = Length{value, Length::kEm};
  } else if (unit == "rem") {
    out = Length{value * 16, Length::kPx};
  } else if (unit == "pt") {
    out = Length{value * 4 / 3, Length::kPx};
  } else if (unit == "vh" || unit == "vw") {
    out = Length{value, Length::kPercent};  // against the containing block: close enough for a fixed view
  } else {
    return false;
  }
  return true;
}

bool ComputedStyle::ParseColor(const std::string& input, Color& out) {
  const std::string text = Lower(input);
  if (text.empty()) return false;
  if (text[0] == '#') {
    const std::string hex = text.substr(1);
    for (char c : hex) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    auto nibble = [&](std::size_t k) {
      return static_cast<std::uint8_t>(std::strtoul(hex.substr(k, 1).c_str(), nullptr, 16) * 17);
    };
    auto byte = [&](std::size_t k) {
      return static_cast<std::uint8_t>(std::strtoul(hex.substr(k, 2).c_str(), nullptr, 16));
    };
    if (hex.size() == 3 || hex.size() == 4) {
      out = Color{nibble(0), nibble(1), nibble(2), hex.size() == 4 ? nibble(3) : std::uint8_t{255}};
      return true;
    }
    if (hex.size() == 6 || hex.size() == 8) {
      out = Color{byte(0), byte(2), byte(4), hex.size() == 8 ? byte(6) : std::uint8_t{255}};
      return true;
    }
    return false;
  }
  if (text.rfind("rgb", 0) == 0) {
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    std::string inside = text.substr(open + 1, close - open - 1);
    std::replace(inside.begin(), inside.end(), ',', ' ');
    std::replace(inside.begin(), inside.end(), '/', ' ');
    const std::vector<std::string> parts = Tokens(inside);
    if (parts.size() != 3 && parts.size() != 4) return false;
    out = Color{Channel(parts[0], false), Channel(parts[1], false), Channel(parts[2], false),
                parts.size() == 4 ? Channel(parts[3], true) : std::uint8_t{255}};
    return true;
  }
  static const std::pair<const char*, std::uint32_t> kNames[] = {
      {"black", 0x000000},    {"white", 0xffffff},     {"red", 0xff0000},        {"green", 0x008000},
      {"blue", 0x0000ff},     {"gray", 0x808080},      {"grey", 0x808080},       {"silver", 0xc0c0c0},
      {"yellow", 0xffff00},   {"orange", 0xffa500},    {"purple", 0x800080},     {"navy", 0x000080},
      {"teal", 0x008080},     {"lime", 0x00ff00},      {"maroon", 0x800000},     {"olive", 0x808000},
      {"aqua", 0x00ffff},     {"fuchsia", 0xff00ff},   {"crimson", 0xdc143c},    {"gold", 0xffd700},
      {"darkgray", 0xa9a9a9}, {"lightgray", 0xd3d3d3}, {"whitesmoke", 0xf5f5f5}, {"dodgerblue", 0x1e90ff}};
  for (const auto& [name, rgb] : kNames) {
    if (text == name) {
      out = Color{static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                  static_cast<std::uint8_t>(rgb), 255};
      return true;
    }
  }
  if (text == "transparent") {
    out = Color{};
    return true;
  }
  // System colours, so that default controls look like the system's.
  if (text == "buttonface") {
    out = FromColorref(::GetSysColor(COLOR_BTNFACE));
    return true;
  }
  if (text == "buttontext") {
    out = FromColorref(::GetSysColor(COLOR_BTNTEXT));
    return true;
  }
  if (text == "field") {
    out = FromColorref(::GetSysColor(COLOR_WINDOW));
    return true;
  }
  return false;
}

ComputedStyle ComputedStyle::InheritFrom(const ComputedStyle& parent) {
  ComputedStyle style;
  style.color = parent.color;
  style.font_family = parent.font_family;
  style.font_size = parent.font_size;
  style.font_weight = parent.font_weight;
  style.italic = parent.italic;
  style.line_height = parent.line_height;
  style.line_height_factor = parent.line_height_factor;
  style.text_align = parent.text_align;
  style.nowrap = parent.nowrap;
  style.pre = parent.pre;
  style.visible = parent.visible;
  style.cursor = parent.cursor;
  style.uppercase = parent.uppercase;
  return style;
}

bool ComputedStyle::PaintsLike(const ComputedStyle& o) const {
  for (int k = 0; k < 4; ++k) {
    if (border_width[k] != o.border_width[k] || !(border_color[k] == o.border_color[k]) ||
        border_visible[k] != o.border_visible[k]) {
      return false;
    }
  }
  if (gradient.angle != o.gradient.angle || gradient.stops.size() != o.gradient.stops.size()) return false;
  for (std::size_t k = 0; k < gradient.stops.size(); ++k) {
    if (!(gradient.stops[k].first == o.gradient.stops[k].first) ||
        gradient.stops[k].second != o.gradient.stops[k].second)
      return false;
  }
  return display == o.display && position == o.position && overflow == o.overflow && visible == o.visible &&
         opacity == o.opacity && z_index == o.z_index && radius == o.radius && background == o.background &&
         shadow.x == o.shadow.x && shadow.y == o.shadow.y && shadow.blur == o.shadow.blur &&
         shadow.spread == o.shadow.spread && shadow.color == o.shadow.color && color == o.color &&
         font_family == o.font_family && font_size == o.font_size && font_weight == o.font_weight &&
         italic == o.italic && underline == o.underline;
}

bool ComputedStyle::LaysOutLike(const ComputedStyle& o) const {
  auto same = [](const Length& a, const Length& b) { return a.unit == b.unit && a.value == b.value; };
  for (int k = 0; k < 4; ++k) {
    if (!same(margin[k], o.margin[k]) || !same(padding[k], o.padding[k]) || border_width[k] != o.border_width[k] ||
        border_visible[k] != o.border_visible[k]) {
      return false;
    }
  }
  return display == o.display && position == o.position && overflow == o.overflow && border_box == o.border_box &&
         same(width, o.width) && same(height, o.height) && same(min_width, o.min_width) &&
         same(min_height, o.min_height) && same(max_width, o.max_width) && same(max_height, o.max_height) &&
         same(top, o.top) && same(right, o.right) && same(bottom, o.bottom) && same(left, o.left) &&
         flex_column == o.flex_column && flex_wrap == o.flex_wrap && justify == o.justify &&
         align_items == o.align_items && align_self == o.align_self && has_align_self == o.has_align_self &&
         row_gap == o.row_gap && column_gap == o.column_gap && grow == o.grow && shrink == o.shrink &&
         same(basis, o.basis) && font_family == o.font_family && font_size == o.font_size &&
         font_weight == o.font_weight && italic == o.italic && line_height == o.line_height &&
         line_height_factor == o.line_height_factor && text_align == o.text_align && nowrap == o.nowrap &&
         pre == o.pre && ellipsis == o.ellipsis && uppercase == o.uppercase;
}

float ComputedStyle::PaintOverflow() const {
  if (!shadow.color.visible()) return 0;
  return shadow.blur + std::max(shadow.spread, 0.0f) + std::max(std::fabs(shadow.x), std::fabs(shadow.y)) + 1;
}

float ComputedStyle::UsedLineHeight(float font_height) const {
  if (line_height_factor > 0) return std::round(line_height_factor * font_size);
  if (line_height > 0) return line_height;
  return font_height;
}

namespace {

// One declaration as the property handlers read it.
struct Value {
  const std::string& name;  // the property, lower case
  const std::string& text;  // as written
  const std::string& v;     // lower case
  const ComputedStyle& parent;
};
using Handler = void (*)(ComputedStyle& style, const Value& value);

bool ReadLength(const std::string& text, Length& out) { return ComputedStyle::ParseLength(text, out); }

// A length in pixels (no percentages), against the style's own font size.
bool Pixels(const ComputedStyle& style, const std::string& text, float& out) {
  Length l;
  if (!ComputedStyle::ParseLength(text, l) || l.unit == Length::kPercent) return false;
  out = std::max(0.0f, l.Resolve(0, style.font_size));
  return true;
}

void BorderSide(ComputedStyle& style, const std::string& text, int side) {
  for (const std::string& part : Tokens(text)) {
    const std::string p = Lower(part);
    float w = 0;
    Color c;
    if (p == "none" || p == "hidden") {
      style.border_visible[side] = false;
      style.border_width[side] = 0;
    } else if (p == "solid" || p == "dashed" || p == "dotted" || p == "double") {
      style.border_visible[side] = true;
    } else if (Pixels(style, p, w)) {
      style.border_width[side] = w;
    } else if (ComputedStyle::ParseColor(p, c)) {
      style.border_color[side] = c;
    }
  }
}

template <Length ComputedStyle::*field>
void SetLength(ComputedStyle& style, const Value& value) {
  ReadLength(value.v, style.*field);
}

template <int side>
void SetMargin(ComputedStyle& style, const Value& value) {
  ReadLength(value.v, style.margin[side]);
}

template <int side>
void SetPadding(ComputedStyle& style, const Value& value) {
  ReadLength(value.v, style.padding[side]);
}

template <int side>
void SetBorderSide(ComputedStyle& style, const Value& value) {
  BorderSide(style, value.text, side);
}

float Factor(const std::string& text) { return std::clamp(std::strtof(text.c_str(), nullptr), 0.0f, 1000.0f); }

float FontSize(const Length& l, const ComputedStyle& parent) {
  return std::clamp(l.Resolve(parent.font_size, parent.font_size), 1.0f, 256.0f);
}

void SetDisplay(ComputedStyle& style, const Value& value) {
  using Display = ComputedStyle::Display;
  const std::string& v = value.v;
  if (v == "block" || v == "list-item" || v == "table" || v == "table-row" || v == "table-cell" || v == "grid")
    style.display = Display::kBlock;
  else if (v == "inline")
    style.display = Display::kInline;
  else if (v == "inline-block" || v == "inline-table")
    style.display = Display::kInlineBlock;
  else if (v == "flex")
    style.display = Display::kFlex;
  else if (v == "inline-flex")
    style.display = Display::kInlineFlex;
  else if (v == "none")
    style.display = Display::kNone;
}

void SetPosition(ComputedStyle& style, const Value& value) {
  using Position = ComputedStyle::Position;
  const std::string& v = value.v;
  if (v == "static") style.position = Position::kStatic;
  if (v == "relative" || v == "sticky") style.position = Position::kRelative;
  if (v == "absolute") style.position = Position::kAbsolute;
  if (v == "fixed") style.position = Position::kFixed;
}

void SetOverflow(ComputedStyle& style, const Value& value) {
  using Overflow = ComputedStyle::Overflow;
  const std::string& v = value.v;
  if (v == "visible") style.overflow = Overflow::kVisible;
  if (v == "hidden" || v == "clip") style.overflow = Overflow::kHidden;
  if (v == "auto" || v == "scroll") style.overflow = Overflow::kAuto;
}

void SetBoxSizing(ComputedStyle& style, const Value& value) { style.border_box = value.v == "border-box"; }

void SetInset(ComputedStyle& style, const Value& value) {
  Length sides[4];
  if (Sides(value.v, sides, ReadLength)) {
    style.top = sides[0];
    style.right = sides[1];
    style.bottom = sides[2];
    style.left = sides[3];
  }
}

void SetMargins(ComputedStyle& style, const Value& value) { Sides(value.v, style.margin, ReadLength); }
void SetPaddings(ComputedStyle& style, const Value& value) { Sides(value.v, style.padding, ReadLength); }

void SetBorder(ComputedStyle& style, const Value& value) {
  for (int k = 0; k < 4; ++k) BorderSide(style, value.text, k);
}

void SetBorderWidth(ComputedStyle& style, const Value& value) {
  Sides(value.v, style.border_width, [&](const std::string& t, float& w) { return Pixels(style, t, w); });
}

void SetBorderColor(ComputedStyle& style, const Value& value) {
  Sides(value.v, style.border_color, [](const std::string& t, Color& c) { return ComputedStyle::ParseColor(t, c); });
}

void SetBorderStyle(ComputedStyle& style, const Value& value) {
  const bool on = value.v != "none" && value.v != "hidden";
  for (bool& side : style.border_visible) side = on;
}

void SetRadius(ComputedStyle& style, const Value& value) {
  const std::vector<std::string> parts = Tokens(value.v);
  float r = 0;
  if (!parts.empty() && Pixels(style, parts[0], r)) style.radius = r;
}

void SetBackground(ComputedStyle& style, const Value& value) {
  Color c;
  Gradient g;
  if (ParseGradient(value.text, g)) {
    style.gradient = std::move(g);
  } else if (ComputedStyle::ParseColor(value.v, c)) {
    style.background = c;
    if (value.name != "background-image") style.gradient = Gradient{};
  } else if (value.v == "none") {
    style.gradient = Gradient{};
    if (value.name == "background") style.background = Color{};
  } else {
    // "background: #123 url(x) no-repeat": the colour of the shorthand.
    for (const std::string& part : Tokens(value.text)) {
      if (ParseGradient(part, g)) style.gradient = g;
      if (ComputedStyle::ParseColor(part, c)) style.background = c;
    }
  }
}

void SetShadow(ComputedStyle& style, const Value& value) {
  Shadow s;
  std::vector<float> numbers;
  if (value.v == "none") {
    style.shadow = Shadow{};
    return;
  }
  for (const std::string& part : Tokens(value.text)) {
    if (part == ",") break;
    Color c;
    Length l;
    if (ComputedStyle::ParseColor(part, c)) {
      s.color = c;
    } else if (ComputedStyle::ParseLength(part, l) && l.unit != Length::kPercent) {
      numbers.push_back(l.Resolve(0, style.font_size));
    }
  }
  if (numbers.size() >= 2) {
    s.x = numbers[0];
    s.y = numbers[1];
    s.blur = numbers.size() > 2 ? std::clamp(numbers[2], 0.0f, 100.0f) : 0;
    s.spread = numbers.size() > 3 ? std::clamp(numbers[3], -100.0f, 100.0f) : 0;
    if (!s.color.visible()) s.color = Color{0, 0, 0, 64};
    style.shadow = s;
  }
}

void SetOpacity(ComputedStyle& style, const Value& value) {
  style.opacity = std::clamp(std::strtof(value.v.c_str(), nullptr), 0.0f, 1.0f);
}

void SetZIndex(ComputedStyle& style, const Value& value) { style.z_index = std::atoi(value.v.c_str()); }
void SetVisibility(ComputedStyle& style, const Value& value) {
  style.visible = value.v != "hidden" && value.v != "collapse";
}
void SetCursor(ComputedStyle& style, const Value& value) { style.cursor = value.v; }
void SetFlexDirection(ComputedStyle& style, const Value& value) { style.flex_column = value.v.rfind("column", 0) == 0; }
void SetFlexWrap(ComputedStyle& style, const Value& value) {
  style.flex_wrap = value.v == "wrap" || value.v == "wrap-reverse";
}

void SetFlexFlow(ComputedStyle& style, const Value& value) {
  for (const std::string& part : Tokens(value.v)) {
    if (part.rfind("column", 0) == 0) style.flex_column = true;
    if (part == "row") style.flex_column = false;
    if (part == "wrap") style.flex_wrap = true;
    if (part == "nowrap") style.flex_wrap = false;
  }
}

void SetJustify(ComputedStyle& style, const Value& value) {
  bool ok = false;
  const ComputedStyle::Align a = ParseAlign(value.v, ok);
  if (ok) style.justify = a;
}

void SetAlignItems(ComputedStyle& style, const Value& value) {
  bool ok = false;
  const ComputedStyle::Align a = ParseAlign(value.v, ok);
  if (ok) style.align_items = a;
}

void SetAlignSelf(ComputedStyle& style, const Value& value) {
  bool ok = false;
  const ComputedStyle::Align a = ParseAlign(value.v, ok);
  if (ok && value.v != "auto") {
    style.align_self = a;
    style.has_align_self = true;
  }
}

void SetGap(ComputedStyle& style, const Value& value) {
  const std::vector<std::string> parts = Tokens(value.v);
  float g = 0;
  if (!parts.empty() && Pixels(style, parts[0], g)) style.row_gap = style.column_gap = g;
  if (parts.size() > 1 && Pixels(style, parts[1], g)) style.column_gap = g;
}

void SetRowGap(ComputedStyle& style, const Value& value) { Pixels(style, value.v, style.row_gap); }
void SetColumnGap(ComputedStyle& style, const Value& value) { Pixels(style, value.v, style.column_gap); }

void SetFlex(ComputedStyle& style, const Value& value) {
  const std::string& v = value.v;
  const std::vector<std::string> parts = Tokens(v);
  if (v == "none") {
    style.grow = 0;
    style.shrink = 0;
    style.basis = Length{};
  } else if (v == "auto") {
    style.grow = 1;
    style.shrink = 1;
    style.basis = Length{};
  } else if (!parts.empty()) {
    style.grow = Factor(parts[0]);
    style.shrink = 1;
    style.basis = Length::Px(0);
    if (parts.size() > 1) {
      Length l;
      if (parts.size() == 2 && ComputedStyle::ParseLength(parts[1], l) &&
          parts[1].find_first_not_of("0123456789.") != std::string::npos) {
        style.basis = l;
      } else {
        style.shrink = Factor(parts[1]);
        if (parts.size() > 2) ReadLength(parts[2], style.basis);
      }
    }
  }
}

void SetGrow(ComputedStyle& style, const Value& value) { style.grow = Factor(value.v); }
void SetShrink(ComputedStyle& style, const Value& value) { style.shrink = Factor(value.v); }

void SetColor(ComputedStyle& style, const Value& value) {
  Color c;
  if (ComputedStyle::ParseColor(value.v, c)) style.color = c;
}

void SetFontFamily(ComputedStyle& style, const Value& value) { style.font_family = value.text; }

void SetFontSize(ComputedStyle& style, const Value& value) {
  const std::string& v = value.v;
  Length l;
  if (v == "small") {
    style.font_size = 13;
  } else if (v == "large") {
    style.font_size = 18;
  } else if (v == "smaller") {
    style.font_size = value.parent.font_size * 0.83f;
  } else if (v == "larger") {
    style.font_size = value.parent.font_size * 1.2f;
  } else if (ComputedStyle::ParseLength(v, l) && !l.is_auto()) {
    style.font_size = FontSize(l, value.parent);
  }
}

void SetFontWeight(ComputedStyle& style, const Value& value) {
  const std::string& v = value.v;
  if (v == "bold" || v == "bolder") {
    style.font_weight = 700;
  } else if (v == "normal" || v == "lighter") {
    style.font_weight = 400;
  } else {
    const int w = std::atoi(v.c_str());
    if (w >= 100 && w <= 900) style.font_weight = w;
  }
}

void SetFontStyle(ComputedStyle& style, const Value& value) {
  style.italic = value.v == "italic" || value.v == "oblique";
}

void SetFont(ComputedStyle& style, const Value& value) {
  // "bold 14px Segoe UI": weight, size and family.
  for (const std::string& part : Tokens(value.text)) {
    const std::string p = Lower(part);
    Length l;
    if (p == "bold")
      style.font_weight = 700;
    else if (p == "italic")
      style.italic = true;
    else if (ComputedStyle::ParseLength(p, l) && !l.is_auto())
      style.font_size = FontSize(l, value.parent);
  }
  const std::size_t px = value.v.find("px");
  if (px != std::string::npos && px + 2 < value.text.size()) style.font_family = value.text.substr(px + 2);
}

void SetLineHeight(ComputedStyle& style, const Value& value) {
  const std::string& v = value.v;
  Length l;
  float factor = 0;
  std::string unit;
  if (v == "normal") {
    style.line_height = 0;
    style.line_height_factor = 0;
  } else if (ParseNumber(v, factor, unit) && unit.empty()) {
    style.line_height_factor = std::clamp(factor, 0.0f, 10.0f);
    style.line_height = 0;
  } else if (ComputedStyle::ParseLength(v, l) && !l.is_auto()) {
    style.line_height = std::clamp(l.Resolve(style.font_size, style.font_size), 0.0f, 1000.0f);
    style.line_height_factor = 0;
  }
}

void SetTextAlign(ComputedStyle& style, const Value& value) {
  using TextAlign = ComputedStyle::TextAlign;
  const std::string& v = value.v;
  if (v == "left" || v == "start") style.text_align = TextAlign::kLeft;
  if (v == "center") style.text_align = TextAlign::kCenter;
  if (v == "right" || v == "end") style.text_align = TextAlign::kRight;
}

void SetWhiteSpace(ComputedStyle& style, const Value& value) {
  style.nowrap = value.v == "nowrap" || value.v == "pre";
  style.pre = value.v == "pre" || value.v == "pre-wrap";
}

void SetTextOverflow(ComputedStyle& style, const Value& value) { style.ellipsis = value.v == "ellipsis"; }
void SetUnderline(ComputedStyle& style, const Value& value) {
  style.underline = value.v.find("underline") != std::string::npos;
}
void SetUppercase(ComputedStyle& style, const Value& value) { style.uppercase = value.v == "uppercase"; }

// Every property the engine reads, by name; others are ignored.
const std::unordered_map<std::string, Handler>& Handlers() {
  static const std::unordered_map<std::string, Handler> kHandlers = {
      {"display", SetDisplay},
      {"position", SetPosition},
      {"overflow", SetOverflow},
      {"overflow-y", SetOverflow},
      {"box-sizing", SetBoxSizing},
      {"width", SetLength<&ComputedStyle::width>},
      {"height", SetLength<&ComputedStyle::height>},
      {"min-width", SetLength<&ComputedStyle::min_width>},
      {"min-height", SetLength<&ComputedStyle::min_height>},
      {"max-width", SetLength<&ComputedStyle::max_width>},
      {"max-height", SetLength<&ComputedStyle::max_height>},
      {"top", SetLength<&ComputedStyle::top>},
      {"right", SetLength<&ComputedStyle::right>},
      {"bottom", SetLength<&ComputedStyle::bottom>},
      {"left", SetLength<&ComputedStyle::left>},
      {"inset", SetInset},
      {"margin", SetMargins},
      {"margin-top", SetMargin<0>},
      {"margin-right", SetMargin<1>},
      {"margin-bottom", SetMargin<2>},
      {"margin-left", SetMargin<3>},
      {"padding", SetPaddings},
      {"padding-top", SetPadding<0>},
      {"padding-right", SetPadding<1>},
      {"padding-bottom", SetPadding<2>},
      {"padding-left", SetPadding<3>},
      {"border", SetBorder},
      {"border-top", SetBorderSide<0>},
      {"border-right", SetBorderSide<1>},
      {"border-bottom", SetBorderSide<2>},
      {"border-left", SetBorderSide<3>},
      {"border-width", SetBorderWidth},
      {"border-color", SetBorderColor},
      {"border-style", SetBorderStyle},
      {"border-radius", SetRadius},
      {"background", SetBackground},
      {"background-color", SetBackground},
      {"background-image", SetBackground},
      {"box-shadow", SetShadow},
      {"opacity", SetOpacity},
      {"z-index", SetZIndex},
      {"visibility", SetVisibility},
      {"cursor", SetCursor},
      {"flex-direction", SetFlexDirection},
      {"flex-wrap", SetFlexWrap},
      {"flex-flow", SetFlexFlow},
      {"justify-content", SetJustify},
      {"align-items", SetAlignItems},
      {"align-self", SetAlignSelf},
      {"gap", SetGap},
      {"grid-gap", SetGap},
      {"row-gap", SetRowGap},
      {"column-gap", SetColumnGap},
      {"flex", SetFlex},
      {"flex-grow", SetGrow},
      {"flex-shrink", SetShrink},
      {"flex-basis", SetLength<&ComputedStyle::basis>},
      {"color", SetColor},
      {"font-family", SetFontFamily},
      {"font-size", SetFontSize},
      {"font-weight", SetFontWeight},
      {"font-style", SetFontStyle},
      {"font", SetFont},
      {"line-height", SetLineHeight},
      {"text-align", SetTextAlign},
      {"white-space", SetWhiteSpace},
      {"text-overflow", SetTextOverflow},
      {"text-decoration", SetUnderline},
      {"text-decoration-line", SetUnderline},
      {"text-transform", SetUppercase},
  };
  return kHandlers;
}

}  // namespace

void ComputedStyle::Apply(const Declaration& declaration, const ComputedStyle& parent) {
  const std::string& name = declaration.property;
  const std::string v = Lower(declaration.value);
  if (v == "inherit") {
    // Only the common inherited-by-request properties.
    if (name == "color") color = parent.color;
    if (name == "background-color") background = parent.background;
    if (name == "font-size") font_size = parent.font_size;
    return;
  }
  const auto found = Handlers().find(name);
  if (found != Handlers().end()) found->second(*this, Value{name, declaration.value, v, parent});
}

}  // namespace halyx::engine
