// Paints a laid-out document into a 32-bit top-down DIB: shadows,
// backgrounds (colours and linear gradients), borders with radius, form
// controls, pictures (scaled into the content box), text, the caret and the selection of the focused field.
//
// Shapes are rasterised here, straight into the bitmap's pixels, with
// coverage-based antialiasing and alpha blending, so that every shape obeys
// the same clip rectangles as the text; text goes through GDI with
// antialiased fonts, clipped by a region. Opacity multiplies into an
// element's colours and its descendants' (a text colour with alpha is mixed
// with what lies under the text), not into a separate layer.
//
//   Painter painter(dc, bits, width, height, fonts, &images, 1.5f);
//   painter.Paint(doc, styles, layout, state, false, damage);
//
// Units: boxes, runs and the coordinates of the shape primitives are CSS
// pixels, as layout gives them; the bitmap's size and every Clip are device
// pixels. `scale` (device pixels per CSS pixel, 1 at 96 DPI) maps the one to
// the other, so shapes, borders, radii, shadows and fonts are drawn at the
// display's resolution rather than stretched afterwards.
//
// Thread: GUI thread; borrows the bitmap and inputs for one Paint.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/style/computed_style.h"
#include "engine/platform/decoded_image.h"
#include "engine/layout/font_cache.h"
#include "engine/dom/html_document.h"
#include "engine/layout/layout_engine.h"

namespace halyx::engine {

// What the painter shows of the user's editing: the focused control's caret
// and selection (character offsets into its value).
struct EditState {
  int focus = -1;
  int caret = 0;
  int anchor = 0;
  bool caret_visible = true;
  bool ring = false;  // a focus ring around the focused element (reached from the keyboard)
};

class Painter {
 public:
  struct Clip {
    int left, top, right, bottom;
    bool empty() const { return right <= left || bottom <= top; }
  };

  // `images` (may be null) holds the pictures of the page's img elements.
  Painter(HDC dc, void* bits, int width, int height, FontCache& fonts, const DecodedImages* images = nullptr,
          float scale = 1.0f);
  // Paints what lies inside `damage`; the pixels outside it are kept.
  void Paint(const HtmlDocument& doc, const std::vector<ComputedStyle>& styles, const LayoutResult& layout,
             const EditState& edit, bool transparent, const Clip& damage);

  // Pixel-level primitives, public for the engine's own tests of shapes.
  void FillRoundRect(float left, float top, float right, float bottom, float radius, Color color, const Clip& clip);
  void FillGradient(float left, float top, float right, float bottom, float radius, const Gradient& gradient,
                    float opacity, const Clip& clip);
  // The device pixels that a CSS rectangle touches.
  Clip DeviceClip(float left, float top, float right, float bottom) const;
  // One line of text in the style's font, its top left at (x, y), for what
  // the view draws over the page (a select's drop-down).
  void PaintText(float x, float y, const std::wstring& text, const ComputedStyle& style, Color color, const Clip& clip);

 private:
  void PaintElement(int element, float opacity, const Clip& clip);
  void PaintBorder(int element, const LayoutBox& box, float opacity, const Clip& clip);
  void PaintControl(int element, const LayoutBox& box, float opacity, const Clip& clip);
  void PaintRuns(int node, float opacity, const Clip& clip);
  void PaintImage(int element, const LayoutBox& box, float opacity, const Clip& clip);
  void PaintScrollBar(const LayoutBox& box, const Clip& clip);
  void PaintShadow(const LayoutBox& box, const ComputedStyle& style, float opacity, const Clip& clip);
  void FillRing(float left, float top, float right, float bottom, float radius, const float widths[4], Color color,
                const Clip& clip);
  void StrokeSegment(float x0, float y0, float x1, float y1, float thickness, Color color, const Clip& clip);
  void Blend(int x, int y, Color color, float coverage);
  // Covers pixels [x0, x1) of row y wholly with `color`.
  void FillSpan(int y, int x0, int x1, Color color);
  COLORREF TextColor(Color color, float opacity, int x, int y) const;
  Clip Intersect(const Clip& a, const Clip& b) const;

  HDC dc_;
  std::uint32_t* pixels_;
  int width_, height_;
  FontCache& fonts_;
  const DecodedImages* images_;
  float scale_;
  // Scratch for placing the characters of a run at a scale (no allocation
  // per run).
  std::vector<int> prefixes_;
  std::vector<INT> advances_;
  const HtmlDocument* doc_ = nullptr;
  const std::vector<ComputedStyle>* styles_ = nullptr;
  const LayoutResult* layout_ = nullptr;
  EditState edit_;
  Clip damage_{0, 0, 0, 0};
  Clip gdiClip_{0, 0, 0, 0};  // the clip region selected into the DC (empty: none yet)
};

}  // namespace halyx::engine
