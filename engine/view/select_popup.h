// The drop-down list of an open <select>: which options it lists, which one
// is highlighted, where it lies in the view, and its painting over the page.
//
// It holds a snapshot of the options taken when it opened (their elements,
// texts and disabled flags); the view closes it when the page changes under
// it in ways that would make that stale (load, resize, scroll, removal of
// the select). At most kVisibleItems rows show at once; the highlight keeps
// itself in view, and the wheel scrolls the rows.
//
//   SelectPopup popup;
//   popup.Open(doc, select, box, font_height, view_width, view_height);
//   popup.Move(+1);                    // arrow down
//   int option = popup.Highlighted();  // the option element, or -1
//
// Thread: GUI thread; owned by its view.
#pragma once

#include <string>
#include <vector>

#include "engine/style/computed_style.h"
#include "engine/dom/html_document.h"
#include "engine/layout/layout_engine.h"
#include "engine/paint/painter.h"

namespace halyx::engine {

class SelectPopup {
 public:
  static constexpr int kVisibleItems = 10;

  bool open() const { return select_ >= 0; }
  // The select it belongs to, or -1 when closed.
  int select() const { return select_; }
  // The option elements it lists (empty when closed).
  const std::vector<int>& options() const { return options_; }
  // Lists the select's options under its border box `box` (above it when
  // there is no room below), highlighting the chosen one.
  void Open(const HtmlDocument& doc, int select, const LayoutBox& box, int font_height, int view_width,
            int view_height);
  void Close() { *this = SelectPopup(); }

  // The highlighted option element, or -1.
  int Highlighted() const;
  // Moves the highlight by `delta` enabled options (clamped at the ends);
  // `to_end` goes to the first (delta < 0) or last one.
  void Move(int delta, bool to_end = false);
  // Highlights the row under the point, if enabled; false outside the rows.
  bool HighlightAt(int x, int y);
  // The option element under the point when it may be chosen, else -1.
  int OptionAt(int x, int y) const;
  void Scroll(int rows);
  bool Contains(int x, int y) const;

  // The area it covers in the view (empty when closed).
  Painter::Clip Bounds() const;
  // What its painting depends on, to repaint it only when it changed.
  bool LooksLike(const SelectPopup& other) const;
  // Paints it over the page, in the select's font and colours, within `clip`.
  void Paint(Painter& painter, const ComputedStyle& style, const Painter::Clip& clip) const;

 private:
  int RowAt(int x, int y) const;
  void KeepInView();

  int select_ = -1;
  std::vector<int> options_;
  std::vector<std::wstring> texts_;
  std::vector<bool> disabled_;
  int highlight_ = -1;  // index into options_
  int first_ = 0;       // first row shown
  int left_ = 0, top_ = 0, width_ = 0, rowHeight_ = 0;
};

}  // namespace halyx::engine
