#include "engine/layout/inline_layout.h"

#include <algorithm>
#include <cwctype>

namespace halyx::engine {
namespace {

using Position = ComputedStyle::Position;

constexpr wchar_t kEllipsis[] = L"\x2026";

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f'; }

}  // namespace

InlineLayout::InlineLayout(LayoutEngine& engine, int container, float x, float y, float width)
    : engine_(engine), style_(engine.Style(container)), x_(x), y_(y), width_(width) {}

float InlineLayout::Run(const std::vector<int>& nodes) {
  Collect(nodes);
  BreakLines();
  FontCache::Font& strut_font = engine_.fonts_.Get(style_);
  strut_line_ = style_.UsedLineHeight(static_cast<float>(strut_font.height));
  strut_lead_ = (strut_line_ - static_cast<float>(strut_font.height)) / 2;
  strut_ascent_ = strut_font.ascent;
  float cursor = y_;
  for (const Line& line : lines_) {
    const float height = PlaceLine(line, cursor);
    if (height >= 0) cursor += height;
  }
  SetExtentBoxes();
  return cursor - y_;
}

void InlineLayout::Collect(const std::vector<int>& nodes) {
  // The nodes in document order; an inline element's end follows its
  // children.
  std::vector<std::pair<int, bool>> stack;
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) stack.emplace_back(*it, false);
  while (!stack.empty()) {
    const auto [node, closing] = stack.back();
    stack.pop_back();
    if (closing) {
      Item close;
      close.kind = Item::kClose;
      close.element = node;
      const LayoutEngine::Edges e = engine_.EdgesOf(node, width_);
      close.width = e.margin[1] + e.border[1] + e.padding[1];
      close.can_break = false;
      items_.push_back(close);
      continue;
    }
    if (engine_.doc_.IsText(node)) {
      AddText(node);
      continue;
    }
    if (!engine_.InFlow(node)) {
      if (engine_.doc_.IsElement(node) &&
          (engine_.Style(node).position == Position::kAbsolute || engine_.Style(node).position == Position::kFixed)) {
        const LayoutEngine::Absolute item{node, x_, y_};
        if (engine_.Style(node).position == Position::kFixed || engine_.absolutes_.empty())
          engine_.fixed_.push_back(item);
        else
          engine_.absolutes_.back().push_back(item);
      }
      continue;
    }
    if (engine_.doc_.node(node).tag == "br") {
      Item br;
      br.kind = Item::kBreak;
      items_.push_back(br);
      continue;
    }
    if (engine_.IsAtom(node) || engine_.IsBlockLevel(node)) {
      // Laid out now at the origin and moved into its line later.
      engine_.LayoutBlock(node, 0, 0, width_, -1, -1, -1);
      Item atom;
      atom.kind = Item::kAtom;
      atom.node = node;
      atom.element = node;
      atom.width = engine_.MarginBoxWidth(node);
      items_.push_back(atom);
      continue;
    }
    Item open;
    open.kind = Item::kOpen;
    open.element = node;
    const LayoutEngine::Edges e = engine_.EdgesOf(node, width_);
    open.width = e.margin[3] + e.border[3] + e.padding[3];
    open.can_break = false;
    items_.push_back(open);
    stack.emplace_back(node, true);
    const auto& children = engine_.doc_.node(node).children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, false);
  }
}

void InlineLayout::AddText(int node) {
  const int owner = engine_.doc_.node(node).parent;
  const ComputedStyle& s = engine_.Style(owner);
  FontCache::Font& font = engine_.fonts_.Get(s);
  std::wstring text = engine_.TextOf(node);
  if (s.uppercase) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(::towupper(c));
  }
  const float space = static_cast<float>(engine_.fonts_.Measure(font, L" "));
  std::size_t at = 0;
  bool leading_space = false;
  while (at < text.size()) {
    if (s.pre && text[at] == L'\n') {
      Item br;
      br.kind = Item::kBreak;
      items_.push_back(br);
      ++at;
      continue;
    }
    if (IsSpace(text[at]) && !s.pre) {
      leading_space = true;
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !(IsSpace(text[end]) && !s.pre) && text[end] != L'\n') ++end;
    if (leading_space && !items_.empty() && items_.back().kind == Item::kWord && items_.back().space == 0) {
      items_.back().space = space;
    } else if (leading_space && !items_.empty() && items_.back().kind != Item::kBreak) {
      // A space after an inline element's end or an atom: a word of its own.
      Item gap;
      gap.node = node;
      gap.element = owner;
      gap.font = &font;
      gap.space = space;
      gap.can_break = !s.nowrap;
      items_.push_back(gap);
    }
    leading_space = false;
    Item word;
    word.node = node;
    word.element = owner;
    word.font = &font;
    word.text = text.substr(at, end - at);
    word.width = static_cast<float>(engine_.fonts_.Measure(font, word.text));
    word.can_break = !s.nowrap;
    items_.push_back(std::move(word));
    at = end;
  }
  if (leading_space && !items_.empty() && items_.back().kind == Item::kWord && items_.back().space == 0) {
    items_.back().space = space;
  }
}

void InlineLayout::BreakLines() {
  Line line;
  float used = 0;
  bool has_content = false;
  for (std::size_t k = 0; k < items_.size(); ++k) {
    const Item& item = items_[k];
    if (item.kind == Item::kBreak) {
      line.last = k + 1;
      lines_.push_back(line);
      line.first = k + 1;
      used = 0;
      has_content = false;
      continue;
    }
    const bool breakable_before = k > line.first && items_[k - 1].can_break;
    if (has_content && breakable_before && (item.kind == Item::kWord || item.kind == Item::kAtom) &&
        used + item.width > width_ + 0.01f) {
      line.last = k;
      lines_.push_back(line);
      line.first = k;
      used = 0;
      has_content = false;
    }
    used += item.width + item.space;
    if (item.kind == Item::kWord || item.kind == Item::kAtom) has_content = true;
  }
  line.last = items_.size();
  if (line.last > line.first) lines_.push_back(line);
}

float InlineLayout::PlaceLine(const Line& line, float top) {
  // Baseline and height: text by its line height, atoms sit on the baseline.
  float ascent = strut_lead_ + static_cast<float>(strut_ascent_);
  float descent = strut_line_ - ascent;
  bool content = false;
  float line_width = 0;
  std::size_t last_visible = line.first;
  for (std::size_t k = line.first; k < line.last; ++k) {
    const Item& item = items_[k];
    line_width += item.width + item.space;
    if (item.kind == Item::kWord || item.kind == Item::kAtom) last_visible = k;
    if (item.kind == Item::kWord && item.font != nullptr) {
      const ComputedStyle& s = engine_.Style(item.element);
      const float lh = s.UsedLineHeight(static_cast<float>(item.font->height));
      const float lead = (lh - static_cast<float>(item.font->height)) / 2;
      ascent = std::max(ascent, lead + static_cast<float>(item.font->ascent));
      descent = std::max(descent, lh - lead - static_cast<float>(item.font->ascent));
      content = content || !item.text.empty();
    } else if (item.kind == Item::kAtom) {
      ascent = std::max(ascent, engine_.MarginBoxHeight(item.node));
      content = true;
    } else if (item.kind == Item::kOpen || item.kind == Item::kClose) {
      content = content || item.width > 0;
    }
  }
  if (!content && line.last > line.first && items_[line.last - 1].kind != Item::kBreak) return -1;
  // The trailing space of the line's last word does not count.
  if (last_visible < line.last) line_width -= items_[last_visible].space;
  for (std::size_t k = last_visible + 1; k < line.last; ++k) line_width -= items_[k].width + items_[k].space;
  float offset = 0;
  if (style_.text_align == ComputedStyle::TextAlign::kCenter) offset = std::max(0.0f, (width_ - line_width) / 2);
  if (style_.text_align == ComputedStyle::TextAlign::kRight) offset = std::max(0.0f, width_ - line_width);
  const bool cut =
      style_.ellipsis && style_.overflow != ComputedStyle::Overflow::kVisible && line_width > width_ + 0.5f;
  float pen = x_ + offset;
  const float baseline = top + ascent;
  std::vector<int> open_stack;
  for (std::size_t k = line.first; k < line.last; ++k) {
    const Item& item = items_[k];
    if (item.kind == Item::kOpen) {
      open_stack.push_back(item.element);
      const auto& font = engine_.fonts_.Get(engine_.Style(item.element));
      const LayoutEngine::Edges e = engine_.EdgesOf(item.element, width_);
      const float left = pen + e.margin[3];
      const float top = baseline - static_cast<float>(font.ascent) - e.padding[0] - e.border[0];
      const float bottom = baseline + static_cast<float>(font.descent) + e.padding[2] + e.border[2];
      auto found = extents_.find(item.element);
      if (found == extents_.end()) {
        extents_[item.element] = Extent{left, top, left, bottom};
      } else {
        found->second.top = std::min(found->second.top, top);
        found->second.bottom = std::max(found->second.bottom, bottom);
      }
    }
    float advance = item.width + item.space;
    if (item.kind == Item::kWord) {
      std::wstring text = item.text;
      float w = item.width;
      bool stop = false;
      if (cut && pen + w > x_ + width_ + 0.5f) {
        // The rest of the line does not fit: cut this word and end with
        // an ellipsis.
        const float ellipsis_w = static_cast<float>(engine_.fonts_.Measure(*item.font, kEllipsis));
        const int room = PixelOf(x_ + width_ - pen - ellipsis_w);
        text = text.substr(0, engine_.fonts_.Fit(*item.font, text, room)) + kEllipsis;
        w = static_cast<float>(engine_.fonts_.Measure(*item.font, text));
        stop = true;
      }
      if (!text.empty()) {
        TextRun run;
        run.node = item.node;
        run.element = item.element;
        run.text = std::move(text);
        run.x = pen;
        run.w = w;
        run.h = static_cast<float>(item.font->height);
        run.ascent = item.font->ascent;
        run.y = baseline - static_cast<float>(item.font->ascent);
        engine_.AddRun(std::move(run));
      }
      if (stop) break;
    } else if (item.kind == Item::kAtom) {
      const LayoutBox& box = engine_.result_.boxes[static_cast<std::size_t>(item.node)];
      const ComputedStyle& s = engine_.Style(item.node);
      const float ml = s.margin[3].Resolve(width_, s.font_size);
      const float mt = s.margin[0].Resolve(width_, s.font_size);
      const float target_y = baseline - engine_.MarginBoxHeight(item.node) + mt;
      engine_.Shift(item.node, pen + ml - box.x, target_y - box.y);
    }
    if (item.kind == Item::kWord || item.kind == Item::kAtom) {
      for (int open : open_stack) {
        Extent& extent = extents_[open];
        extent.right = std::max(extent.right, pen + item.width);
      }
    }
    if (item.kind == Item::kClose) {
      if (!open_stack.empty()) open_stack.pop_back();
      auto found = extents_.find(item.element);
      const LayoutEngine::Edges e = engine_.EdgesOf(item.element, width_);
      if (found != extents_.end()) found->second.right = std::max(found->second.right, pen + item.width - e.margin[1]);
    }
    pen += advance;
  }
  return ascent + descent;
}

void InlineLayout::SetExtentBoxes() {
  for (const auto& [element, extent] : extents_) {
    LayoutBox& box = engine_.result_.boxes[static_cast<std::size_t>(element)];
    box.laid = true;
    box.x = extent.left;
    box.y = extent.top;
    box.w = std::max(0.0f, extent.right - extent.left);
    box.h = std::max(0.0f, extent.bottom - extent.top);
  }
}

}  // namespace halyx::engine
