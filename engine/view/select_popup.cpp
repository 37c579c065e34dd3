#include "engine/view/select_popup.h"

#include <algorithm>
#include <cmath>

#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr int kBorder = 1;
constexpr int kPadding = 6;
constexpr Color kFrame{0x8a, 0x8a, 0x8a, 255};
constexpr Color kHighlight{0x2d, 0x7f, 0xf9, 255};
constexpr Color kWhite{255, 255, 255, 255};
constexpr Color kGrey{0x90, 0x90, 0x90, 255};

// The text an option shows: its content with runs of white space as one.
std::wstring OptionText(const HtmlDocument& doc, int option) {
  const std::wstring raw = Utf8ToWide(doc.TextContent(option));
  std::wstring text;
  for (wchar_t c : raw) {
    const bool space = c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
    if (space && (text.empty() || text.back() == L' ')) continue;
    text.push_back(space ? L' ' : c);
  }
  while (!text.empty() && text.back() == L' ') text.pop_back();
  return text;
}

}  // namespace

void SelectPopup::Open(const HtmlDocument& doc, int select, const LayoutBox& box, int font_height, int view_width,
                       int view_height) {
  Close();
  options_ = doc.Options(select);
  if (options_.empty()) return;
  select_ = select;
  const int chosen = doc.SelectedOption(select);
  for (std::size_t k = 0; k < options_.size(); ++k) {
    texts_.push_back(OptionText(doc, options_[k]));
    disabled_.push_back(doc.HasAttribute(options_[k], "disabled"));
    if (options_[k] == chosen) highlight_ = static_cast<int>(k);
  }
  rowHeight_ = std::max(font_height, 8) + 4;
  const int rows = std::min(static_cast<int>(options_.size()), kVisibleItems);
  const int height = rows * rowHeight_ + 2 * kBorder;
  width_ = std::max(PixelOf(std::round(box.w)), 40);
  left_ = std::clamp(PixelOf(std::round(box.x)), 0, std::max(0, view_width - width_));
  const int below = PixelOf(std::round(box.y + box.h));
  const int above = PixelOf(std::round(box.y)) - height;
  top_ = below + height <= view_height || above < 0 ? below : above;
  top_ = std::clamp(top_, 0, std::max(0, view_height - height));
  KeepInView();
}

int SelectPopup::Highlighted() const {
  return highlight_ >= 0 && highlight_ < static_cast<int>(options_.size())
             ? options_[static_cast<std::size_t>(highlight_)]
             : -1;
}

void SelectPopup::Move(int delta, bool to_end) {
  const int count = static_cast<int>(options_.size());
  if (count == 0 || delta == 0) return;
  const int step = delta < 0 ? -1 : 1;
  int at = to_end ? (step < 0 ? -1 : count) : highlight_;
  if (at < 0 && !to_end) at = step < 0 ? count : -1;
  int remaining = to_end ? 1 : std::abs(delta);
  int best = highlight_;
  for (int k = at + step; k >= 0 && k < count && remaining > 0; k += step) {
    if (disabled_[static_cast<std::size_t>(k)]) continue;
    best = k;
    --remaining;
  }
  highlight_ = best;
  KeepInView();
}

int SelectPopup::RowAt(int x, int y) const {
  if (!open() || !Contains(x, y)) return -1;
  const int row = first_ + (y - top_ - kBorder) / std::max(rowHeight_, 1);
  return row >= 0 && row < static_cast<int>(options_.size()) && y >= top_ + kBorder ? row : -1;
}

bool SelectPopup::HighlightAt(int x, int y) {
  const int row = RowAt(x, y);
  if (row < 0) return false;
  if (!disabled_[static_cast<std::size_t>(row)]) highlight_ = row;
  return true;
}

int SelectPopup::OptionAt(int x, int y) const {
  const int row = RowAt(x, y);
  return row < 0 || disabled_[static_cast<std::size_t>(row)] ? -1 : options_[static_cast<std::size_t>(row)];
}

void SelectPopup::Scroll(int rows) {
  const int limit = std::max(0, static_cast<int>(options_.size()) - kVisibleItems);
  first_ = std::clamp(first_ + rows, 0, limit);
}

void SelectPopup::KeepInView() {
  if (highlight_ < 0) return;
  if (highlight_ < first_) first_ = highlight_;
  if (highlight_ >= first_ + kVisibleItems) first_ = highlight_ - kVisibleItems + 1;
  Scroll(0);
}

bool SelectPopup::Contains(int x, int y) const {
  const Painter::Clip bounds = Bounds();
  return x >= bounds.left && x < bounds.right && y >= bounds.top && y < bounds.bottom;
}

Painter::Clip SelectPopup::Bounds() const {
  if (!open()) return Painter::Clip{0, 0, 0, 0};
  const int rows = std::min(static_cast<int>(options_.size()), kVisibleItems);
  return Painter::Clip{left_, top_, left_ + width_, top_ + rows * rowHeight_ + 2 * kBorder};
}

bool SelectPopup::LooksLike(const SelectPopup& o) const {
  return select_ == o.select_ && highlight_ == o.highlight_ && first_ == o.first_ && left_ == o.left_ &&
         top_ == o.top_ && width_ == o.width_ && texts_ == o.texts_;
}

void SelectPopup::Paint(Painter& painter, const ComputedStyle& style, const Painter::Clip& clip) const {
  if (!open()) return;
  // The list is placed in CSS pixels; `clip` is in the bitmap's device
  // pixels.
  const Painter::Clip bounds = Bounds();
  const auto left = static_cast<float>(bounds.left), top = static_cast<float>(bounds.top);
  const auto right = static_cast<float>(bounds.right), bottom = static_cast<float>(bounds.bottom);
  const Painter::Clip device = painter.DeviceClip(left, top, right, bottom);
  const Painter::Clip area{std::max(device.left, clip.left), std::max(device.top, clip.top),
                           std::min(device.right, clip.right), std::min(device.bottom, clip.bottom)};
  if (area.empty()) return;
  const Painter::Clip text =
      painter.DeviceClip(left + static_cast<float>(kPadding), top, right - static_cast<float>(kPadding), bottom);
  const Color face = style.background.a == 255 ? style.background : kWhite;
  painter.FillRoundRect(left, top, right, bottom, 0, kFrame, area);
  painter.FillRoundRect(left + kBorder, top + kBorder, right - kBorder, bottom - kBorder, 0, face, area);
  const int last = std::min(static_cast<int>(options_.size()), first_ + kVisibleItems);
  for (int row = first_; row < last; ++row) {
    const float y = top + static_cast<float>(kBorder + (row - first_) * rowHeight_);
    const auto k = static_cast<std::size_t>(row);
    Color ink = disabled_[k] ? kGrey : style.color;
    if (row == highlight_) {
      painter.FillRoundRect(left + kBorder, y, right - kBorder, y + static_cast<float>(rowHeight_), 0, kHighlight,
                            area);
      ink = kWhite;
    }
    const Painter::Clip inner{std::max(area.left, text.left), area.top, std::min(area.right, text.right), area.bottom};
    painter.PaintText(left + kPadding, y + 2, texts_[k], style, ink, inner);
  }
}

}  // namespace halyx::engine
