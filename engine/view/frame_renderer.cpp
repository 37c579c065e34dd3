#include "engine/view/frame_renderer.h"

#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "engine/style/css_parser.h"
#include "engine/view/engine_host.h"
#include "engine/net/save_target.h"
#include "base/gdi_selection.h"
#include "base/utf8.h"

namespace halyx::engine {

void FrameRenderer::UpdateLayout() {
  const HtmlDocument::Changes& changes = view_.document_.changes();
  if (view_.styleDirty_ || changes.everything ||
      (view_.styledVersion_ != view_.document_.version() && changes.empty())) {
    view_.styles_.Resolve(view_.document_, view_.interaction_, view_.computed_);
    view_.styleDirty_ = false;
    view_.layoutDirty_ = true;
    view_.compareAll_ = true;
  } else if (!changes.empty() || !view_.restyleRoots_.empty() || !view_.restyleAlone_.empty()) {
    std::vector<int> roots = view_.restyleRoots_;
    roots.insert(roots.end(), changes.elements.begin(), changes.elements.end());
    // Inserting or removing a child can make another the first or last.
    if (view_.styles_.Uses(kPseudoFirstChild | kPseudoLastChild)) {
      for (int parent : changes.parents) {
        for (int child : view_.document_.node(parent).children) {
          if (view_.document_.IsElement(child)) roots.push_back(child);
        }
      }
    }
    if (changes.layout) view_.layoutDirty_ = true;
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    std::vector<int> changed;
    for (int root : roots) {
      // A root inside another is styled with it.
      bool nested = false;
      for (int at = view_.document_.IsNode(root) ? view_.document_.node(root).parent : -1; at > 0 && !nested;
           at = view_.document_.node(at).parent) {
        nested = std::binary_search(roots.begin(), roots.end(), at);
      }
      if (nested) continue;
      if (view_.styles_.ResolveSubtree(view_.document_, view_.interaction_, root, view_.computed_, changed))
        view_.layoutDirty_ = true;
    }
    // Elements whose own state changed, parents first so that one styled
    // with its subtree covers those below it.
    std::vector<std::pair<std::size_t, int>> alone;
    for (int element : view_.restyleAlone_) {
      if (view_.document_.IsElement(element)) alone.emplace_back(view_.document_.Depth(element), element);
    }
    std::sort(alone.begin(), alone.end());
    for (const auto& [depth, element] : alone) {
      bool covered = false;
      for (int at = element; at > 0 && !covered; at = view_.document_.node(at).parent) {
        covered = std::binary_search(roots.begin(), roots.end(), at);
      }
      if (covered) continue;
      bool relayout = false;
      if (view_.styles_.ResolveAlone(view_.document_, view_.interaction_, element, view_.computed_, changed,
                                     relayout)) {
        roots.insert(std::upper_bound(roots.begin(), roots.end(), element), element);
      }
      if (relayout) view_.layoutDirty_ = true;
    }
    // An attribute the painter reads (checked, src) may change the picture
    // without changing a style.
    view_.repaint_.insert(view_.repaint_.end(), changed.begin(), changed.end());
    view_.repaint_.insert(view_.repaint_.end(), changes.elements.begin(), changes.elements.end());
  }
  view_.styledVersion_ = view_.document_.version();
  view_.restyleRoots_.clear();
  view_.restyleAlone_.clear();
  view_.document_.ClearChanges();
  // Nodes created since the last style pass have the default style until
  // they are inserted.
  if (view_.computed_.size() < view_.document_.size()) view_.computed_.resize(view_.document_.size());
  // Nor have they a box: a script may read one's scroll metrics, or focus
  // one, before anything lays it out.
  if (!view_.layoutDirty_) {
    view_.layout_.Fit(view_.document_.size());
    return;
  }
  LayoutEngine layout(view_.document_, view_.computed_, view_.fonts_, view_.scrolls_, &view_.images_);
  view_.layout_ = layout.Run(static_cast<float>(view_.width_), static_cast<float>(view_.height_));
  view_.layout_.Fit(view_.document_.size());
  view_.layoutDirty_ = false;
  view_.compareAll_ = true;
}

const ComputedStyle& FrameRenderer::StyleOf(int element) const {
  static const ComputedStyle kNoStyle{};
  if (element < 0 || static_cast<std::size_t>(element) >= view_.computed_.size()) return kNoStyle;
  return view_.computed_[static_cast<std::size_t>(element)];
}

void FrameRenderer::Restyle(int element, bool alone) {
  if (element <= 0 || view_.styleDirty_) return;
  std::vector<int>& list = alone ? view_.restyleAlone_ : view_.restyleRoots_;
  // A hostile depth makes long chains: past the limit, everything.
  if (list.size() >= HtmlDocument::kMaxChangeList * 4) {
    view_.styleDirty_ = true;
    view_.restyleRoots_.clear();
    view_.restyleAlone_.clear();
    return;
  }
  list.push_back(element);
}

void FrameRenderer::RestyleForState(int old, int now, std::uint8_t pseudo) {
  // :focus holds for the element alone; :hover and :active for its
  // ancestors too.
  const bool ancestors = pseudo != kPseudoFocus;
  if (!view_.styles_.UsesAbove(pseudo)) {
    // Only subjects test the state: the elements whose state changed are
    // styled alone, and their subtrees only when their style changed.
    if (!ancestors) {
      Restyle(old, true);
      Restyle(now, true);
      return;
    }
    for (int at = old; at > 0; at = view_.document_.node(at).parent) {
      if (now >= 0 && view_.document_.Contains(at, now)) break;
      Restyle(at, true);
    }
    for (int at = now; at > 0; at = view_.document_.node(at).parent) {
      if (old >= 0 && view_.document_.Contains(at, old)) break;
      Restyle(at, true);
    }
    return;
  }
  if (!ancestors) {
    Restyle(old);
    Restyle(now);
    return;
  }
  // The topmost element of each chain whose match changes: the one just
  // below the deepest element holding both.
  auto top_below = [this](int from, int other) {
    int top = -1;
    for (int at = from; at > 0; at = view_.document_.node(at).parent) {
      if (other >= 0 && view_.document_.Contains(at, other)) break;
      top = at;
    }
    return top;
  };
  Restyle(top_below(old, now));
  Restyle(top_below(now, old));
}

Painter::Clip FrameRenderer::Damage() const {
  float left = 1e9f, top = 1e9f, right = -1e9f, bottom = -1e9f;
  auto add = [&](float x, float y, float w, float h, float reach) {
    left = std::min(left, x - reach - 1);
    top = std::min(top, y - reach - 1);
    right = std::max(right, x + w + reach + 1);
    bottom = std::max(bottom, y + h + reach + 1);
  };
  static const ComputedStyle kNoStyle{};
  if (!view_.compareAll_) {
    // The layout is the painted one: only the restyled elements (and, when
    // their opacity changed, their descendants) paint differently.
    std::vector<int> stack;
    for (int element : view_.repaint_) {
      const auto k = static_cast<std::size_t>(element);
      if (!view_.document_.IsNode(element) || !view_.document_.Contains(0, element)) continue;
      const ComputedStyle& style_now = StyleOf(element);
      const ComputedStyle& style_then = k < view_.paintedStyles_.size() ? view_.paintedStyles_[k] : kNoStyle;
      const LayoutBox& box = view_.layout_.Box(element);
      if (box.laid) add(box.x, box.y, box.w, box.h, std::max(style_now.PaintOverflow(), style_then.PaintOverflow()));
      if (style_now.opacity == style_then.opacity) continue;
      stack.assign(view_.document_.node(element).children.begin(), view_.document_.node(element).children.end());
      while (!stack.empty()) {
        const int at = stack.back();
        stack.pop_back();
        const LayoutBox& inner = view_.layout_.Box(at);
        if (inner.laid) add(inner.x, inner.y, inner.w, inner.h, StyleOf(at).PaintOverflow());
        for (int r = 0; r < view_.layout_.RunCount(at); ++r) {
          const TextRun& run = view_.layout_.runs[static_cast<std::size_t>(view_.layout_.FirstRun(at) + r)];
          add(run.x, run.y, run.w, run.h, 2);
        }
        stack.insert(stack.end(), view_.document_.node(at).children.begin(), view_.document_.node(at).children.end());
      }
    }
  }
  const std::size_t count =
      view_.compareAll_ ? std::max(view_.layout_.boxes.size(), view_.paintedLayout_.boxes.size()) : 0;
  for (std::size_t k = 0; k < count; ++k) {
    const int node = static_cast<int>(k);
    const LayoutBox& now = view_.layout_.Box(node);
    const LayoutBox& then = view_.paintedLayout_.Box(node);
    const ComputedStyle& style_now = StyleOf(node);
    const ComputedStyle& style_then = k < view_.paintedStyles_.size() ? view_.paintedStyles_[k] : kNoStyle;
    const bool box_changed = now.laid != then.laid || now.x != then.x || now.y != then.y || now.w != then.w ||
                             now.h != then.h || now.scroll_top != then.scroll_top ||
                             now.content_height != then.content_height;
    if (box_changed || !style_now.PaintsLike(style_then)) {
      if (then.laid) add(then.x, then.y, then.w, then.h, style_then.PaintOverflow());
      if (now.laid) add(now.x, now.y, now.w, now.h, style_now.PaintOverflow());
    }
    const int runs_now = view_.layout_.RunCount(node);
    const int runs_then = view_.paintedLayout_.RunCount(node);
    bool runs_changed = runs_now != runs_then;
    for (int r = 0; r < runs_now && !runs_changed; ++r) {
      const TextRun& a = view_.layout_.runs[static_cast<std::size_t>(view_.layout_.FirstRun(node) + r)];
      const TextRun& b = view_.paintedLayout_.runs[static_cast<std::size_t>(view_.paintedLayout_.FirstRun(node) + r)];
      runs_changed = a.x != b.x || a.y != b.y || a.w != b.w || a.text != b.text || a.placeholder != b.placeholder;
    }
    if (runs_changed) {
      for (int r = 0; r < runs_then; ++r) {
        const TextRun& b = view_.paintedLayout_.runs[static_cast<std::size_t>(view_.paintedLayout_.FirstRun(node) + r)];
        add(b.x, b.y, b.w, b.h, 2);
      }
      for (int r = 0; r < runs_now; ++r) {
        const TextRun& a = view_.layout_.runs[static_cast<std::size_t>(view_.layout_.FirstRun(node) + r)];
        add(a.x, a.y, a.w, a.h, 2);
      }
    }
  }
  // The caret and selection of the field being edited, now and before, when
  // either moved (typing changes the value, which is compared above).
  const bool edit_moved =
      view_.interaction_.focus != view_.paintedEdit_.focus || view_.edit_.caret != view_.paintedEdit_.caret ||
      view_.edit_.anchor != view_.paintedEdit_.anchor || view_.focusRing_ != view_.paintedEdit_.ring;
  for (int field : {view_.interaction_.focus, view_.paintedEdit_.focus}) {
    if (!edit_moved) break;
    const LayoutBox& box = view_.layout_.Box(field);
    if (box.laid) {
      add(box.x, box.y, box.w, box.h, 4);  // the focus ring lies outside the box
    }
  }
  if (right <= left || bottom <= top) return Painter::Clip{0, 0, 0, 0};
  return Painter::Clip{PixelOf(std::floor(left)), PixelOf(std::floor(top)), PixelOf(std::ceil(right)),
                       PixelOf(std::ceil(bottom))};
}

void FrameRenderer::Render() {
  view_.dirty_ = false;
  if (!view_.dc_ || view_.bits_ == nullptr) return;
  UpdateLayout();
  EditState edit = view_.edit_;
  edit.focus = view_.interaction_.focus;
  edit.ring = view_.focusRing_ && view_.interaction_.focus >= 0;
  view_.edit_.focus = edit.focus;
  // What changed is found in CSS pixels; the bitmap is painted in device
  // pixels, each CSS pixel `scale` of them.
  const float scale = view_.scale_;
  auto to_device = [scale](const Painter::Clip& css) {
    if (css.empty()) return css;
    return Painter::Clip{PixelOf(std::floor(static_cast<float>(css.left) * scale)),
                         PixelOf(std::floor(static_cast<float>(css.top) * scale)),
                         PixelOf(std::ceil(static_cast<float>(css.right) * scale)),
                         PixelOf(std::ceil(static_cast<float>(css.bottom) * scale))};
  };
  const int width = view_.deviceWidth_, height = view_.deviceHeight_;
  const Painter::Clip all{0, 0, width, height};
  Painter::Clip damage = view_.fullPaint_ ? all : to_device(Damage());
  if (!view_.fullPaint_ && (edit.caret != view_.paintedEdit_.caret || edit.anchor != view_.paintedEdit_.anchor) &&
      damage.right <= damage.left) {
    damage = all;
  }
  view_.fullPaint_ = false;
  damage = Painter::Clip{std::max(damage.left, 0), std::max(damage.top, 0), std::min(damage.right, width),
                         std::min(damage.bottom, height)};
  if (!view_.popup_.LooksLike(view_.paintedPopup_)) {
    // The list where it was (the page shows again there) and where it is.
    for (const Painter::Clip& area : {to_device(view_.popup_.Bounds()), to_device(view_.paintedPopup_.Bounds())}) {
      if (area.empty()) continue;
      if (damage.empty()) {
        damage = area;
        continue;
      }
      damage = Painter::Clip{std::min(damage.left, area.left), std::min(damage.top, area.top),
                             std::max(damage.right, area.right), std::max(damage.bottom, area.bottom)};
    }
    damage = Painter::Clip{std::max(damage.left, 0), std::max(damage.top, 0), std::min(damage.right, width),
                           std::min(damage.bottom, height)};
  }
  view_.lastDamage_ = damage;
  if (damage.right > damage.left && damage.bottom > damage.top) {
    Painter painter(view_.dc_.get(), view_.bits_, width, height, view_.fonts_, &view_.images_, scale);
    painter.Paint(view_.document_, view_.computed_, view_.layout_, edit, view_.transparent_, damage);
    if (view_.popup_.open()) view_.popup_.Paint(painter, StyleOf(view_.popup_.select()), damage);
  }
  view_.paintedPopup_ = view_.popup_;
  if (view_.compareAll_) {
    view_.paintedStyles_ = view_.computed_;
    view_.paintedLayout_ = view_.layout_;
  } else {
    view_.paintedStyles_.resize(view_.computed_.size());
    for (int element : view_.repaint_) {
      const auto k = static_cast<std::size_t>(element);
      if (k < view_.computed_.size()) view_.paintedStyles_[k] = view_.computed_[k];
    }
  }
  view_.compareAll_ = false;
  view_.repaint_.clear();
  view_.paintedEdit_ = edit;
  view_.ReclaimNodes();
}

}  // namespace halyx::engine
