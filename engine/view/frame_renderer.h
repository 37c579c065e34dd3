// Turns the page into pixels for a frame: styles again what changed (all
// of it, the noted subtrees, or the elements whose state changed), lays out
// when a change reaches layout, and paints into the view's bitmap only the
// area whose painting differs from the last frame's.
//
// Thread: GUI thread; a part of its WebView, which owns it and whose state it
// works on (it is a friend of the view).
#pragma once

#include <string>

#include "engine/paint/painter.h"
#include "engine/style/computed_style.h"

namespace halyx::engine {

class WebView;

class FrameRenderer {
 public:
  explicit FrameRenderer(WebView& view) : view_(view) {}
  FrameRenderer(const FrameRenderer&) = delete;
  FrameRenderer& operator=(const FrameRenderer&) = delete;

  void Render();
  // Styles and lays out what changed since the last time: the subtrees of
  // changed elements and of those whose hover, press or focus changed, and
  // the layout only when a change reaches it.
  void UpdateLayout();
  // Notes what to style again when a pseudo-class moves from `old` to `now`
  // (-1: none): the elements whose state changed, alone, when only subjects
  // test it; else their subtrees (for :hover and :active, which hold for
  // ancestors too, everything below where the two chains meet).
  void RestyleForState(int old, int now, std::uint8_t pseudo);
  // Notes an element to style again with its subtree, or `alone`.
  void Restyle(int element, bool alone = false);
  // The area whose painting differs from the last paint's: boxes, runs or
  // paint-relevant styles that changed, and the edited field.
  Painter::Clip Damage() const;
  // The element's computed style; the initial style for an index the styles
  // have no entry for.
  const ComputedStyle& StyleOf(int element) const;

 private:
  WebView& view_;
};

}  // namespace halyx::engine
