#include "engine/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "engine/css_parser.h"
#include "engine/engine_host.h"
#include "engine/save_target.h"
#include "base/gdi_selection.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr int kWheelLines = 3;
constexpr float kWheelLineHeight = 20;
// At most this many style sheets per page: each is bounded by the parser,
// and so is their sum.
constexpr std::size_t kMaxStyleSheets = 32;

wkeStringImpl MakeString(const std::string& text) { return wkeStringImpl{text, Utf8ToWide(text)}; }

bool IsWordChar(wchar_t c) { return std::iswalnum(c) != 0 || c == L'_'; }

}  // namespace

unsigned WebView::IdOf(const void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  // A 64-bit value beyond the ids handed out names no view.
  if constexpr (sizeof(value) > sizeof(unsigned)) {
    if (value >> 31 >> 1 != 0) return 0;
  }
  return static_cast<unsigned>(value);
}

WebView::WebView(unsigned id) : id_(id) {
  storage_ = LocalStorage::Open(storageFolder_, LocalStorage::OriginOf(url_));
  // An empty page until the first load, so that script calls have a context.
  script_ = std::make_unique<ScriptContext>(*this, exec_state(), scriptTimeLimitMs_);
  Resize(1, 1);
}

WebView::~WebView() {
  // The page's native objects are finalized while the view still stands.
  retired_.clear();
  script_.reset();
  if (dc_ && oldBitmap_ != nullptr) ::SelectObject(dc_.get(), oldBitmap_);
}

void WebView::SetTransparent(bool transparent) {
  transparent_ = transparent;
  fullPaint_ = true;
  SchedulePaint();
}

void WebView::Resize(int width, int height) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  if (dc_ && width == width_ && height == height_) return;
  if (!dc_) dc_.reset(::CreateCompatibleDC(nullptr));
  if (!dc_) return;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  BitmapHandle bitmap(::CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap) return;
  HGDIOBJ previous = ::SelectObject(dc_.get(), bitmap.get());
  if (oldBitmap_ == nullptr) oldBitmap_ = previous;
  bitmap_ = std::move(bitmap);
  bits_ = bits;
  width_ = width;
  height_ = height;
  layoutDirty_ = true;
  fullPaint_ = true;
  dirty_ = true;
  popup_.Close();
  SchedulePaint();
}

void WebView::RepaintIfNeeded() {
  if (dirty_) Render();
}

void WebView::ContentChanged() { SchedulePaint(); }

void WebView::SchedulePaint() {
  dirty_ = true;
  if (paintPosted_) return;
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return;
  const unsigned id = id_;
  paintPosted_ = host->PostTask([id]() {
    WebView* view = EngineHost::Instance()->FindView(id);
    if (view == nullptr) return;
    view->paintPosted_ = false;
    if (!view->dirty_) return;
    view->Render();
    const Painter::Clip damage = view->lastDamage_;
    if (view->callbacks_.paint_updated != nullptr && damage.right > damage.left && damage.bottom > damage.top) {
      view->callbacks_.paint_updated(view->handle(), view->callbacks_.paint_updated_param, view->dc_.get(), damage.left,
                                     damage.top, damage.right - damage.left, damage.bottom - damage.top);
    }
  });
}

void WebView::UpdateLayout() {
  const HtmlDocument::Changes& changes = document_.changes();
  if (styleDirty_ || changes.everything || (styledVersion_ != document_.version() && changes.empty())) {
    styles_.Resolve(document_, interaction_, computed_);
    styleDirty_ = false;
    layoutDirty_ = true;
    compareAll_ = true;
  } else if (!changes.empty() || !restyleRoots_.empty() || !restyleAlone_.empty()) {
    std::vector<int> roots = restyleRoots_;
    roots.insert(roots.end(), changes.elements.begin(), changes.elements.end());
    // Inserting or removing a child can make another the first or last.
    if (styles_.Uses(kPseudoFirstChild | kPseudoLastChild)) {
      for (int parent : changes.parents) {
        for (int child : document_.node(parent).children) {
          if (document_.IsElement(child)) roots.push_back(child);
        }
      }
    }
    if (changes.layout) layoutDirty_ = true;
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    std::vector<int> changed;
    for (int root : roots) {
      // A root inside another is styled with it.
      bool nested = false;
      for (int at = document_.IsNode(root) ? document_.node(root).parent : -1; at > 0 && !nested;
           at = document_.node(at).parent) {
        nested = std::binary_search(roots.begin(), roots.end(), at);
      }
      if (nested) continue;
      if (styles_.ResolveSubtree(document_, interaction_, root, computed_, changed)) layoutDirty_ = true;
    }
    // Elements whose own state changed, parents first so that one styled
    // with its subtree covers those below it.
    std::vector<std::pair<std::size_t, int>> alone;
    for (int element : restyleAlone_) {
      if (document_.IsElement(element)) alone.emplace_back(document_.Depth(element), element);
    }
    std::sort(alone.begin(), alone.end());
    for (const auto& [depth, element] : alone) {
      bool covered = false;
      for (int at = element; at > 0 && !covered; at = document_.node(at).parent) {
        covered = std::binary_search(roots.begin(), roots.end(), at);
      }
      if (covered) continue;
      bool relayout = false;
      if (styles_.ResolveAlone(document_, interaction_, element, computed_, changed, relayout)) {
        roots.insert(std::upper_bound(roots.begin(), roots.end(), element), element);
      }
      if (relayout) layoutDirty_ = true;
    }
    // An attribute the painter reads (checked, src) may change the picture
    // without changing a style.
    repaint_.insert(repaint_.end(), changed.begin(), changed.end());
    repaint_.insert(repaint_.end(), changes.elements.begin(), changes.elements.end());
  }
  styledVersion_ = document_.version();
  restyleRoots_.clear();
  restyleAlone_.clear();
  document_.ClearChanges();
  // Nodes created since the last style pass have the default style until
  // they are inserted.
  if (computed_.size() < document_.size()) computed_.resize(document_.size());
  // Nor have they a box: a script may read one's scroll metrics, or focus
  // one, before anything lays it out.
  if (!layoutDirty_) {
    layout_.Fit(document_.size());
    return;
  }
  LayoutEngine layout(document_, computed_, fonts_, scrolls_, &images_);
  layout_ = layout.Run(static_cast<float>(width_), static_cast<float>(height_));
  layout_.Fit(document_.size());
  layoutDirty_ = false;
  compareAll_ = true;
}

const ComputedStyle& WebView::StyleOf(int element) const {
  static const ComputedStyle kNoStyle{};
  if (element < 0 || static_cast<std::size_t>(element) >= computed_.size()) return kNoStyle;
  return computed_[static_cast<std::size_t>(element)];
}

void WebView::Restyle(int element, bool alone) {
  if (element <= 0 || styleDirty_) return;
  std::vector<int>& list = alone ? restyleAlone_ : restyleRoots_;
  // A hostile depth makes long chains: past the limit, everything.
  if (list.size() >= HtmlDocument::kMaxChangeList * 4) {
    styleDirty_ = true;
    restyleRoots_.clear();
    restyleAlone_.clear();
    return;
  }
  list.push_back(element);
}

void WebView::RestyleForState(int old, int now, std::uint8_t pseudo) {
  // :focus holds for the element alone; :hover and :active for its
  // ancestors too.
  const bool ancestors = pseudo != kPseudoFocus;
  if (!styles_.UsesAbove(pseudo)) {
    // Only subjects test the state: the elements whose state changed are
    // styled alone, and their subtrees only when their style changed.
    if (!ancestors) {
      Restyle(old, true);
      Restyle(now, true);
      return;
    }
    for (int at = old; at > 0; at = document_.node(at).parent) {
      if (now >= 0 && document_.Contains(at, now)) break;
      Restyle(at, true);
    }
    for (int at = now; at > 0; at = document_.node(at).parent) {
      if (old >= 0 && document_.Contains(at, old)) break;
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
    for (int at = from; at > 0; at = document_.node(at).parent) {
      if (other >= 0 && document_.Contains(at, other)) break;
      top = at;
    }
    return top;
  };
  Restyle(top_below(old, now));
  Restyle(top_below(now, old));
}

const LayoutResult& WebView::CurrentLayout() {
  UpdateLayout();
  return layout_;
}

bool WebView::ElementRect(int element, float rect[4]) {
  UpdateLayout();
  if (!document_.IsElement(element) || !document_.Contains(0, element)) return false;
  const LayoutBox& box = layout_.Box(element);
  if (!box.laid) return false;
  rect[0] = box.x;
  rect[1] = box.y;
  rect[2] = box.w;
  rect[3] = box.h;
  return true;
}

Painter::Clip WebView::Damage() const {
  float left = 1e9f, top = 1e9f, right = -1e9f, bottom = -1e9f;
  auto add = [&](float x, float y, float w, float h, float reach) {
    left = std::min(left, x - reach - 1);
    top = std::min(top, y - reach - 1);
    right = std::max(right, x + w + reach + 1);
    bottom = std::max(bottom, y + h + reach + 1);
  };
  static const ComputedStyle kNoStyle{};
  if (!compareAll_) {
    // The layout is the painted one: only the restyled elements (and, when
    // their opacity changed, their descendants) paint differently.
    std::vector<int> stack;
    for (int element : repaint_) {
      const auto k = static_cast<std::size_t>(element);
      if (!document_.IsNode(element) || !document_.Contains(0, element)) continue;
      const ComputedStyle& style_now = StyleOf(element);
      const ComputedStyle& style_then = k < paintedStyles_.size() ? paintedStyles_[k] : kNoStyle;
      const LayoutBox& box = layout_.Box(element);
      if (box.laid) add(box.x, box.y, box.w, box.h, std::max(style_now.PaintOverflow(), style_then.PaintOverflow()));
      if (style_now.opacity == style_then.opacity) continue;
      stack.assign(document_.node(element).children.begin(), document_.node(element).children.end());
      while (!stack.empty()) {
        const int at = stack.back();
        stack.pop_back();
        const LayoutBox& inner = layout_.Box(at);
        if (inner.laid) add(inner.x, inner.y, inner.w, inner.h, StyleOf(at).PaintOverflow());
        for (int r = 0; r < layout_.RunCount(at); ++r) {
          const TextRun& run = layout_.runs[static_cast<std::size_t>(layout_.FirstRun(at) + r)];
          add(run.x, run.y, run.w, run.h, 2);
        }
        stack.insert(stack.end(), document_.node(at).children.begin(), document_.node(at).children.end());
      }
    }
  }
  const std::size_t count = compareAll_ ? std::max(layout_.boxes.size(), paintedLayout_.boxes.size()) : 0;
  for (std::size_t k = 0; k < count; ++k) {
    const int node = static_cast<int>(k);
    const LayoutBox& now = layout_.Box(node);
    const LayoutBox& then = paintedLayout_.Box(node);
    const ComputedStyle& style_now = StyleOf(node);
    const ComputedStyle& style_then = k < paintedStyles_.size() ? paintedStyles_[k] : kNoStyle;
    const bool box_changed = now.laid != then.laid || now.x != then.x || now.y != then.y || now.w != then.w ||
                             now.h != then.h || now.scroll_top != then.scroll_top ||
                             now.content_height != then.content_height;
    if (box_changed || !style_now.PaintsLike(style_then)) {
      if (then.laid) add(then.x, then.y, then.w, then.h, style_then.PaintOverflow());
      if (now.laid) add(now.x, now.y, now.w, now.h, style_now.PaintOverflow());
    }
    const int runs_now = layout_.RunCount(node);
    const int runs_then = paintedLayout_.RunCount(node);
    bool runs_changed = runs_now != runs_then;
    for (int r = 0; r < runs_now && !runs_changed; ++r) {
      const TextRun& a = layout_.runs[static_cast<std::size_t>(layout_.FirstRun(node) + r)];
      const TextRun& b = paintedLayout_.runs[static_cast<std::size_t>(paintedLayout_.FirstRun(node) + r)];
      runs_changed = a.x != b.x || a.y != b.y || a.w != b.w || a.text != b.text || a.placeholder != b.placeholder;
    }
    if (runs_changed) {
      for (int r = 0; r < runs_then; ++r) {
        const TextRun& b = paintedLayout_.runs[static_cast<std::size_t>(paintedLayout_.FirstRun(node) + r)];
        add(b.x, b.y, b.w, b.h, 2);
      }
      for (int r = 0; r < runs_now; ++r) {
        const TextRun& a = layout_.runs[static_cast<std::size_t>(layout_.FirstRun(node) + r)];
        add(a.x, a.y, a.w, a.h, 2);
      }
    }
  }
  // The caret and selection of the field being edited, now and before, when
  // either moved (typing changes the value, which is compared above).
  const bool edit_moved = interaction_.focus != paintedEdit_.focus || edit_.caret != paintedEdit_.caret ||
                          edit_.anchor != paintedEdit_.anchor || focusRing_ != paintedEdit_.ring;
  for (int field : {interaction_.focus, paintedEdit_.focus}) {
    if (!edit_moved) break;
    const LayoutBox& box = layout_.Box(field);
    if (box.laid) {
      add(box.x, box.y, box.w, box.h, 4);  // the focus ring lies outside the box
    }
  }
  if (right <= left || bottom <= top) return Painter::Clip{0, 0, 0, 0};
  return Painter::Clip{PixelOf(std::floor(left)), PixelOf(std::floor(top)), PixelOf(std::ceil(right)),
                       PixelOf(std::ceil(bottom))};
}

void WebView::Render() {
  dirty_ = false;
  if (!dc_ || bits_ == nullptr) return;
  UpdateLayout();
  EditState edit = edit_;
  edit.focus = interaction_.focus;
  edit.ring = focusRing_ && interaction_.focus >= 0;
  edit_.focus = edit.focus;
  const Painter::Clip all{0, 0, width_, height_};
  Painter::Clip damage = fullPaint_ ? all : Damage();
  if (!fullPaint_ && (edit.caret != paintedEdit_.caret || edit.anchor != paintedEdit_.anchor) &&
      damage.right <= damage.left) {
    damage = all;
  }
  fullPaint_ = false;
  damage = Painter::Clip{std::max(damage.left, 0), std::max(damage.top, 0), std::min(damage.right, width_),
                         std::min(damage.bottom, height_)};
  if (!popup_.LooksLike(paintedPopup_)) {
    // The list where it was (the page shows again there) and where it is.
    for (const Painter::Clip& area : {popup_.Bounds(), paintedPopup_.Bounds()}) {
      if (area.empty()) continue;
      if (damage.empty()) {
        damage = area;
        continue;
      }
      damage = Painter::Clip{std::min(damage.left, area.left), std::min(damage.top, area.top),
                             std::max(damage.right, area.right), std::max(damage.bottom, area.bottom)};
    }
    damage = Painter::Clip{std::max(damage.left, 0), std::max(damage.top, 0), std::min(damage.right, width_),
                           std::min(damage.bottom, height_)};
  }
  lastDamage_ = damage;
  if (damage.right > damage.left && damage.bottom > damage.top) {
    Painter painter(dc_.get(), bits_, width_, height_, fonts_, &images_);
    painter.Paint(document_, computed_, layout_, edit, transparent_, damage);
    if (popup_.open()) popup_.Paint(painter, StyleOf(popup_.select()), damage);
  }
  paintedPopup_ = popup_;
  if (compareAll_) {
    paintedStyles_ = computed_;
    paintedLayout_ = layout_;
  } else {
    paintedStyles_.resize(computed_.size());
    for (int element : repaint_) {
      const auto k = static_cast<std::size_t>(element);
      if (k < computed_.size()) paintedStyles_[k] = computed_[k];
    }
  }
  compareAll_ = false;
  repaint_.clear();
  paintedEdit_ = edit;
  ReclaimNodes();
}

void WebView::ReclaimNodes() {
  if (!document_.HasDetached() || busy()) return;
  const ULONGLONG now = ::GetTickCount64();
  if (script_ && now - lastSweep_ >= sweepIntervalMs_) {
    lastSweep_ = now;
    script_->SweepWrappers();
  }
  const std::vector<int>& options = popup_.options();
  auto held = [&](int node) {
    return node == interaction_.hover || node == interaction_.active || node == interaction_.focus ||
           node == pressed_ || node == edit_.focus || node == paintedEdit_.focus || node == popup_.select() ||
           std::find(options.begin(), options.end(), node) != options.end() || (script_ && script_->Wrapped(node));
  };
  for (int node : document_.Reclaim(held)) {
    const auto k = static_cast<std::size_t>(node);
    if (k < computed_.size()) computed_[k] = ComputedStyle{};
    if (k < paintedStyles_.size()) paintedStyles_[k] = ComputedStyle{};
    scrolls_.erase(node);
  }
}

int WebView::HitTestIn(int element, float x, float y, const Painter::Clip& clip) {
  const ComputedStyle& s = StyleOf(element);
  const LayoutBox& box = layout_.Box(element);
  if (s.display == ComputedStyle::Display::kNone || !box.laid) return -1;
  const bool inside = x >= box.x && x < box.x + box.w && y >= box.y && y < box.y + box.h &&
                      x >= static_cast<float>(clip.left) && x < static_cast<float>(clip.right) &&
                      y >= static_cast<float>(clip.top) && y < static_cast<float>(clip.bottom);
  Painter::Clip inner = clip;
  if (s.overflow != ComputedStyle::Overflow::kVisible) {
    inner = Painter::Clip{std::max(clip.left, PixelOf(box.x)), std::max(clip.top, PixelOf(box.y)),
                          std::min(clip.right, PixelOf(box.x + box.w)), std::min(clip.bottom, PixelOf(box.y + box.h))};
  }
  // The same order as painting: later and positioned boxes lie on top.
  int hit = -1;
  std::vector<int> positioned;
  for (int child : document_.node(element).children) {
    if (!document_.IsElement(child)) continue;
    if (StyleOf(child).position != ComputedStyle::Position::kStatic) {
      positioned.push_back(child);
      continue;
    }
    const int found = HitTestIn(child, x, y, inner);
    if (found >= 0) hit = found;
  }
  std::stable_sort(positioned.begin(), positioned.end(),
                   [this](int a, int b) { return StyleOf(a).z_index < StyleOf(b).z_index; });
  for (int child : positioned) {
    const bool fixed = StyleOf(child).position == ComputedStyle::Position::kFixed;
    const int found = HitTestIn(child, x, y, fixed ? Painter::Clip{0, 0, width_, height_} : inner);
    if (found >= 0) hit = found;
  }
  if (hit >= 0) return hit;
  return inside && s.visible ? element : -1;
}

int WebView::HitTest(float x, float y) {
  UpdateLayout();
  int hit = -1;
  for (int child : document_.node(0).children) {
    if (!document_.IsElement(child)) continue;
    const int found = HitTestIn(child, x, y, Painter::Clip{0, 0, width_, height_});
    if (found >= 0) hit = found;
  }
  // Below every box lies the page itself: its body, as in browsers.
  if (hit < 0) hit = document_.Body();
  return hit;
}

int WebView::Fire(int target, const char* type, const ScriptContext::EventInit& init) {
  if (!script_ || target < -1) return 0;
  // A person's click or key: its handlers may do what a page may do only
  // when asked (save a file). Events a script dispatches do not come here.
  const bool gesture = std::strcmp(type, "click") == 0 || std::strcmp(type, "keydown") == 0 ||
                       std::strcmp(type, "keyup") == 0 || std::strcmp(type, "keypress") == 0;
  const bool outer = activation_;
  if (gesture) activation_ = true;
  const int result = script_->Dispatch(target, type, init);
  activation_ = outer;
  return result;
}

bool WebView::TakeActivation() {
  const bool had = activation_;
  activation_ = false;
  return had;
}

void WebView::SetHover(int element) {
  if (element == interaction_.hover) return;
  const int old = interaction_.hover;
  interaction_.hover = element;
  if (styles_.Uses(kPseudoHover)) {
    RestyleForState(old, element, kPseudoHover);
    SchedulePaint();
  }
  ScriptContext::EventInit init;
  init.mouse = true;
  if (old >= 0 && document_.Contains(0, old)) Fire(old, "mouseout", init);
  if (element >= 0) Fire(element, "mouseover", init);
  // mouseleave and mouseenter go to each element the pointer left or
  // entered, without bubbling.
  init.bubbles = false;
  for (int at = old; at > 0; at = document_.node(at).parent) {
    if (element < 0 || !document_.Contains(at, element)) Fire(at, "mouseleave", init);
  }
  std::vector<int> entered;
  for (int at = element; at > 0; at = document_.node(at).parent) {
    if (old < 0 || !document_.Contains(at, old)) entered.push_back(at);
  }
  for (auto it = entered.rbegin(); it != entered.rend(); ++it) Fire(*it, "mouseenter", init);
}

void WebView::Focus(int element) {
  // Out of the tree an element has no box for a caret or a ring, and no
  // place in the tab order; removal already takes the focus away.
  if (element >= 0 && (!document_.IsElement(element) || !document_.Contains(0, element))) return;
  if (element == interaction_.focus) return;
  if (popup_.open() && element != popup_.select()) ClosePopup();
  focusRing_ = false;
  const int old = interaction_.focus;
  if (old >= 0 && IsTextField(old) && document_.Attribute(old, "value") != focusValue_) {
    ScriptContext::EventInit change;
    interaction_.focus = -1;
    Fire(old, "change", change);
  }
  interaction_.focus = element;
  if (IsTextField(element)) {
    focusValue_ = document_.Attribute(element, "value");
    edit_.caret = edit_.anchor = static_cast<int>(FieldText().size());
  }
  if (styles_.Uses(kPseudoFocus)) RestyleForState(old, element, kPseudoFocus);
  SchedulePaint();
  ScriptContext::EventInit init;
  init.bubbles = false;
  init.cancelable = false;
  if (old >= 0 && document_.Contains(0, old)) Fire(old, "blur", init);
  if (element >= 0 && interaction_.focus == element) Fire(element, "focus", init);
}

void WebView::NodeRemoved(int) {
  // Interaction state may not point into a detached subtree, whichever way
  // it left (removeChild, innerHTML, textContent). The document noted the
  // removal itself; the elements that were hovered or pressed with the
  // removed one are no longer known here, so they are all styled again.
  const InteractionState before = interaction_;
  auto gone = [this](int node) { return node >= 0 && !document_.Contains(0, node); };
  if (gone(interaction_.hover)) interaction_.hover = -1;
  if (gone(interaction_.active)) interaction_.active = -1;
  if (gone(pressed_)) pressed_ = -1;
  if (gone(interaction_.focus)) interaction_.focus = -1;
  if (popup_.open() && gone(popup_.select())) ClosePopup();
  if ((before.hover != interaction_.hover && styles_.Uses(kPseudoHover)) ||
      (before.active != interaction_.active && styles_.Uses(kPseudoActive))) {
    styleDirty_ = true;
  }
  ContentChanged();
}

void WebView::ValueSetByScript(int element) {
  if (element == interaction_.focus && IsTextField(element)) {
    edit_.caret = edit_.anchor = static_cast<int>(FieldText().size());
  }
}

bool WebView::IsTextField(int element) const {
  if (!document_.IsElement(element)) return false;
  const std::string& tag = document_.node(element).tag;
  if (tag == "textarea") return true;
  if (tag != "input") return false;
  const std::string type = document_.Attribute(element, "type");
  return type.empty() || type == "text" || type == "password" || type == "search" || type == "email" ||
         type == "number" || type == "url" || type == "tel";
}

std::wstring WebView::FieldText() const {
  const int field = interaction_.focus;
  if (document_.node(field).tag == "textarea" && !document_.HasAttribute(field, "value")) {
    return Utf8ToWide(document_.TextContent(field));
  }
  return Utf8ToWide(document_.Attribute(field, "value"));
}

void WebView::SetFieldText(const std::wstring& text) {
  document_.SetAttribute(interaction_.focus, "value", WideToUtf8(text));
  SchedulePaint();
}

int WebView::CaretFromPoint(int element, float x, float y) {
  const LayoutResult& layout = CurrentLayout();
  if (layout.RunCount(element) == 0) return 0;
  // The line under the point: the last that starts above it.
  int line = layout.FirstRun(element);
  for (int k = 1; k < layout.RunCount(element); ++k) {
    const int at = layout.FirstRun(element) + k;
    if (layout.runs[static_cast<std::size_t>(at)].y > y) break;
    line = at;
  }
  const TextRun& run = layout.runs[static_cast<std::size_t>(line)];
  if (run.placeholder) return 0;
  FontCache::Font& font = fonts_.Get(StyleOf(element));
  // The boundary nearest the point.
  int best = 0;
  float distance = std::fabs(x - run.x);
  for (std::size_t k = 1; k <= run.text.size(); ++k) {
    const float at = run.x + static_cast<float>(fonts_.Measure(font, run.text.substr(0, k)));
    if (std::fabs(x - at) < distance) {
      distance = std::fabs(x - at);
      best = static_cast<int>(k);
    }
  }
  return run.offset + best;
}

void WebView::InsertText(const std::wstring& inserted) {
  std::wstring text = FieldText();
  const int size = static_cast<int>(text.size());
  const int from = std::clamp(std::min(edit_.anchor, edit_.caret), 0, size);
  const int to = std::clamp(std::max(edit_.anchor, edit_.caret), 0, size);
  const std::string max_length = document_.Attribute(interaction_.focus, "maxlength");
  std::wstring piece = inserted;
  if (!max_length.empty()) {
    const int limit = std::atoi(max_length.c_str());
    const int room = std::max(0, limit - (size - (to - from)));
    if (static_cast<int>(piece.size()) > room) piece.resize(static_cast<std::size_t>(room));
  }
  text.replace(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from), piece);
  edit_.caret = edit_.anchor = from + static_cast<int>(piece.size());
  SetFieldText(text);
}

bool WebView::EditKey(unsigned code, bool shift, bool ctrl) {
  const std::wstring text = FieldText();
  const int size = static_cast<int>(text.size());
  edit_.caret = std::clamp(edit_.caret, 0, size);
  edit_.anchor = std::clamp(edit_.anchor, 0, size);
  const bool selection = edit_.caret != edit_.anchor;
  const bool multiline = document_.node(interaction_.focus).tag == "textarea";
  auto word_left = [&](int at) {
    while (at > 0 && !IsWordChar(text[static_cast<std::size_t>(at - 1)])) --at;
    while (at > 0 && IsWordChar(text[static_cast<std::size_t>(at - 1)])) --at;
    return at;
  };
  auto word_right = [&](int at) {
    while (at < size && !IsWordChar(text[static_cast<std::size_t>(at)])) ++at;
    while (at < size && IsWordChar(text[static_cast<std::size_t>(at)])) ++at;
    return at;
  };
  auto move = [&](int to) {
    edit_.caret = std::clamp(to, 0, size);
    if (!shift) edit_.anchor = edit_.caret;
    SchedulePaint();
  };
  switch (code) {
    case VK_LEFT:
      if (!shift && selection) return move(std::min(edit_.caret, edit_.anchor)), true;
      move(ctrl ? word_left(edit_.caret) : edit_.caret - 1);
      return true;
    case VK_RIGHT:
      if (!shift && selection) return move(std::max(edit_.caret, edit_.anchor)), true;
      move(ctrl ? word_right(edit_.caret) : edit_.caret + 1);
      return true;
    case VK_HOME:
    case VK_END: {
      // In a textarea, the line's start and end (Ctrl: the text's).
      int line_start = 0, line_end = size;
      if (multiline && !ctrl) {
        const std::size_t before =
            edit_.caret > 0 ? text.rfind(L'\n', static_cast<std::size_t>(edit_.caret - 1)) : std::wstring::npos;
        line_start = before == std::wstring::npos ? 0 : static_cast<int>(before) + 1;
        const std::size_t next = text.find(L'\n', static_cast<std::size_t>(edit_.caret));
        line_end = next == std::wstring::npos ? size : static_cast<int>(next);
      }
      move(code == VK_HOME ? line_start : line_end);
      return true;
    }
    case VK_UP:
    case VK_DOWN: {
      if (!multiline) return false;
      // The nearest place on the line above or below, else the text's end.
      const LayoutResult& layout = CurrentLayout();
      const int run = LayoutEngine::RunAt(layout, interaction_.focus, edit_.caret);
      if (run < 0) return true;
      const int first = layout.FirstRun(interaction_.focus);
      const int last = first + layout.RunCount(interaction_.focus) - 1;
      const int target = run + (code == VK_UP ? -1 : 1);
      if (target < first || target > last) {
        move(code == VK_UP ? 0 : size);
        return true;
      }
      const TextRun& from = layout.runs[static_cast<std::size_t>(run)];
      const TextRun& to = layout.runs[static_cast<std::size_t>(target)];
      FontCache::Font& font = fonts_.Get(StyleOf(interaction_.focus));
      const int column = std::clamp(edit_.caret - from.offset, 0, static_cast<int>(from.text.size()));
      const float x =
          from.x + static_cast<float>(fonts_.Measure(font, from.text.substr(0, static_cast<std::size_t>(column))));
      move(CaretFromPoint(interaction_.focus, x, to.y + to.h / 2));
      return true;
    }
    case 'A':
      if (!ctrl) return false;
      edit_.anchor = 0;
      edit_.caret = size;
      SchedulePaint();
      return true;
    case VK_BACK:
    case VK_DELETE: {
      if (!selection) {
        const int other = code == VK_BACK ? (ctrl ? word_left(edit_.caret) : edit_.caret - 1)
                                          : (ctrl ? word_right(edit_.caret) : edit_.caret + 1);
        if (other < 0 || other > size) return true;
        edit_.anchor = other;
      }
      InsertText(std::wstring());
      ScriptContext::EventInit init;
      init.cancelable = false;
      Fire(interaction_.focus, "input", init);
      return true;
    }
    default:
      return false;
  }
}

bool WebView::MouseEvent(unsigned message, int x, int y, unsigned flags) {
  if (popup_.open() || swallowRelease_) return PopupMouse(message, x, y);
  const int hit = HitTest(static_cast<float>(x), static_cast<float>(y));
  ScriptContext::EventInit init;
  init.mouse = true;
  init.x = x;
  init.y = y;
  init.ctrl = (flags & MK_CONTROL) != 0;
  init.shift = (flags & MK_SHIFT) != 0;
  init.buttons = (flags & MK_LBUTTON) != 0 ? 1u : 0u;
  int result = 0;
  switch (message) {
    case WM_MOUSEMOVE:
      SetHover(hit);
      result = Fire(hit, "mousemove", init);
      if (pressed_ >= 0 && pressed_ == interaction_.focus && IsTextField(pressed_) && (flags & MK_LBUTTON) != 0) {
        // Dragging in a field selects.
        edit_.caret = CaretFromPoint(pressed_, static_cast<float>(x), static_cast<float>(y));
        SchedulePaint();
      }
      break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      SetHover(hit);
      pressed_ = hit;
      if (styles_.Uses(kPseudoActive)) RestyleForState(interaction_.active, hit, kPseudoActive);
      interaction_.active = hit;
      SchedulePaint();
      result = Fire(hit, "mousedown", init);
      if ((result & ScriptContext::kDefaultPrevented) == 0) {
        // Focus goes to the nearest focusable element under the press.
        int target = hit;
        while (target > 0 && !IsFocusable(target)) target = document_.node(target).parent;
        focusRing_ = false;  // the pointer shows where the focus went
        Focus(target > 0 ? target : -1);
        if (target > 0 && target == interaction_.focus && IsTextField(target)) {
          edit_.caret = edit_.anchor = CaretFromPoint(target, static_cast<float>(x), static_cast<float>(y));
          if (message == WM_LBUTTONDBLCLK) {
            edit_.anchor = 0;
            edit_.caret = static_cast<int>(FieldText().size());
          }
        }
      }
      if (message == WM_LBUTTONDBLCLK) result |= Fire(hit, "dblclick", init);
      break;
    }
    case WM_LBUTTONUP: {
      const int pressed = pressed_;
      pressed_ = -1;
      if (styles_.Uses(kPseudoActive)) RestyleForState(interaction_.active, -1, kPseudoActive);
      interaction_.active = -1;
      SchedulePaint();
      result = Fire(hit, "mouseup", init);
      if (pressed < 0 || !document_.Contains(0, pressed) || !document_.Contains(0, hit)) break;
      // A click goes to the nearest element that holds both the press and
      // the release.
      int target = pressed;
      while (target > 0 && !document_.Contains(target, hit)) target = document_.node(target).parent;
      if (target <= 0 || document_.HasAttribute(target, "disabled")) break;
      init.bubbles = true;
      const int clicked = Activate(target, init);
      result |= clicked;
      // A click on a select opens its list, unless a listener prevents it.
      if (document_.node(target).tag == "select" && (clicked & ScriptContext::kDefaultPrevented) == 0 &&
          document_.Contains(0, target)) {
        OpenPopup(target);
      }
      SchedulePaint();
      return true;
    }
    case WM_RBUTTONDOWN:
      result = Fire(hit, "mousedown", init);
      break;
    case WM_RBUTTONUP:
      result = Fire(hit, "mouseup", init);
      result |= Fire(hit, "contextmenu", init);
      break;
    default:
      break;
  }
  return (result & ScriptContext::kListened) != 0 || (hit > 0 && hit != document_.Body() && message != WM_MOUSEMOVE);
}

int WebView::Activate(int target, const ScriptContext::EventInit& init) {
  // Checkboxes and radio buttons change before the click, and the
  // change is taken back if a listener prevents it.
  const bool toggle = document_.node(target).tag == "input" && (document_.Attribute(target, "type") == "checkbox" ||
                                                                document_.Attribute(target, "type") == "radio");
  const bool was_checked = document_.HasAttribute(target, "checked");
  if (toggle) {
    if (document_.Attribute(target, "type") == "radio") {
      const std::string name = document_.Attribute(target, "name");
      for (std::size_t k = 1; k < document_.size() && !name.empty(); ++k) {
        const int other = static_cast<int>(k);
        if (other != target && document_.IsElement(other) && document_.Attribute(other, "type") == "radio" &&
            document_.Attribute(other, "name") == name) {
          document_.RemoveAttribute(other, "checked");
        }
      }
      document_.SetAttribute(target, "checked", "");
    } else if (was_checked) {
      document_.RemoveAttribute(target, "checked");
    } else {
      document_.SetAttribute(target, "checked", "");
    }
  }
  const int clicked = Fire(target, "click", init);
  if (toggle) {
    if ((clicked & ScriptContext::kDefaultPrevented) != 0) {
      if (was_checked)
        document_.SetAttribute(target, "checked", "");
      else
        document_.RemoveAttribute(target, "checked");
    } else if (was_checked != document_.HasAttribute(target, "checked") ||
               document_.Attribute(target, "type") == "radio") {
      ScriptContext::EventInit change;
      change.cancelable = false;
      Fire(target, "input", change);
      Fire(target, "change", change);
    }
  }
  SchedulePaint();
  return clicked;
}

void WebView::OpenPopup(int select) {
  if (document_.HasAttribute(select, "disabled")) return;
  UpdateLayout();
  const LayoutBox& box = layout_.Box(select);
  if (!box.laid) return;
  const FontCache::Font& font = fonts_.Get(StyleOf(select));
  popup_.Open(document_, select, box, font.height, width_, height_);
  SchedulePaint();
}

void WebView::ClosePopup() {
  if (!popup_.open()) return;
  popup_.Close();
  SchedulePaint();
}

void WebView::ChooseOption(int select, int option) {
  // The list is a snapshot: the option may have gone since it opened.
  if (option < 0 || !document_.IsElement(select) || document_.node(option).parent != select) return;
  const int old = document_.SelectedOption(select);
  document_.SelectOption(select, option);
  SchedulePaint();
  if (old == option) return;
  ScriptContext::EventInit change;
  change.cancelable = false;
  Fire(select, "input", change);
  Fire(select, "change", change);
}

bool WebView::PopupMouse(unsigned message, int x, int y) {
  switch (message) {
    case WM_MOUSEMOVE:
      if (popup_.HighlightAt(x, y)) SchedulePaint();
      return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
      // A press outside the list closes it and goes no further, nor does its
      // release; a press inside waits for the release.
      if (popup_.open() && popup_.Contains(x, y)) return true;
      ClosePopup();
      swallowRelease_ = true;
      return true;
    case WM_LBUTTONUP: {
      if (swallowRelease_ || !popup_.open()) {
        swallowRelease_ = false;
        return true;
      }
      const int option = popup_.OptionAt(x, y);
      if (option < 0) return true;
      const int select = popup_.select();
      ClosePopup();
      ChooseOption(select, option);
      return true;
    }
    case WM_RBUTTONUP:
      swallowRelease_ = false;
      return true;
    default:
      return true;
  }
}

void WebView::PopupKey(unsigned code, bool shift, bool alt) {
  const int select = popup_.select();
  switch (code) {
    case VK_UP:
    case VK_DOWN:
      if (alt) {
        const int option = popup_.Highlighted();
        ClosePopup();
        ChooseOption(select, option);
        return;
      }
      popup_.Move(code == VK_UP ? -1 : 1);
      break;
    case VK_HOME:
    case VK_END:
      popup_.Move(code == VK_HOME ? -1 : 1, true);
      break;
    case VK_PRIOR:
    case VK_NEXT:
      popup_.Move(code == VK_PRIOR ? -SelectPopup::kVisibleItems : SelectPopup::kVisibleItems);
      break;
    case VK_RETURN:
    case VK_F4:
    case VK_TAB: {
      const int option = popup_.Highlighted();
      ClosePopup();
      ChooseOption(select, option);
      if (code == VK_TAB) MoveFocus(shift);
      return;
    }
    case VK_ESCAPE:
      ClosePopup();
      return;
    default:
      return;
  }
  SchedulePaint();
}

bool WebView::SelectKey(int select, unsigned code, bool alt, bool repeat) {
  if (document_.HasAttribute(select, "disabled")) return false;
  const bool opens = code == VK_RETURN || code == VK_F4 || (code == VK_SPACE && !repeat) ||
                     (alt && (code == VK_DOWN || code == VK_UP));
  if (opens) {
    OpenPopup(select);
    return true;
  }
  if (code != VK_UP && code != VK_DOWN && code != VK_HOME && code != VK_END) return false;
  // Closed, the arrows choose the neighbouring option at once.
  UpdateLayout();
  SelectPopup probe;
  probe.Open(document_, select, layout_.Box(select), 16, width_, height_);
  probe.Move(code == VK_UP || code == VK_HOME ? -1 : 1, code == VK_HOME || code == VK_END);
  ChooseOption(select, probe.Highlighted());
  return true;
}

int WebView::TabIndex(int element) const {
  if (!document_.IsElement(element) || document_.HasAttribute(element, "disabled")) return -1;
  const std::string value = document_.Attribute(element, "tabindex");
  if (!value.empty()) {
    char* end = nullptr;
    const long index = std::strtol(value.c_str(), &end, 10);
    if (end != value.c_str() && *end == '\0') return static_cast<int>(std::clamp(index, -1L, 32767L));
  }
  const std::string& tag = document_.node(element).tag;
  const bool natural = tag == "button" || tag == "select" || tag == "textarea" ||
                       (tag == "input" && document_.Attribute(element, "type") != "hidden") || IsLink(element);
  return natural ? 0 : -1;
}

bool WebView::IsLink(int element) const {
  return document_.IsElement(element) && document_.node(element).tag == "a" && document_.HasAttribute(element, "href");
}

bool WebView::IsFocusable(int element) const {
  return TabIndex(element) >= 0 ||
         (document_.HasAttribute(element, "tabindex") && !document_.HasAttribute(element, "disabled"));
}

bool WebView::KeyActivates(int element, unsigned code, bool repeat) const {
  if (document_.HasAttribute(element, "disabled")) return false;
  const std::string& tag = document_.node(element).tag;
  const std::string type = tag == "input" ? document_.Attribute(element, "type") : std::string();
  const bool button = tag == "button" || type == "button" || type == "submit" || type == "reset" || type == "image";
  const bool toggle = type == "checkbox" || type == "radio";
  const bool link = IsLink(element);
  // Enter clicks buttons and follows links; Space presses buttons and
  // toggles boxes, once per press rather than per repeat.
  if (code == VK_RETURN) return button || link;
  if (code == VK_SPACE) return !repeat && (button || toggle);
  return false;
}

void WebView::MoveFocus(bool backward) {
  UpdateLayout();
  // Elements with a positive tabindex first, in its order, then the rest in
  // document order; what is not shown (display none anywhere above,
  // visibility hidden) is skipped.
  std::vector<std::pair<int, int>> order;
  std::vector<int> stack(document_.node(0).children.rbegin(), document_.node(0).children.rend());
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    if (!document_.IsElement(at) || !layout_.Box(at).laid) continue;
    const int index = TabIndex(at);
    if (index >= 0 && StyleOf(at).visible) order.emplace_back(index > 0 ? index : 1 << 16, at);
    const auto& children = document_.node(at).children;
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a.first < b.first; });
  if (order.empty()) return;
  const auto count = static_cast<int>(order.size());
  int at = -1;
  for (int k = 0; k < count && at < 0; ++k) {
    if (order[static_cast<std::size_t>(k)].second == interaction_.focus) at = k;
  }
  const int next = at < 0 ? (backward ? count - 1 : 0) : (at + (backward ? count - 1 : 1)) % count;
  const int element = order[static_cast<std::size_t>(next)].second;
  Focus(element);
  if (interaction_.focus != element) return;  // a listener moved it on
  focusRing_ = true;
  // A field entered from the keyboard has its text selected, ready to be
  // typed over.
  if (IsTextField(element)) {
    edit_.anchor = 0;
    edit_.caret = static_cast<int>(FieldText().size());
  }
  ScrollIntoView(element);
}

void WebView::ScrollIntoView(int element) {
  for (int at = document_.node(element).parent; at >= 0; at = at > 0 ? document_.node(at).parent : -1) {
    if (at > 0 && StyleOf(at).overflow != ComputedStyle::Overflow::kAuto) continue;
    UpdateLayout();
    const LayoutBox& box = layout_.Box(element);
    const LayoutBox& port = layout_.Box(at);
    const float top = at > 0 ? port.y : 0;
    const float height = at > 0 ? port.client_height : static_cast<float>(height_);
    if (height <= 0) continue;
    float delta = 0;
    if (box.y < top) {
      delta = box.y - top;
    } else if (box.y + box.h > top + height) {
      delta = std::min(box.y + box.h - (top + height), box.y - top);
    }
    if (delta == 0) continue;
    float now = 0, content = 0;
    ScrollMetrics(at, now, content);
    ScrollTo(at, now + delta);
  }
}

void WebView::ScrollMetrics(int element, float& top, float& height) {
  UpdateLayout();
  const auto found = scrolls_.find(element);
  top = found == scrolls_.end() ? 0 : found->second;
  height = 0;
  if (document_.IsNode(element)) height = layout_.Box(element).content_height;
}

void WebView::ScrollTo(int element, float top) {
  UpdateLayout();
  if (!document_.IsNode(element)) return;
  if (element == document_.Body() || (document_.IsElement(element) && document_.node(element).tag == "html")) {
    element = 0;
  }
  const LayoutBox& box = layout_.Box(element);
  const float limit = std::max(0.0f, box.content_height - box.client_height);
  // NaN passes every comparison, so clamp would keep it and move every box.
  const float clamped = std::isnan(top) ? 0.0f : std::clamp(top, 0.0f, limit);
  const auto found = scrolls_.find(element);
  if ((found == scrolls_.end() ? 0 : found->second) == clamped) return;
  scrolls_[element] = clamped;
  layoutDirty_ = true;
  ClosePopup();
  SchedulePaint();
}

bool WebView::MouseWheel(int x, int y, int delta, unsigned flags) {
  if (popup_.open()) {
    // The list scrolls under the pointer; elsewhere the wheel does nothing
    // while it is open, as the page under it stays put.
    if (popup_.Contains(x, y)) {
      popup_.Scroll(delta > 0 ? -kWheelLines : kWheelLines);
      SchedulePaint();
    }
    return true;
  }
  const int hit = HitTest(static_cast<float>(x), static_cast<float>(y));
  ScriptContext::EventInit init;
  init.wheel = true;
  init.x = x;
  init.y = y;
  init.wheel_delta = delta;
  init.ctrl = (flags & MK_CONTROL) != 0;
  const int result = Fire(hit, "wheel", init);
  if ((result & ScriptContext::kDefaultPrevented) != 0) return true;
  // Towards the user (negative delta) moves the content up: the nearest
  // scroll container under the pointer that can still move takes it, else
  // the page.
  const float step = -static_cast<float>(delta) * kWheelLines * kWheelLineHeight / WHEEL_DELTA;
  int target = hit;
  for (; target > 0; target = document_.node(target).parent) {
    const ComputedStyle& s = StyleOf(target);
    const LayoutBox& box = layout_.Box(target);
    if (s.overflow != ComputedStyle::Overflow::kAuto || box.content_height <= box.client_height + 0.5f) continue;
    const auto found = scrolls_.find(target);
    const float now = found == scrolls_.end() ? 0 : found->second;
    const float limit = box.content_height - box.client_height;
    if ((step > 0 && now < limit) || (step < 0 && now > 0)) break;
  }
  const int scroller = target > 0 ? target : 0;
  ScriptContext::EventInit scrolled;
  scrolled.bubbles = false;
  scrolled.cancelable = false;
  float before = 0, height = 0;
  ScrollMetrics(scroller, before, height);
  ScrollTo(scroller, before + step);
  float after = 0;
  ScrollMetrics(scroller, after, height);
  if (after != before) Fire(scroller, "scroll", scrolled);
  return (result & ScriptContext::kListened) != 0 || after != before;
}

bool WebView::KeyEvent(const char* type, unsigned code, unsigned flags, bool system) {
  if (!script_) return false;
  const std::string kind(type);
  const bool press = kind == "keypress";
  const bool ctrl = (::GetKeyState(VK_CONTROL) & 0x8000) != 0;
  const bool shift = (::GetKeyState(VK_SHIFT) & 0x8000) != 0;
  const bool alt = system || (::GetKeyState(VK_MENU) & 0x8000) != 0;
  ScriptContext::EventInit init;
  init.key = true;
  init.key_code = press ? 0 : code;
  init.char_code = press ? code : 0;
  init.repeat = (flags & 0x4000) != 0;
  init.ctrl = ctrl;
  init.shift = shift;
  init.alt = alt;
  const int focus = interaction_.focus;
  const int target = focus >= 0 && document_.Contains(0, focus) ? focus : std::max(document_.Body(), 0);
  // An open list takes the keys, as a window of its own would.
  if (popup_.open()) {
    if (kind == "keydown") PopupKey(code, shift, alt);
    return true;
  }
  const int result = Fire(target, type, init);
  const bool used = (result & ScriptContext::kListened) != 0;
  if ((result & ScriptContext::kDefaultPrevented) != 0) return true;
  const int field = interaction_.focus;
  if (kind == "keydown" && code == VK_TAB && !ctrl && !alt) {
    MoveFocus(shift);
    return true;
  }
  if (kind == "keydown" && field >= 0 && document_.Contains(0, field) && document_.node(field).tag == "select" &&
      SelectKey(field, code, alt, init.repeat)) {
    return true;
  }
  if (kind == "keydown" && field >= 0 && document_.Contains(0, field) && !IsTextField(field) &&
      KeyActivates(field, code, init.repeat)) {
    ScriptContext::EventInit click;
    click.mouse = true;
    Activate(field, click);
    return true;
  }
  if (!IsTextField(field) || document_.HasAttribute(field, "readonly") || document_.HasAttribute(field, "disabled")) {
    return used;
  }
  if (kind == "keydown") {
    if (code == VK_RETURN && document_.node(field).tag == "textarea") {
      InsertText(L"\n");
      ScriptContext::EventInit input;
      input.cancelable = false;
      Fire(field, "input", input);
      return true;
    }
    if (code == VK_RETURN) {
      if (document_.Attribute(field, "value") != focusValue_) {
        focusValue_ = document_.Attribute(field, "value");
        ScriptContext::EventInit change;
        change.cancelable = false;
        Fire(field, "change", change);
      }
      return true;
    }
    return EditKey(code, shift, ctrl) || used;
  }
  if (press && code >= 0x20 && code != 0x7F && !ctrl) {
    InsertText(std::wstring(1, static_cast<wchar_t>(code)));
    ScriptContext::EventInit input;
    input.cancelable = false;
    Fire(field, "input", input);
    return true;
  }
  return used;
}

void WebView::SetFocus(bool focused) {
  focused_ = focused;
  if (!focused) ClosePopup();
  SchedulePaint();
}

int WebView::CursorId() const {
  const int element = interaction_.hover;
  if (element < 0 || static_cast<std::size_t>(element) >= computed_.size() || !document_.IsElement(element)) {
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(IDC_ARROW));
  }
  static const std::map<std::string, LPCWSTR> kCursors = {
      {"default", IDC_ARROW},       {"pointer", IDC_HAND},         {"text", IDC_IBEAM},
      {"wait", IDC_WAIT},           {"progress", IDC_APPSTARTING}, {"help", IDC_HELP},
      {"crosshair", IDC_CROSS},     {"move", IDC_SIZEALL},         {"not-allowed", IDC_NO},
      {"no-drop", IDC_NO},          {"ew-resize", IDC_SIZEWE},     {"col-resize", IDC_SIZEWE},
      {"ns-resize", IDC_SIZENS},    {"row-resize", IDC_SIZENS},    {"nwse-resize", IDC_SIZENWSE},
      {"nesw-resize", IDC_SIZENESW}};
  const std::string& cursor = StyleOf(element).cursor;
  LPCWSTR id = IDC_ARROW;
  const auto known = kCursors.find(cursor);
  if (known != kCursors.end()) {
    id = known->second;
  } else if (IsTextField(element) && !document_.HasAttribute(element, "disabled")) {
    id = IDC_IBEAM;
  } else {
    // A link's hand reaches the text and boxes inside it.
    for (int node = element; node > 0; node = document_.node(node).parent) {
      if (IsLink(node)) {
        id = IDC_HAND;
        break;
      }
    }
  }
  return static_cast<int>(reinterpret_cast<std::uintptr_t>(id));
}

wkeRect WebView::CaretRect() {
  const int field = interaction_.focus;
  if (IsTextField(field)) {
    const LayoutResult& layout = CurrentLayout();
    if (layout.RunCount(field) > 0) {
      const TextRun& run = layout.runs[static_cast<std::size_t>(LayoutEngine::RunAt(layout, field, edit_.caret))];
      FontCache::Font& font = fonts_.Get(StyleOf(field));
      const int caret =
          run.placeholder ? 0 : std::clamp(edit_.caret - run.offset, 0, static_cast<int>(run.text.size()));
      const float x =
          run.x + static_cast<float>(fonts_.Measure(font, run.text.substr(0, static_cast<std::size_t>(caret))));
      return wkeRect{PixelOf(x), PixelOf(run.y), 1, PixelOf(run.h)};
    }
  }
  return wkeRect{0, 0, 1, 16};
}

void WebView::LoadImages(const PageFetcher::Page& page) {
  images_.clear();
  // What all of a page's pictures may hold together, so that many pictures
  // each under the size limit cannot exhaust memory either.
  constexpr long long kMaxPagePixels = 4096LL * 4096;
  long long pixels = 0;
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < document_.size(); ++i) {
    const int node = static_cast<int>(i);
    if (!document_.IsElement(node) || document_.node(node).tag != "img") continue;
    const std::string src = document_.Attribute(node, "src");
    if (src.empty() || std::find(seen.begin(), seen.end(), src) != seen.end()) continue;
    seen.push_back(src);
    auto same = [&src](const auto& entry) { return entry.first == src; };
    const auto fetched = std::find_if(page.images.begin(), page.images.end(), same);
    if (fetched == page.images.end()) {
      // A refused image has its line already.
      if (std::none_of(page.refused.begin(), page.refused.end(), same)) {
        AddConsoleLine(3, "Failed to load image " + src);
      }
      continue;
    }
    DecodedImage image;
    std::string error;
    if (!image.Decode(fetched->second, error)) {
      AddConsoleLine(3, "Cannot show image " + src + ": " + error);
      continue;
    }
    const long long size = static_cast<long long>(image.width()) * image.height();
    if (pixels + size > kMaxPagePixels) {
      AddConsoleLine(3, "Cannot show image " + src + ": the page's images hold more than " +
                            std::to_string(kMaxPagePixels) + " pixels");
      continue;
    }
    pixels += size;
    images_.emplace(src, std::move(image));
  }
}

void WebView::LoadStyleSheets(const PageFetcher::Page& page) {
  std::vector<StyleSheet> sheets;
  std::size_t next_linked = 0;
  for (const HtmlDocument::StyleSource& source : document_.styles()) {
    if (sheets.size() >= kMaxStyleSheets) {
      AddConsoleLine(2, "Style sheets past the first " + std::to_string(kMaxStyleSheets) + " are ignored");
      break;
    }
    if (source.href.empty()) {
      sheets.push_back(CssParser::ParseSheet(source.text));
      continue;
    }
    if (next_linked < page.stylesheets.size() && page.stylesheets[next_linked].first == source.href) {
      sheets.push_back(CssParser::ParseSheet(page.stylesheets[next_linked].second));
      ++next_linked;
    } else {
      AddConsoleLine(3, "Failed to load style sheet " + source.href);
    }
  }
  styles_.SetSheets(std::move(sheets));
}

void WebView::ShowDevTools(const std::string& inspector_page) {
  if (!devTools_) devTools_ = std::make_unique<DevToolsWindow>();
  devTools_->Open(inspector_page, console_);
}

void WebView::SetLocalStoragePath(const std::wstring& path) {
  storageFolder_ = path;
  storage_ = LocalStorage::Open(storageFolder_, LocalStorage::OriginOf(url_));
  if (script_) script_->set_storage(storage_);
}

void WebView::AddConsoleLine(int level, const std::string& text) {
  static const char* const kLevels[] = {"log", "info", "warn", "error"};
  const std::string line = std::string("[") + kLevels[std::clamp(level, 0, 3)] + "] " + text;
  console_.push_back(line);
  if (console_.size() > kMaxConsoleLines) console_.pop_front();
  ::OutputDebugStringW(Utf8ToWide("wke console " + line + "\n").c_str());
  if (devTools_) devTools_->AddLine(line);
}

void WebView::Alert(const std::string& text) {
  if (callbacks_.alert == nullptr) return;
  wkeStringImpl message = MakeString(text);
  callbacks_.alert(handle(), callbacks_.alert_param, &message);
}

bool WebView::Confirm(const std::string& text) {
  if (callbacks_.confirm == nullptr) return false;
  wkeStringImpl message = MakeString(text);
  return callbacks_.confirm(handle(), callbacks_.confirm_param, &message);
}

bool WebView::Prompt(const std::string& text, const std::string& default_text, std::string& result) {
  if (callbacks_.prompt == nullptr) return false;
  wkeStringImpl message = MakeString(text);
  wkeStringImpl default_value = MakeString(default_text);
  wkeStringImpl answer = MakeString(default_text);
  if (!callbacks_.prompt(handle(), callbacks_.prompt_param, &message, &default_value, &answer)) return false;
  result = answer.utf8;
  return true;
}

bool WebView::SaveFile(const std::string& name, const std::string& type, const void* bytes, std::size_t size) {
  // Only the client's own page saves, and only for a person's click or key:
  // a page offering a file on a timer waits for the one click on Save.
  if (!mainView_) {
    AddConsoleLine(3, "msSaveBlob refused: only the main page may save files");
    return false;
  }
  if (!activation_) {
    AddConsoleLine(3, "msSaveBlob refused: a file is saved only from a click or key handler");
    return false;
  }
  activation_ = false;  // one dialog per click or key
  std::wstring extension, description;
  if (!SaveTarget::FileTypeOf(type, extension, description)) {
    AddConsoleLine(3, "msSaveBlob refused: no file type for a blob of type \"" + type + "\"");
    return false;
  }
  // The page names the file, never its folder: only the name part is kept,
  // without the characters a file name cannot hold, and with its type's
  // extension.
  std::wstring suggested = Utf8ToWide(name);
  const std::size_t slash = suggested.find_last_of(L"\\/");
  if (slash != std::wstring::npos) suggested.erase(0, slash + 1);
  suggested.erase(std::remove_if(suggested.begin(), suggested.end(),
                                 [](wchar_t c) { return c < 0x20 || std::wcschr(L"<>:\"|?*", c) != nullptr; }),
                  suggested.end());
  const std::wstring dot_extension = L"." + extension;
  if (suggested.size() < dot_extension.size() ||
      ::CompareStringOrdinal(suggested.c_str() + suggested.size() - dot_extension.size(),
                             static_cast<int>(dot_extension.size()), dot_extension.c_str(),
                             static_cast<int>(dot_extension.size()), TRUE) != CSTR_EQUAL) {
    suggested += dot_extension;
  }
  wchar_t path[MAX_PATH] = {};
  suggested.copy(path, MAX_PATH - 1);
  // "Zip archive (*.zip)", then the pattern, each ended by a null.
  const std::wstring filter =
      description + L" (*." + extension + L")" + std::wstring(1, L'\0') + L"*." + extension + std::wstring(2, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  // The view has no window of its own: the dialog belongs to whichever
  // window of this thread is active, so it stays in front of the page.
  dialog.hwndOwner = ::GetActiveWindow();
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrDefExt = extension.c_str();
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY |
                 OFN_NODEREFERENCELINKS;
  if (!::GetSaveFileNameW(&dialog)) {
    const DWORD error = ::CommDlgExtendedError();
    if (error != 0) AddConsoleLine(3, "Save dialog failed (" + std::to_string(error) + ")");
    return false;
  }
  SaveTarget target;
  std::string why;
  if (!target.Open(path, why) || !target.Write(bytes, size, why)) {
    AddConsoleLine(3, "Saving " + WideToUtf8(path) + " failed: " + why);
    return false;
  }
  return true;
}

std::string WebView::UserLanguage() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  const LCID locale = MAKELCID(::GetUserDefaultUILanguage(), SORT_DEFAULT);
  if (::LCIDToLocaleName(locale, name, LOCALE_NAME_MAX_LENGTH, 0) <= 0) return "en-US";
  return WideToUtf8(name);
}

void WebView::SetTitle(const std::string& title) {
  document_.set_title(title);
  SchedulePaint();
  titleDirty_ = true;
  if (titleNoticePosted_) return;
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return;
  const unsigned id = id_;
  titleNoticePosted_ = host->PostTask([id]() {
    WebView* view = EngineHost::Instance()->FindView(id);
    if (view == nullptr) return;
    view->titleNoticePosted_ = false;
    if (view->titleDirty_) view->FireTitleChanged();
  });
}

void WebView::FireTitleChanged() {
  titleDirty_ = false;
  if (callbacks_.title_changed == nullptr) return;
  wkeStringImpl title = MakeString(document_.title());
  callbacks_.title_changed(handle(), callbacks_.title_changed_param, &title);
}

void WebView::Load(const std::wstring& url) {
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr || url.empty()) return;
  const unsigned serial = ++loadSerial_;
  const unsigned id = id_;
  auto commit = [id, serial](const std::shared_ptr<PageFetcher::Page>& page) {
    WebView* view = EngineHost::Instance()->FindView(id);
    // A later load of the same view supersedes this one.
    if (view != nullptr && view->loadSerial_ == serial) view->CommitPage(*page);
  };
  const bool remote = PageFetcher::IsRemote(url);
  const std::wstring root = localRoot_;
  if (remote) {
    host->RunInBackground([url, root, commit]() {
      auto page = std::make_shared<PageFetcher::Page>(PageFetcher::Fetch(url, root));
      if (EngineHost* current = EngineHost::Instance()) current->PostTask([commit, page]() { commit(page); });
    });
  } else {
    host->PostTask(
        [url, root, commit]() { commit(std::make_shared<PageFetcher::Page>(PageFetcher::Fetch(url, root))); });
  }
}

bool WebView::busy() const {
  if (script_ && script_->busy()) return true;
  for (const auto& retired : retired_) {
    if (retired->busy()) return true;
  }
  return false;
}

void WebView::ReapRetiredScripts() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    it = (*it)->busy() ? it + 1 : retired_.erase(it);
  }
  if (retired_.empty()) return;
  // Still unwinding in a nested message loop (a dialog): look again shortly.
  if (EngineHost* host = EngineHost::Instance()) {
    const unsigned id = id_;
    host->SetTimer(50, [id]() {
      if (WebView* view = EngineHost::Instance()->FindView(id)) view->ReapRetiredScripts();
      return false;
    });
  }
}

void WebView::CommitPage(const PageFetcher::Page& page) {
  // The old page's native objects are finalized before the new page runs,
  // unless its script is still on the stack (the load completed in a nested
  // message loop, a dialog opened from that script): then the old context
  // lives on beside the new one until its script has unwound.
  if (script_ && script_->busy()) {
    retired_.push_back(std::move(script_));
    const unsigned id = id_;
    if (EngineHost* host = EngineHost::Instance()) {
      host->PostTask([id]() {
        if (WebView* view = EngineHost::Instance()->FindView(id)) view->ReapRetiredScripts();
      });
    }
  }
  script_.reset();
  url_ = page.url;
  storage_ = LocalStorage::Open(storageFolder_, LocalStorage::OriginOf(url_));
  scrolls_.clear();
  fullPaint_ = true;
  pressed_ = -1;
  interaction_ = InteractionState{};
  edit_ = EditState{};
  popup_.Close();
  swallowRelease_ = false;
  loaded_ = false;
  document_ = page.document;
  script_ = std::make_unique<ScriptContext>(*this, exec_state(), scriptTimeLimitMs_);
  if (!page.ok) {
    document_ = HtmlDocument::Parse("<p>This page cannot be shown.</p>");
    AddConsoleLine(3, "Failed to load " + page.url + ": " + page.error);
  }
  LoadStyleSheets(page);
  LoadImages(page);
  styleDirty_ = true;
  if (document_.truncated()) {
    AddConsoleLine(
        3, "The page holds more than " + std::to_string(HtmlDocument::kMaxNodes) + " nodes; the rest was dropped");
  }
  if (document_.flattened()) {
    AddConsoleLine(3, "Elements nested deeper than " + std::to_string(HtmlDocument::kMaxNesting) +
                          " levels were moved up to that level");
  }
  for (const auto& refused : page.refused) {
    const bool sheet = std::any_of(document_.styles().begin(), document_.styles().end(),
                                   [&](const HtmlDocument::StyleSource& s) { return s.href == refused.first; });
    const bool script = std::any_of(document_.scripts().begin(), document_.scripts().end(),
                                    [&](const HtmlDocument::Script& s) { return s.src == refused.first; });
    const char* what = sheet ? "style sheet " : (script ? "script " : "image ");
    AddConsoleLine(3, std::string("Refused to load ") + what + refused.first + ": " + refused.second);
  }
  auto was_refused = [&page](const std::string& src) {
    return std::any_of(page.refused.begin(), page.refused.end(), [&](const auto& r) { return r.first == src; });
  };
  std::size_t next_external = 0;
  for (const HtmlDocument::Script& script : document_.scripts()) {
    if (!script_) break;
    if (script.src.empty()) {
      script_->RunScript(script.source, page.url);
      continue;
    }
    // The fetcher kept the fetched bodies in document order.
    if (next_external < page.scripts.size() && page.scripts[next_external].first == script.src) {
      script_->RunScript(page.scripts[next_external].second, script.src);
      ++next_external;
    } else if (!was_refused(script.src)) {
      AddConsoleLine(3, "Failed to load script " + script.src);
    }
  }
  loaded_ = true;
  if (script_) script_->DocumentLoaded();
  SchedulePaint();
  // A callback may destroy the view; each later step checks that it stands.
  const unsigned id = id_;
  auto alive = [this, id]() { return EngineHost::Instance()->FindView(id) == this; };
  FireTitleChanged();
  if (!alive()) return;
  if (callbacks_.url_changed != nullptr) {
    wkeStringImpl url = MakeString(url_);
    callbacks_.url_changed(handle(), callbacks_.url_changed_param, &url);
    if (!alive()) return;
  }
  if (callbacks_.document_ready != nullptr) callbacks_.document_ready(handle(), callbacks_.document_ready_param);
}

}  // namespace halyx::engine
