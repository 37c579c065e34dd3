#include "engine/paint/painter.h"

#include <algorithm>
#include <cmath>

#include "base/gdi_selection.h"
#include "base/unique_handle.h"

namespace halyx::engine {
namespace {

using Position = ComputedStyle::Position;

constexpr Color kSelection{0x33, 0x99, 0xff, 110};
constexpr Color kAccent{0x2d, 0x7f, 0xf9, 255};

float Clamp01(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

Color WithOpacity(Color c, float opacity) {
  c.a = static_cast<std::uint8_t>(std::lround(c.a * Clamp01(opacity)));
  return c;
}

// Signed distance from a pixel centre to a rounded rectangle (negative
// inside).
float RoundRectDistance(float px, float py, float left, float top, float right, float bottom, float radius) {
  const float dx = std::max({left + radius - px, 0.0f, px - (right - radius)});
  const float dy = std::max({top + radius - py, 0.0f, py - (bottom - radius)});
  if (radius > 0 && dx > 0 && dy > 0) return std::sqrt(dx * dx + dy * dy) - radius;
  return std::max({left - px, px - right, top - py, py - bottom});
}

}  // namespace

Painter::Painter(HDC dc, void* bits, int width, int height, FontCache& fonts, const DecodedImages* images, float scale)
    : dc_(dc),
      pixels_(static_cast<std::uint32_t*>(bits)),
      width_(width),
      height_(height),
      fonts_(fonts),
      images_(images),
      scale_(scale > 0 ? scale : 1.0f) {}

Painter::Clip Painter::DeviceClip(float left, float top, float right, float bottom) const {
  return Clip{PixelOf(std::floor(left * scale_)), PixelOf(std::floor(top * scale_)), PixelOf(std::ceil(right * scale_)),
              PixelOf(std::ceil(bottom * scale_))};
}

Painter::Clip Painter::Intersect(const Clip& a, const Clip& b) const {
  return Clip{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
              std::min(a.bottom, b.bottom)};
}

void Painter::Blend(int x, int y, Color color, float coverage) {
  const float alpha = coverage * static_cast<float>(color.a) / 255.0f;
  if (!(alpha > 0)) return;
  std::uint32_t& pixel =
      pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
  if (alpha >= 0.999f) {
    pixel =
        0xFF000000u | static_cast<std::uint32_t>(color.r) << 16 | static_cast<std::uint32_t>(color.g) << 8 | color.b;
    return;
  }
  // In 1/256ths: edges are most of what a page's shapes blend, and float
  // rounding per channel was most of their cost.
  const auto over = static_cast<std::uint32_t>(alpha * 256.0f + 0.5f);
  const std::uint32_t keep = 256 - over;
  const auto mix = [&](int shift, std::uint8_t value) {
    return ((((pixel >> shift) & 0xFF) * keep + value * over + 128) >> 8) << shift;
  };
  pixel = 0xFF000000u | mix(16, color.r) | mix(8, color.g) | mix(0, color.b);
}

void Painter::FillSpan(int y, int x0, int x1, Color color) {
  if (x1 <= x0 || color.a == 0) return;
  std::uint32_t* row = pixels_ + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
  const std::uint32_t packed =
      0xFF000000u | static_cast<std::uint32_t>(color.r) << 16 | static_cast<std::uint32_t>(color.g) << 8 | color.b;
  if (color.a == 255) {
    std::fill(row + x0, row + x1, packed);
    return;
  }
  // Integer blending: a large translucent area would otherwise cost three
  // float roundings a pixel.
  const std::uint32_t alpha = (static_cast<std::uint32_t>(color.a) * 256 + 127) / 255;
  const std::uint32_t keep = 256 - alpha;
  const std::uint32_t r = color.r * alpha + 128, g = color.g * alpha + 128, b = color.b * alpha + 128;
  for (int x = x0; x < x1; ++x) {
    const std::uint32_t old = row[x];
    row[x] = 0xFF000000u | ((((old >> 16) & 0xFF) * keep + r) >> 8) << 16 |
             ((((old >> 8) & 0xFF) * keep + g) >> 8) << 8 | (((old & 0xFF) * keep + b) >> 8);
  }
}

namespace {

// The pixels of one row that a rounded rectangle covers wholly: [first,
// last); the rest of the row's pixels need their coverage worked out.
struct Interior {
  int first = 0;
  int last = 0;
};

Interior InteriorOf(int y, int x0, int x1, float left, float top, float right, float bottom, float radius) {
  const float py = static_cast<float>(y) + 0.5f;
  if (!(py - 0.5f >= top && py + 0.5f <= bottom)) return Interior{x0, x0};
  const bool middle_row = py - 0.5f >= top + radius && py + 0.5f <= bottom - radius;
  const float from = middle_row ? left : left + radius;
  const float to = middle_row ? right : right - radius;
  // A pixel lies wholly inside when its square does: x >= from and
  // x + 1 <= to.
  const int first = std::max(x0, static_cast<int>(std::max(std::ceil(from), -1073741824.0f)));
  const int last = std::min(x1, static_cast<int>(std::min(std::floor(to), 1073741824.0f)));
  return last > first ? Interior{first, last} : Interior{x0, x0};
}

}  // namespace

void Painter::FillRoundRect(float left, float top, float right, float bottom, float radius, Color color,
                            const Clip& clip) {
  if (!color.visible() || right <= left || bottom <= top) return;
  left *= scale_, top *= scale_, right *= scale_, bottom *= scale_, radius *= scale_;
  radius = std::min({radius, (right - left) / 2, (bottom - top) / 2});
  const int x0 = std::max(clip.left, PixelOf(std::floor(left)));
  const int x1 = std::min(clip.right, PixelOf(std::ceil(right)));
  const int y0 = std::max(clip.top, PixelOf(std::floor(top)));
  const int y1 = std::min(clip.bottom, PixelOf(std::ceil(bottom)));
  auto edge = [&](int x, int y) {
    const float px = static_cast<float>(x) + 0.5f, py = static_cast<float>(y) + 0.5f;
    Blend(x, y, color, Clamp01(0.5f - RoundRectDistance(px, py, left, top, right, bottom, radius)));
  };
  for (int y = y0; y < y1; ++y) {
    const Interior inside = InteriorOf(y, x0, x1, left, top, right, bottom, radius);
    for (int x = x0; x < inside.first; ++x) edge(x, y);
    FillSpan(y, inside.first, inside.last, color);
    for (int x = std::max(inside.last, x0); x < x1; ++x) edge(x, y);
  }
}

void Painter::FillGradient(float left, float top, float right, float bottom, float radius, const Gradient& gradient,
                           float opacity, const Clip& clip) {
  if (gradient.stops.size() < 2 || right <= left || bottom <= top) return;
  left *= scale_, top *= scale_, right *= scale_, bottom *= scale_, radius *= scale_;
  radius = std::min({radius, (right - left) / 2, (bottom - top) / 2});
  const float angle = gradient.angle * 3.14159265f / 180.0f;
  const float dir_x = std::sin(angle);
  const float dir_y = -std::cos(angle);
  const float w = right - left, h = bottom - top;
  const float length = std::max(1.0f, std::fabs(w * dir_x) + std::fabs(h * dir_y));
  const float cx = (left + right) / 2, cy = (top + bottom) / 2;
  const int x0 = std::max(clip.left, PixelOf(std::floor(left)));
  const int x1 = std::min(clip.right, PixelOf(std::ceil(right)));
  const int y0 = std::max(clip.top, PixelOf(std::floor(top)));
  const int y1 = std::min(clip.bottom, PixelOf(std::ceil(bottom)));
  if (x1 <= x0 || y1 <= y0) return;
  const auto& stops = gradient.stops;
  // The colours along the gradient, finer than a pixel's step, so that a
  // pixel costs a look-up rather than a search and five roundings.
  const std::size_t steps = static_cast<std::size_t>(std::clamp(length * 2, 256.0f, 8192.0f));
  std::vector<Color> colours(steps + 1);
  for (std::size_t i = 0; i <= steps; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(steps);
    std::size_t k = 1;
    while (k + 1 < stops.size() && t > stops[k].second) ++k;
    const float from = stops[k - 1].second, to = stops[k].second;
    const float f = to > from ? Clamp01((t - from) / (to - from)) : (t >= to ? 1.0f : 0.0f);
    const Color& a = stops[k - 1].first;
    const Color& b = stops[k].first;
    auto lerp = [f](std::uint8_t p, std::uint8_t q) {
      return static_cast<std::uint8_t>(std::lround(static_cast<float>(p) + (static_cast<float>(q) - p) * f));
    };
    colours[i] = WithOpacity(Color{lerp(a.r, b.r), lerp(a.g, b.g), lerp(a.b, b.b), lerp(a.a, b.a)}, opacity);
  }
  const float scale = static_cast<float>(steps);
  for (int y = y0; y < y1; ++y) {
    const float py = static_cast<float>(y) + 0.5f;
    const Interior inside = InteriorOf(y, x0, x1, left, top, right, bottom, radius);
    std::uint32_t* row = pixels_ + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    for (int x = x0; x < x1; ++x) {
      const float px = static_cast<float>(x) + 0.5f;
      const float t = Clamp01(((px - cx) * dir_x + (py - cy) * dir_y) / length + 0.5f);
      // t is NaN only for a NaN angle, which clamping lets through.
      const Color& color = colours[t >= 0 ? static_cast<std::size_t>(t * scale + 0.5f) : 0];
      if (x >= inside.first && x < inside.last) {
        if (color.a == 255) {
          row[x] = 0xFF000000u | static_cast<std::uint32_t>(color.r) << 16 | static_cast<std::uint32_t>(color.g) << 8 |
                   color.b;
        } else {
          FillSpan(y, x, x + 1, color);
        }
        continue;
      }
      Blend(x, y, color, Clamp01(0.5f - RoundRectDistance(px, py, left, top, right, bottom, radius)));
    }
  }
}

void Painter::FillRing(float left, float top, float right, float bottom, float radius, const float css_widths[4],
                       Color color, const Clip& clip) {
  if (!color.visible()) return;
  left *= scale_, top *= scale_, right *= scale_, bottom *= scale_, radius *= scale_;
  const float widths[4] = {css_widths[0] * scale_, css_widths[1] * scale_, css_widths[2] * scale_,
                           css_widths[3] * scale_};
  radius = std::min({radius, (right - left) / 2, (bottom - top) / 2});
  const float il = left + widths[3], it = top + widths[0], ir = right - widths[1], ib = bottom - widths[2];
  const float inner_radius = std::max(0.0f, radius - std::max({widths[0], widths[1], widths[2], widths[3]}));
  const int x0 = std::max(clip.left, PixelOf(std::floor(left)));
  const int x1 = std::min(clip.right, PixelOf(std::ceil(right)));
  const int y0 = std::max(clip.top, PixelOf(std::floor(top)));
  const int y1 = std::min(clip.bottom, PixelOf(std::ceil(bottom)));
  const bool hollow = ir > il && ib > it;
  auto edge = [&](int x, int y) {
    const float px = static_cast<float>(x) + 0.5f, py = static_cast<float>(y) + 0.5f;
    const float outer = Clamp01(0.5f - RoundRectDistance(px, py, left, top, right, bottom, radius));
    const float inner = hollow ? Clamp01(0.5f - RoundRectDistance(px, py, il, it, ir, ib, inner_radius)) : 0;
    Blend(x, y, color, std::max(0.0f, outer - inner));
  };
  for (int y = y0; y < y1; ++y) {
    const float py = static_cast<float>(y) + 0.5f;
    // A row clear of the inner edge is the outer shape's; one through the
    // hole skips the pixels wholly inside it.
    if (!hollow || py - 0.5f >= ib + 0.5f || py + 0.5f <= it - 0.5f) {
      const Interior band = InteriorOf(y, x0, x1, left, top, right, bottom, radius);
      for (int x = x0; x < band.first; ++x) edge(x, y);
      FillSpan(y, band.first, band.last, color);
      for (int x = std::max(band.last, x0); x < x1; ++x) edge(x, y);
      continue;
    }
    const Interior hole = InteriorOf(y, x0, x1, il, it, ir, ib, inner_radius);
    for (int x = x0; x < hole.first; ++x) edge(x, y);
    for (int x = std::max(hole.last, x0); x < x1; ++x) edge(x, y);
  }
}

void Painter::StrokeSegment(float x0, float y0, float x1, float y1, float thickness, Color color, const Clip& clip) {
  x0 *= scale_, y0 *= scale_, x1 *= scale_, y1 *= scale_, thickness *= scale_;
  const float half = thickness / 2;
  const int left = std::max(clip.left, PixelOf(std::floor(std::min(x0, x1) - half - 1)));
  const int right = std::min(clip.right, PixelOf(std::ceil(std::max(x0, x1) + half + 1)));
  const int top = std::max(clip.top, PixelOf(std::floor(std::min(y0, y1) - half - 1)));
  const int bottom = std::min(clip.bottom, PixelOf(std::ceil(std::max(y0, y1) + half + 1)));
  const float vx = x1 - x0, vy = y1 - y0;
  const float length2 = std::max(vx * vx + vy * vy, 1e-6f);
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      const float px = static_cast<float>(x) + 0.5f - x0, py = static_cast<float>(y) + 0.5f - y0;
      const float t = Clamp01((px * vx + py * vy) / length2);
      const float dx = px - t * vx, dy = py - t * vy;
      Blend(x, y, color, Clamp01(half + 0.5f - std::sqrt(dx * dx + dy * dy)));
    }
  }
}

COLORREF Painter::TextColor(Color color, float opacity, int x, int y) const {
  const float alpha = Clamp01(static_cast<float>(color.a) / 255.0f * opacity);
  if (alpha >= 0.999f || x < 0 || y < 0 || x >= width_ || y >= height_) return RGB(color.r, color.g, color.b);
  // GDI draws text opaque: mix the colour with what lies under the text.
  const std::uint32_t under =
      pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
  auto mix = [alpha](std::uint8_t value, std::uint32_t back) {
    return static_cast<BYTE>(
        std::lround(static_cast<float>(value) * alpha + static_cast<float>(back & 0xFF) * (1 - alpha)));
  };
  return RGB(mix(color.r, under >> 16), mix(color.g, under >> 8), mix(color.b, under));
}

void Painter::Paint(const HtmlDocument& doc, const std::vector<ComputedStyle>& styles, const LayoutResult& layout,
                    const EditState& edit, bool transparent, const Clip& damage) {
  doc_ = &doc;
  styles_ = &styles;
  layout_ = &layout;
  edit_ = edit;
  ::GdiFlush();
  // The page's canvas: the root element's background, else the body's, else
  // white, as browsers propagate it to the whole view.
  Color canvas{255, 255, 255, 255};
  int root_element = -1;
  for (int child : doc.node(0).children) {
    if (doc.IsElement(child)) root_element = child;
  }
  for (int candidate : {root_element, doc.Body()}) {
    if (candidate > 0 && styles[static_cast<std::size_t>(candidate)].background.a == 255) {
      canvas = styles[static_cast<std::size_t>(candidate)].background;
      break;
    }
  }
  const std::uint32_t fill = transparent ? 0u
                                         : (0xFF000000u | static_cast<std::uint32_t>(canvas.r) << 16 |
                                            static_cast<std::uint32_t>(canvas.g) << 8 | canvas.b);
  const Clip all = Intersect(damage, Clip{0, 0, width_, height_});
  damage_ = all;
  if (all.empty()) return;
  for (int y = all.top; y < all.bottom; ++y) {
    std::uint32_t* row = pixels_ + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    std::fill(row + all.left, row + all.right, fill);
  }
  ::SetBkMode(dc_, TRANSPARENT);
  ::SetTextAlign(dc_, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  for (int child : doc.node(0).children) {
    if (doc.IsElement(child)) {
      PaintElement(child, 1, all);
    } else {
      PaintRuns(child, 1, all);
    }
  }
  PaintScrollBar(layout.Box(0), all);
  ::SelectClipRgn(dc_, nullptr);
  gdiClip_ = Clip{0, 0, 0, 0};
  ::GdiFlush();
}

void Painter::PaintScrollBar(const LayoutBox& box, const Clip& clip) {
  if (box.content_height <= box.client_height + 0.5f || box.client_height < 16) return;
  // A thin rounded thumb at the right edge, its length and place telling
  // how much of the content shows and where.
  const float track = box.client_height;
  const float thumb = std::max(20.0f, track * track / box.content_height);
  const float range = box.content_height - box.client_height;
  const float top = box.y + (track - thumb) * (range > 0 ? box.scroll_top / range : 0);
  const float right = box.x + box.w - 2;
  FillRoundRect(right - 6, top + 2, right, top + thumb - 2, 3, Color{0x80, 0x80, 0x80, 150}, clip);
}

void Painter::PaintShadow(const LayoutBox& box, const ComputedStyle& s, float opacity, const Clip& clip) {
  const Shadow& shadow = s.shadow;
  if (!shadow.color.visible()) return;
  const float left = (box.x + shadow.x - shadow.spread) * scale_, top = (box.y + shadow.y - shadow.spread) * scale_;
  const float right = (box.x + box.w + shadow.x + shadow.spread) * scale_;
  const float bottom = (box.y + box.h + shadow.y + shadow.spread) * scale_;
  const float blur = std::max(shadow.blur * scale_, 0.5f);
  const Color color = WithOpacity(shadow.color, opacity);
  const float radius = std::min({(s.radius + shadow.spread) * scale_, (right - left) / 2, (bottom - top) / 2});
  const int x0 = std::max(clip.left, PixelOf(std::floor(left - blur)));
  const int x1 = std::min(clip.right, PixelOf(std::ceil(right + blur)));
  const int y0 = std::max(clip.top, PixelOf(std::floor(top - blur)));
  const int y1 = std::min(clip.bottom, PixelOf(std::ceil(bottom + blur)));
  // Pixels at least half the blur inside the edge are wholly covered.
  const float inset = blur / 2;
  for (int y = y0; y < y1; ++y) {
    const Interior inside =
        InteriorOf(y, x0, x1, left + inset, top + inset, right - inset, bottom - inset, std::max(radius - inset, 0.0f));
    FillSpan(y, inside.first, inside.last, color);
    for (int x = x0; x < x1; ++x) {
      if (x == inside.first && inside.last > inside.first) {
        x = inside.last - 1;
        continue;
      }
      const float d = RoundRectDistance(static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f, left, top, right,
                                        bottom, std::max(radius, 0.0f));
      // A smooth fall-off across the blur distance, centred on the edge.
      const float t = Clamp01((d + blur / 2) / blur);
      Blend(x, y, color, 1 - t * t * (3 - 2 * t));
    }
  }
}

void Painter::PaintBorder(int element, const LayoutBox& box, float opacity, const Clip& clip) {
  const ComputedStyle& s = (*styles_)[static_cast<std::size_t>(element)];
  float widths[4];
  int first = -1;
  bool uniform = true;
  for (int k = 0; k < 4; ++k) {
    widths[k] = s.border_visible[k] ? s.border_width[k] : 0;
    if (widths[k] > 0 && first < 0) first = k;
  }
  if (first < 0) return;
  for (int k = 0; k < 4; ++k) {
    if (widths[k] > 0 && !(s.border_color[k] == s.border_color[first])) uniform = false;
  }
  const float right = box.x + box.w, bottom = box.y + box.h;
  if (uniform || s.radius > 0) {
    FillRing(box.x, box.y, right, bottom, s.radius, widths, WithOpacity(s.border_color[first], opacity), clip);
    return;
  }
  FillRoundRect(box.x, box.y, right, box.y + widths[0], 0, WithOpacity(s.border_color[0], opacity), clip);
  FillRoundRect(box.x, bottom - widths[2], right, bottom, 0, WithOpacity(s.border_color[2], opacity), clip);
  FillRoundRect(box.x, box.y + widths[0], box.x + widths[3], bottom - widths[2], 0,
                WithOpacity(s.border_color[3], opacity), clip);
  FillRoundRect(right - widths[1], box.y + widths[0], right, bottom - widths[2], 0,
                WithOpacity(s.border_color[1], opacity), clip);
}

void Painter::PaintControl(int element, const LayoutBox& box, float opacity, const Clip& clip) {
  const std::string& tag = doc_->node(element).tag;
  if (tag == "select") {
    // The drop-down arrow at the right edge says the box opens.
    const ComputedStyle& s = (*styles_)[static_cast<std::size_t>(element)];
    const Color ink = WithOpacity(s.color, opacity);
    const float cx = box.x + box.w - 10, cy = box.y + box.h / 2;
    StrokeSegment(cx - 3.5f, cy - 1.5f, cx, cy + 2, 1.4f, ink, clip);
    StrokeSegment(cx, cy + 2, cx + 3.5f, cy - 1.5f, 1.4f, ink, clip);
    return;
  }
  if (tag != "input") return;
  const std::string type = doc_->Attribute(element, "type");
  if ((type == "checkbox" || type == "radio") && doc_->HasAttribute(element, "checked")) {
    const ComputedStyle& s = (*styles_)[static_cast<std::size_t>(element)];
    const Color accent = WithOpacity(kAccent, opacity);
    FillRoundRect(box.x, box.y, box.x + box.w, box.y + box.h, s.radius, accent, clip);
    const Color white = WithOpacity(Color{255, 255, 255, 255}, opacity);
    if (type == "radio") {
      const float r = box.w / 4;
      const float cx = box.x + box.w / 2, cy = box.y + box.h / 2;
      FillRoundRect(cx - r, cy - r, cx + r, cy + r, r, white, clip);
    } else {
      const float w = box.w, h = box.h;
      StrokeSegment(box.x + w * 0.22f, box.y + h * 0.52f, box.x + w * 0.42f, box.y + h * 0.72f, 1.8f, white, clip);
      StrokeSegment(box.x + w * 0.42f, box.y + h * 0.72f, box.x + w * 0.78f, box.y + h * 0.3f, 1.8f, white, clip);
    }
  }
}

void Painter::PaintRuns(int node, float opacity, const Clip& clip) {
  const LayoutResult& layout = *layout_;
  const int count = layout.RunCount(node);
  if (count == 0 || clip.empty()) return;
  const float scale = scale_;
  auto outside = [&clip, scale](const TextRun& run) {
    return run.y * scale > static_cast<float>(clip.bottom) || (run.y + run.h) * scale < static_cast<float>(clip.top) ||
           run.x * scale > static_cast<float>(clip.right) || (run.x + run.w) * scale < static_cast<float>(clip.left);
  };
  const auto first = layout.runs.begin() + layout.FirstRun(node);
  // Most runs of a partial repaint lie outside it; GDI calls are what a
  // repaint costs, so none is made for them.
  if (std::all_of(first, first + count, outside)) return;
  if (clip.left != gdiClip_.left || clip.top != gdiClip_.top || clip.right != gdiClip_.right ||
      clip.bottom != gdiClip_.bottom) {
    RegionHandle region(::CreateRectRgn(clip.left, clip.top, clip.right, clip.bottom));
    ::SelectClipRgn(dc_, region.get());
    gdiClip_ = clip;
  }
  for (int k = 0; k < count; ++k) {
    const TextRun& run = layout.runs[static_cast<std::size_t>(layout.FirstRun(node) + k)];
    if (outside(run)) continue;
    const ComputedStyle& s = (*styles_)[static_cast<std::size_t>(run.element)];
    if (!s.visible) continue;
    FontCache::Font& font = fonts_.Get(s, scale_);
    GdiSelection selected(dc_, font.handle.get());
    Color color = s.color;
    if (run.placeholder) color = Color{0x80, 0x80, 0x80, 255};
    const int x = PixelOf(std::round(run.x * scale_));
    const int y = PixelOf(std::round(run.y * scale_));
    ::SetTextColor(dc_, TextColor(color, opacity, x, y + run.ascent / 2));
    const INT* advances = nullptr;
    if (scale_ != 1.0f && !run.text.empty()) {
      // The scaled font's glyphs are hinted at the device size, so their
      // own advances drift from the widths layout measured at the CSS size;
      // each character is placed where the measured width puts it instead,
      // so that the text fills its box at every scale as it does at 100 %.
      fonts_.PrefixWidths(fonts_.Get(s), run.text, prefixes_);
      advances_.resize(run.text.size());
      int previous = 0;
      for (std::size_t k = 0; k < run.text.size(); ++k) {
        const int end = PixelOf(std::round((run.x + static_cast<float>(prefixes_[k])) * scale_)) - x;
        advances_[k] = end - previous;
        previous = end;
      }
      advances = advances_.data();
    }
    ::ExtTextOutW(dc_, x, y, 0, nullptr, run.text.c_str(), static_cast<UINT>(run.text.size()), advances);
    if (s.underline) {
      FillRoundRect(run.x, run.y + static_cast<float>(run.ascent) + 1, run.x + run.w,
                    run.y + static_cast<float>(run.ascent) + 2, 0, WithOpacity(color, opacity), clip);
    }
  }
}

void Painter::PaintText(float x, float y, const std::wstring& text, const ComputedStyle& style, Color color,
                        const Clip& clip) {
  const Clip area = Intersect(clip, Clip{0, 0, width_, height_});
  if (area.empty() || text.empty()) return;
  ::GdiFlush();
  RegionHandle region(::CreateRectRgn(area.left, area.top, area.right, area.bottom));
  ::SelectClipRgn(dc_, region.get());
  ::SetBkMode(dc_, TRANSPARENT);
  ::SetTextAlign(dc_, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  FontCache::Font& font = fonts_.Get(style, scale_);
  GdiSelection selected(dc_, font.handle.get());
  ::SetTextColor(dc_, RGB(color.r, color.g, color.b));
  ::ExtTextOutW(dc_, PixelOf(std::round(x * scale_)), PixelOf(std::round(y * scale_)), 0, nullptr, text.c_str(),
                static_cast<UINT>(text.size()), nullptr);
  ::SelectClipRgn(dc_, nullptr);
  gdiClip_ = Clip{0, 0, 0, 0};
  ::GdiFlush();
}

void Painter::PaintImage(int element, const LayoutBox& box, float opacity, const Clip& clip) {
  if (images_ == nullptr || doc_->node(element).tag != "img") return;
  const auto found = images_->find(doc_->Attribute(element, "src"));
  if (found == images_->end()) return;
  const DecodedImage& image = found->second;
  const ComputedStyle& s = (*styles_)[static_cast<std::size_t>(element)];
  float inset[4];
  for (int k = 0; k < 4; ++k) {
    inset[k] = (s.border_visible[k] ? s.border_width[k] : 0) + std::max(0.0f, s.padding[k].Resolve(0, s.font_size));
  }
  if (box.w - inset[1] - inset[3] <= 0 || box.h - inset[0] - inset[2] <= 0) return;
  const float left = (box.x + inset[3]) * scale_, top = (box.y + inset[0]) * scale_;
  const float w = (box.w - inset[1] - inset[3]) * scale_, h = (box.h - inset[0] - inset[2]) * scale_;
  const Clip area = Intersect(clip, Clip{PixelOf(std::floor(left)), PixelOf(std::floor(top)),
                                         PixelOf(std::ceil(left + w)), PixelOf(std::ceil(top + h))});
  const Clip bounds = Intersect(area, Clip{0, 0, width_, height_});
  const float alpha = Clamp01(opacity);
  const float to_x = static_cast<float>(image.width()) / w, to_y = static_cast<float>(image.height()) / h;
  // At 96 DPI the nearest sample at each pixel centre, as pages expect of a
  // picture at its own size; on a scaled display the four nearest, weighted,
  // so that a picture made for 96 DPI is enlarged smoothly rather than in
  // blocks. The source is premultiplied, so opacity scales all four
  // channels alike.
  const bool smooth = scale_ != 1.0f;
  auto sample = [&](int x, int y) -> std::uint32_t {
    const float fx = (static_cast<float>(x) + 0.5f - left) * to_x, fy = (static_cast<float>(y) + 0.5f - top) * to_y;
    if (!smooth) {
      return image.Pixel(std::clamp(static_cast<int>(fx), 0, image.width() - 1),
                         std::clamp(static_cast<int>(fy), 0, image.height() - 1));
    }
    const float gx = std::clamp(fx - 0.5f, 0.0f, static_cast<float>(image.width() - 1));
    const float gy = std::clamp(fy - 0.5f, 0.0f, static_cast<float>(image.height() - 1));
    const int x0 = static_cast<int>(gx), y0 = static_cast<int>(gy);
    const int x1 = std::min(x0 + 1, image.width() - 1), y1 = std::min(y0 + 1, image.height() - 1);
    const float tx = gx - static_cast<float>(x0), ty = gy - static_cast<float>(y0);
    const std::uint32_t p00 = image.Pixel(x0, y0), p10 = image.Pixel(x1, y0);
    const std::uint32_t p01 = image.Pixel(x0, y1), p11 = image.Pixel(x1, y1);
    std::uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
      auto channel = [shift](std::uint32_t p) { return static_cast<float>((p >> shift) & 0xFF); };
      const float top_mix = channel(p00) + (channel(p10) - channel(p00)) * tx;
      const float bottom_mix = channel(p01) + (channel(p11) - channel(p01)) * tx;
      const long value = std::lround(top_mix + (bottom_mix - top_mix) * ty);
      out |= static_cast<std::uint32_t>(std::clamp(value, 0L, 255L)) << shift;
    }
    return out;
  };
  for (int y = bounds.top; y < bounds.bottom; ++y) {
    std::uint32_t* row = pixels_ + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    for (int x = bounds.left; x < bounds.right; ++x) {
      const std::uint32_t source = sample(x, y);
      const float a = static_cast<float>(source >> 24) / 255.0f * alpha;
      if (a <= 0) continue;
      std::uint32_t& pixel = row[x];
      const auto mix = [&](int shift) {
        const float under = static_cast<float>((pixel >> shift) & 0xFF);
        const float over = static_cast<float>((source >> shift) & 0xFF) * alpha;
        return static_cast<std::uint32_t>(std::clamp(std::lround(over + under * (1 - a)), 0L, 255L)) << shift;
      };
      pixel = 0xFF000000u | mix(16) | mix(8) | mix(0);
    }
  }
}

void Painter::PaintElement(int element, float opacity, const Clip& clip) {
  const auto index = static_cast<std::size_t>(element);
  const ComputedStyle& s = (*styles_)[index];
  const LayoutBox& box = layout_->Box(element);
  if (s.display == ComputedStyle::Display::kNone || !box.laid) return;
  opacity *= s.opacity;
  if (opacity <= 0.001f) return;
  const float right = box.x + box.w, bottom = box.y + box.h;
  const float sx = scale_;
  const bool on_screen = !(right * sx < static_cast<float>(clip.left) || box.x * sx > static_cast<float>(clip.right) ||
                           bottom * sx < static_cast<float>(clip.top) || box.y * sx > static_cast<float>(clip.bottom));
  if (s.visible && on_screen) {
    PaintShadow(box, s, opacity, clip);
    FillRoundRect(box.x, box.y, right, bottom, s.radius, WithOpacity(s.background, opacity), clip);
    FillGradient(box.x, box.y, right, bottom, s.radius, s.gradient, opacity, clip);
    PaintBorder(element, box, opacity, clip);
    PaintControl(element, box, opacity, clip);
    PaintImage(element, box, opacity, clip);
  }
  Clip inner = clip;
  if (s.overflow != ComputedStyle::Overflow::kVisible || doc_->node(element).tag == "input" ||
      doc_->node(element).tag == "textarea") {
    const float bl = s.border_visible[3] ? s.border_width[3] : 0, bt = s.border_visible[0] ? s.border_width[0] : 0;
    const float br = s.border_visible[1] ? s.border_width[1] : 0, bb = s.border_visible[2] ? s.border_width[2] : 0;
    inner = Intersect(clip, DeviceClip(box.x + bl, box.y + bt, right - br, bottom - bb));
  }
  // A focused field's selection lies under its text, its caret over it.
  const bool editing = edit_.focus == element && layout_->RunCount(element) > 0;
  if (editing && edit_.anchor != edit_.caret) {
    FontCache::Font& font = fonts_.Get(s);
    for (int k = 0; k < layout_->RunCount(element); ++k) {
      const TextRun& run = layout_->runs[static_cast<std::size_t>(layout_->FirstRun(element) + k)];
      if (run.placeholder) break;
      const int size = static_cast<int>(run.text.size());
      const int from = std::clamp(std::min(edit_.anchor, edit_.caret) - run.offset, 0, size);
      const int to = std::clamp(std::max(edit_.anchor, edit_.caret) - run.offset, 0, size);
      // A selection that runs on past the line's end shows a little of it.
      const bool past_end = std::max(edit_.anchor, edit_.caret) > run.offset + size &&
                            std::min(edit_.anchor, edit_.caret) <= run.offset + size;
      if (to <= from && !past_end) continue;
      const float x0 =
          run.x + static_cast<float>(fonts_.Measure(font, run.text.substr(0, static_cast<std::size_t>(from))));
      const float x1 = run.x +
                       static_cast<float>(fonts_.Measure(font, run.text.substr(0, static_cast<std::size_t>(to)))) +
                       (past_end ? 4.0f : 0.0f);
      FillRoundRect(x0, run.y, x1, run.y + run.h, 0, kSelection, inner);
    }
  }
  PaintRuns(element, opacity, inner);
  if (editing && edit_.caret_visible) {
    const TextRun& run = layout_->runs[static_cast<std::size_t>(LayoutEngine::RunAt(*layout_, element, edit_.caret))];
    FontCache::Font& font = fonts_.Get(s);
    const int caret = run.placeholder ? 0 : std::clamp(edit_.caret - run.offset, 0, static_cast<int>(run.text.size()));
    // On whole device pixels, one CSS pixel wide (at least one device pixel),
    // so that it stays sharp at any scale.
    const float cx = std::round(
        (run.x + static_cast<float>(fonts_.Measure(font, run.text.substr(0, static_cast<std::size_t>(caret))))) * sx);
    const float width = std::max(1.0f, std::round(sx));
    FillRoundRect(cx / sx, run.y, (cx + width) / sx, run.y + run.h, 0, WithOpacity(s.color, opacity), inner);
  }
  if (inner.empty()) return;
  // Normal flow first, then positioned descendants by z-index, so that
  // badges and pop-ups lie over their siblings.
  std::vector<int> positioned;
  for (int child : doc_->node(element).children) {
    if (doc_->IsText(child)) {
      PaintRuns(child, opacity, inner);
      continue;
    }
    if (!doc_->IsElement(child)) continue;
    if ((*styles_)[static_cast<std::size_t>(child)].position != Position::kStatic) {
      positioned.push_back(child);
      continue;
    }
    PaintElement(child, opacity, inner);
  }
  std::stable_sort(positioned.begin(), positioned.end(), [this](int a, int b) {
    return (*styles_)[static_cast<std::size_t>(a)].z_index < (*styles_)[static_cast<std::size_t>(b)].z_index;
  });
  for (int child : positioned) {
    const bool fixed = (*styles_)[static_cast<std::size_t>(child)].position == Position::kFixed;
    PaintElement(child, opacity, fixed ? damage_ : inner);
  }
  if (s.overflow == ComputedStyle::Overflow::kAuto) PaintScrollBar(box, inner);
  if (edit_.ring && edit_.focus == element && s.visible) {
    // Over the element and its content, just outside its border.
    const float widths[4] = {2, 2, 2, 2};
    FillRing(box.x - 3, box.y - 3, right + 3, bottom + 3, s.radius > 0 ? s.radius + 3 : 2, widths,
             WithOpacity(kAccent, opacity), clip);
  }
}

}  // namespace halyx::engine
