#include "engine/layout/flex_layout.h"

#include <algorithm>
#include <string>

namespace halyx::engine {
namespace {

using Display = ComputedStyle::Display;
using Position = ComputedStyle::Position;
using Align = ComputedStyle::Align;

bool IsWhitespaceOnly(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; });
}

float Clamp(float value, float low, float high) { return std::max(low, std::min(value, high)); }

}  // namespace

FlexLayout::FlexLayout(LayoutEngine& engine, int element, float x, float y, float width, float height)
    : engine_(engine),
      element_(element),
      style_(engine.Style(element)),
      x_(x),
      y_(y),
      width_(width),
      height_(height),
      row_(!style_.flex_column),
      main_size_(row_ ? width : height),
      main_gap_(row_ ? style_.column_gap : style_.row_gap),
      cross_gap_(row_ ? style_.row_gap : style_.column_gap),
      cross_space_(row_ ? height : width) {}

float FlexLayout::Run() {
  for (int child : engine_.doc_.node(element_).children) {
    if (engine_.doc_.IsText(child)) {
      AddText(child);
    } else if (engine_.doc_.IsElement(child)) {
      AddElement(child);
    }
  }
  BreakLines();
  cross_cursor_ = row_ ? y_ : x_;
  for (const auto& [first, last] : lines_) {
    float auto_share = 0, lead = 0, between = 0;
    Resolve(first, last, auto_share, lead, between);
    float line_cross = Place(first, last, auto_share, lead, between);
    if (lines_.size() == 1 && cross_space_ >= 0) line_cross = cross_space_;
    AlignCross(first, last, line_cross);
    cross_cursor_ += line_cross + cross_gap_;
  }
  const float cross_total = lines_.empty() ? 0 : cross_cursor_ - cross_gap_ - (row_ ? y_ : x_);
  return row_ ? cross_total : main_extent_;
}

void FlexLayout::AddText(int child) {
  // Text directly in a flex container is an item of its own.
  if (IsWhitespaceOnly(engine_.doc_.node(child).text)) return;
  Item item;
  item.element = child;
  float line = 0;
  LayoutEngine::Intrinsic widths;
  engine_.InlineIntrinsic(child, line, widths);
  if (row_) {
    item.base = widths.max;
    item.min = widths.min;
  } else {
    item.base = engine_.LayoutInline(element_, {child}, x_, y_, width_);
    item.min = 0;
  }
  items_.push_back(item);
}

void FlexLayout::AddElement(int child) {
  const ComputedStyle& s = engine_.Style(child);
  if (s.display == Display::kNone) return;
  if (s.position == Position::kAbsolute || s.position == Position::kFixed) {
    const LayoutEngine::Absolute item{child, x_, y_};
    if (s.position == Position::kFixed || engine_.absolutes_.empty())
      engine_.fixed_.push_back(item);
    else
      engine_.absolutes_.back().push_back(item);
    return;
  }
  Item item;
  item.element = child;
  const LayoutEngine::Edges e = engine_.EdgesOf(child, width_);
  item.margin_before = row_ ? e.margin[3] : e.margin[0];
  item.margin_after = row_ ? e.margin[1] : e.margin[2];
  item.auto_before = row_ ? e.auto_margin[3] : e.auto_margin[0];
  item.auto_after = row_ ? e.auto_margin[1] : e.auto_margin[2];
  item.cross_before = row_ ? e.margin[0] : e.margin[3];
  item.cross_after = row_ ? e.margin[2] : e.margin[1];
  const float extra = row_ ? e.horizontal() : e.vertical();
  const Length& main_length = row_ ? s.width : s.height;
  const float basis_ref = std::max(main_size_, 0.0f);
  if (!s.basis.is_auto() && (s.basis.unit != Length::kPercent || main_size_ >= 0)) {
    item.base = s.basis.Resolve(basis_ref, s.font_size) + (s.border_box ? 0 : extra);
  } else if (!main_length.is_auto() && (main_length.unit != Length::kPercent || main_size_ >= 0)) {
    item.base = main_length.Resolve(basis_ref, s.font_size) + (s.border_box ? 0 : extra);
  } else if (row_) {
    item.base = engine_.IntrinsicWidths(child).max - item.margin_before - item.margin_after;
  } else {
    // Measured at the cross size it will get.
    const float cross_w = s.width.is_auto() && !engine_.IsAtom(child) ? width_ - e.margin[1] - e.margin[3] : -1;
    engine_.LayoutBlock(child, x_, y_, width_, -1, cross_w, -1);
    item.base = engine_.result_.boxes[static_cast<std::size_t>(child)].h;
  }
  const Length& min_length = row_ ? s.min_width : s.min_height;
  const Length& max_length = row_ ? s.max_width : s.max_height;
  if (!min_length.is_auto()) {
    item.min = min_length.Resolve(basis_ref, s.font_size) + (s.border_box ? 0 : extra);
  } else if (row_ && main_length.is_auto() && s.overflow == ComputedStyle::Overflow::kVisible) {
    // Items without a width of their own do not shrink below their
    // content's narrowest width; those with one may shrink to nothing.
    item.min = engine_.IntrinsicWidths(child).min - item.margin_before - item.margin_after;
  } else {
    item.min = extra;
  }
  if (!max_length.is_auto()) item.max = max_length.Resolve(basis_ref, s.font_size) + (s.border_box ? 0 : extra);
  item.base = Clamp(item.base, item.min, std::max(item.min, item.max));
  items_.push_back(item);
}

void FlexLayout::BreakLines() {
  std::size_t first = 0;
  float used = 0;
  for (std::size_t k = 0; k < items_.size(); ++k) {
    const float outer = items_[k].base + items_[k].margin_before + items_[k].margin_after;
    if (style_.flex_wrap && main_size_ >= 0 && k > first && used + main_gap_ + outer > main_size_ + 0.01f) {
      lines_.emplace_back(first, k);
      first = k;
      used = 0;
    }
    used += (k > first ? main_gap_ : 0) + outer;
  }
  if (first < items_.size()) lines_.emplace_back(first, items_.size());
}

void FlexLayout::Resolve(std::size_t first, std::size_t last, float& auto_share, float& lead, float& between) {
  // Resolves the flexible lengths.
  float used = 0;
  float grow = 0, shrink = 0;
  int auto_margins = 0;
  for (std::size_t k = first; k < last; ++k) {
    const Item& item = items_[k];
    used += item.base + item.margin_before + item.margin_after + (k > first ? main_gap_ : 0);
    grow += engine_.Style(item.element).grow;
    shrink += engine_.Style(item.element).shrink * item.base;
    auto_margins += (item.auto_before ? 1 : 0) + (item.auto_after ? 1 : 0);
  }
  const float free = main_size_ >= 0 ? main_size_ - used : 0;
  for (std::size_t k = first; k < last; ++k) {
    Item& item = items_[k];
    const ComputedStyle& s = engine_.Style(item.element);
    item.size = item.base;
    if (free > 0 && grow > 0) item.size += free * s.grow / grow;
    if (free < 0 && shrink > 0) item.size += free * s.shrink * item.base / shrink;
    item.size = Clamp(item.size, item.min, std::max(item.min, item.max));
  }
  float remaining = main_size_ >= 0 ? main_size_ : 0;
  for (std::size_t k = first; k < last; ++k) {
    remaining -= items_[k].size + items_[k].margin_before + items_[k].margin_after + (k > first ? main_gap_ : 0);
  }
  remaining = std::max(remaining, 0.0f);
  // Justification (auto margins take the free space first).
  const std::size_t n = last - first;
  lead = between = auto_share = 0;
  if (auto_margins > 0) {
    auto_share = remaining / static_cast<float>(auto_margins);
  } else {
    switch (style_.justify) {
      case Align::kEnd:
        lead = remaining;
        break;
      case Align::kCenter:
        lead = remaining / 2;
        break;
      case Align::kSpaceBetween:
        between = n > 1 ? remaining / static_cast<float>(n - 1) : 0;
        break;
      case Align::kSpaceAround:
        between = remaining / static_cast<float>(n);
        lead = between / 2;
        break;
      case Align::kSpaceEvenly:
        between = remaining / static_cast<float>(n + 1);
        lead = between;
        break;
      default:
        break;
    }
  }
}

float FlexLayout::Place(std::size_t first, std::size_t last, float auto_share, float lead, float between) {
  // Lays each item out at its main size; the cross size follows from it.
  float pen = (row_ ? x_ : y_) + lead;
  float line_cross = 0;
  for (std::size_t k = first; k < last; ++k) {
    Item& item = items_[k];
    const int child = item.element;
    const ComputedStyle& s = engine_.Style(child);
    if (item.auto_before) pen += auto_share;
    pen += item.margin_before;
    if (engine_.doc_.IsText(child)) {
      const float w = row_ ? item.size : width_;
      const float h =
          engine_.LayoutInline(element_, {child}, row_ ? pen : cross_cursor_, row_ ? cross_cursor_ : pen, w);
      LayoutBox& box = engine_.result_.boxes[static_cast<std::size_t>(child)];
      box.laid = true;
      box.x = row_ ? pen : cross_cursor_;
      box.y = row_ ? cross_cursor_ : pen;
      box.w = w;
      box.h = h;
      item.cross = row_ ? h : w;
      line_cross = std::max(line_cross, item.cross);
      pen += item.size + item.margin_after + main_gap_ + (k + 1 < last ? between : 0);
      continue;
    }
    const LayoutEngine::Edges e = engine_.EdgesOf(child, width_);
    if (row_) {
      engine_.LayoutBlock(child, pen - e.margin[3], cross_cursor_, width_, height_, item.size, -1);
    } else {
      const bool stretch_w =
          s.width.is_auto() && (s.has_align_self ? s.align_self : style_.align_items) == Align::kStretch;
      const float cross_w = stretch_w ? std::max(0.0f, width_ - e.margin[1] - e.margin[3]) : -1;
      engine_.LayoutBlock(child, cross_cursor_, pen - e.margin[0], width_, height_, cross_w, item.size);
    }
    const LayoutBox& box = engine_.result_.boxes[static_cast<std::size_t>(child)];
    item.cross = row_ ? box.h : box.w;
    line_cross = std::max(line_cross, item.cross + item.cross_before + item.cross_after);
    pen += item.size + item.margin_after + main_gap_ + (k + 1 < last ? between : 0);
    if (item.auto_after) pen += auto_share;
  }
  main_extent_ = std::max(main_extent_, pen - main_gap_ - (row_ ? x_ : y_));
  return line_cross;
}

void FlexLayout::AlignCross(std::size_t first, std::size_t last, float line_cross) {
  // Cross alignment.
  for (std::size_t k = first; k < last; ++k) {
    Item& item = items_[k];
    const int child = item.element;
    const ComputedStyle& s = engine_.Style(child);
    const Align align = s.has_align_self && !engine_.doc_.IsText(child) ? s.align_self : style_.align_items;
    const float room = line_cross - item.cross - item.cross_before - item.cross_after;
    const Length& cross_length = row_ ? s.height : s.width;
    if (align == Align::kStretch && cross_length.is_auto() && room > 0 && !engine_.doc_.IsText(child)) {
      const float stretched = item.cross + room;
      const bool container = s.display == Display::kFlex || s.display == Display::kInlineFlex;
      if (row_ && container && engine_.Spend()) {
        // A flex container needs its height to place its own items.
        const LayoutBox before = engine_.result_.boxes[static_cast<std::size_t>(child)];
        engine_.LayoutBlock(child, before.x - item.margin_before, cross_cursor_, width_, height_, before.w, stretched);
      } else if (row_) {
        engine_.result_.boxes[static_cast<std::size_t>(child)].h = stretched;
      }
      continue;
    }
    float offset = 0;
    if (align == Align::kCenter) offset = room / 2;
    if (align == Align::kEnd) offset = room;
    if (offset != 0) {
      if (row_)
        engine_.Shift(child, 0, offset);
      else
        engine_.Shift(child, offset, 0);
    }
  }
}

}  // namespace halyx::engine
