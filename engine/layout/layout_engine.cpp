#include "engine/layout/layout_engine.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "base/utf8.h"
#include "engine/layout/flex_layout.h"
#include "engine/layout/inline_layout.h"

namespace halyx::engine {
namespace {

using Display = ComputedStyle::Display;
using Position = ComputedStyle::Position;
using Align = ComputedStyle::Align;

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f'; }

bool IsWhitespaceOnly(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; });
}

float Clamp(float value, float low, float high) { return std::max(low, std::min(value, high)); }

}  // namespace

const LayoutBox& LayoutResult::Box(int node) const {
  static const LayoutBox kNoBox;
  if (node < 0 || static_cast<std::size_t>(node) >= boxes.size()) return kNoBox;
  return boxes[static_cast<std::size_t>(node)];
}

int LayoutResult::RunCount(int node) const {
  if (node < 0 || static_cast<std::size_t>(node) >= runCount.size() ||
      static_cast<std::size_t>(node) >= firstRun.size()) {
    return 0;
  }
  return runCount[static_cast<std::size_t>(node)];
}

void LayoutResult::Fit(std::size_t nodes) {
  if (boxes.size() < nodes) boxes.resize(nodes);
  if (firstRun.size() < nodes) firstRun.resize(nodes, 0);
  if (runCount.size() < nodes) runCount.resize(nodes, 0);
}

int LayoutEngine::RunAt(const LayoutResult& layout, int element, int offset) {
  const int count = layout.RunCount(element);
  if (count == 0) return -1;
  int found = layout.FirstRun(element);
  for (int k = 1; k < count; ++k) {
    const int at = layout.FirstRun(element) + k;
    if (layout.runs[static_cast<std::size_t>(at)].offset > offset) break;
    found = at;
  }
  return found;
}

bool LayoutEngine::ControlText(const HtmlDocument& doc, int element, std::wstring& text, bool& placeholder) {
  if (!doc.IsElement(element)) return false;
  const std::string& tag = doc.node(element).tag;
  placeholder = false;
  if (tag == "input") {
    const std::string type = doc.Attribute(element, "type");
    if (type == "checkbox" || type == "radio" || type == "hidden") {
      text.clear();
      return true;
    }
    std::string value = doc.Attribute(element, "value");
    if (type == "password") value = std::string(value.size(), '*');
    // A file input is a button naming the picked file (its value is
    // "C:\fakepath\<name>"), or asking for one.
    if (type == "file") {
      const std::size_t slash = value.find_last_of("\\/");
      text =
          value.empty() ? L"Choose file..." : Utf8ToWide(slash == std::string::npos ? value : value.substr(slash + 1));
      return true;
    }
    if (value.empty() && type != "button" && type != "submit") {
      value = doc.Attribute(element, "placeholder");
      placeholder = !value.empty();
    }
    text = Utf8ToWide(value);
    return true;
  }
  if (tag == "select") {
    const int chosen = doc.SelectedOption(element);
    text = chosen < 0 ? std::wstring() : Utf8ToWide(doc.TextContent(chosen));
    return true;
  }
  if (tag == "textarea") {
    std::string value = doc.HasAttribute(element, "value") ? doc.Attribute(element, "value") : doc.TextContent(element);
    if (value.empty()) {
      value = doc.Attribute(element, "placeholder");
      placeholder = !value.empty();
    }
    text = Utf8ToWide(value);
    return true;
  }
  return false;
}

LayoutEngine::Edges LayoutEngine::EdgesOf(int element, float cb_width) const {
  const ComputedStyle& s = Style(element);
  Edges e{};
  for (int k = 0; k < 4; ++k) {
    e.auto_margin[k] = s.margin[k].is_auto();
    e.margin[k] = s.margin[k].Resolve(cb_width, s.font_size);
    e.padding[k] = std::max(0.0f, s.padding[k].Resolve(cb_width, s.font_size));
    e.border[k] = s.border_visible[k] ? s.border_width[k] : 0;
  }
  return e;
}

bool LayoutEngine::InFlow(int node) const {
  if (doc_.IsText(node)) return true;
  if (!doc_.IsElement(node)) return false;
  const ComputedStyle& s = Style(node);
  return s.display != Display::kNone && s.position != Position::kAbsolute && s.position != Position::kFixed;
}

bool LayoutEngine::IsAtom(int element) const {
  const ComputedStyle& s = Style(element);
  if (s.display == Display::kInlineBlock || s.display == Display::kInlineFlex) return true;
  const std::string& tag = doc_.node(element).tag;
  return s.display == Display::kInline &&
         (tag == "input" || tag == "select" || tag == "textarea" || tag == "img" || tag == "button");
}

const DecodedImage* LayoutEngine::ImageOf(int element) const {
  if (images_ == nullptr || doc_.node(element).tag != "img") return nullptr;
  const auto found = images_->find(doc_.Attribute(element, "src"));
  return found == images_->end() ? nullptr : &found->second;
}

bool LayoutEngine::ImageWidth(int element, float& width) const {
  const DecodedImage* image = ImageOf(element);
  if (image == nullptr) return false;
  const ComputedStyle& s = Style(element);
  width = static_cast<float>(image->width());
  if (!s.height.is_auto() && s.height.unit != Length::kPercent) {
    float height = s.height.Resolve(0, s.font_size);
    if (s.border_box) height -= EdgesOf(element, 0).vertical();
    width = std::max(0.0f, height) * static_cast<float>(image->width()) / static_cast<float>(image->height());
  }
  return true;
}

bool LayoutEngine::IsBlockLevel(int element) const {
  const Display d = Style(element).display;
  return d == Display::kBlock || d == Display::kFlex;
}

float LayoutEngine::MarginBoxHeight(int element) const {
  const LayoutBox& box = result_.boxes[static_cast<std::size_t>(element)];
  const ComputedStyle& s = Style(element);
  return box.h + s.margin[0].Resolve(0, s.font_size) + s.margin[2].Resolve(0, s.font_size);
}

float LayoutEngine::MarginBoxWidth(int element) const {
  const LayoutBox& box = result_.boxes[static_cast<std::size_t>(element)];
  const ComputedStyle& s = Style(element);
  return box.w + s.margin[1].Resolve(0, s.font_size) + s.margin[3].Resolve(0, s.font_size);
}

void LayoutEngine::AddRun(TextRun run) {
  const auto node = static_cast<std::size_t>(run.node);
  const int index = static_cast<int>(result_.runs.size());
  // A node laid out again (a flex item measured first) starts a new range.
  if (result_.runCount[node] == 0 || result_.firstRun[node] + result_.runCount[node] != index) {
    result_.firstRun[node] = index;
    result_.runCount[node] = 0;
  }
  ++result_.runCount[node];
  result_.runs.push_back(std::move(run));
}

void LayoutEngine::Shift(int node, float dx, float dy) {
  if (dx == 0 && dy == 0) return;
  std::vector<int> stack = {node};
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    const auto index = static_cast<std::size_t>(at);
    LayoutBox& box = result_.boxes[index];
    box.x += dx;
    box.y += dy;
    for (int k = 0; k < result_.runCount[index]; ++k) {
      TextRun& run = result_.runs[static_cast<std::size_t>(result_.firstRun[index] + k)];
      run.x += dx;
      run.y += dy;
    }
    const auto& children = doc_.node(at).children;
    stack.insert(stack.end(), children.begin(), children.end());
  }
}

LayoutResult LayoutEngine::Run(float width, float height) {
  fonts_.Trim();
  const std::size_t count = doc_.size();
  result_ = LayoutResult{};
  result_.boxes.assign(count, LayoutBox{});
  result_.firstRun.assign(count, 0);
  result_.runCount.assign(count, 0);
  intrinsic_.assign(count, Intrinsic{});
  intrinsicDone_.assign(count, 0);
  budget_ = static_cast<long long>(count) * 6 + 2000;
  textBudget_ = kTextBudget;
  textTaken_.assign(count, kTextNotRead);
  viewWidth_ = width;
  viewHeight_ = height;
  absolutes_.assign(1, {});
  fixed_.clear();
  LayoutBox& root = result_.boxes[0];
  root.laid = true;
  root.w = width;
  const float content = LayoutFlow(0, 0, 0, width);
  root.h = std::max(content, height);
  // Absolutely positioned boxes without a positioned ancestor sit in the
  // initial containing block, which scrolls with the page.
  std::vector<Absolute> top = std::move(absolutes_.front());
  absolutes_.clear();
  for (const Absolute& item : top) LayoutAbsolute(item, 0, 0, width, height);
  float bottom = content;
  for (std::size_t k = 1; k < count; ++k) {
    const LayoutBox& box = result_.boxes[k];
    if (box.laid && doc_.IsElement(static_cast<int>(k))) bottom = std::max(bottom, box.y + box.h);
  }
  result_.document_height = bottom;
  root.content_height = bottom;
  root.client_height = height;
  const auto scroll = scrolls_.find(0);
  if (scroll != scrolls_.end()) {
    const float offset = Clamp(scroll->second, 0, std::max(0.0f, bottom - height));
    root.scroll_top = offset;
    for (int child : doc_.node(0).children) Shift(child, 0, -offset);
  }
  std::vector<Absolute> fixed = std::move(fixed_);
  for (const Absolute& item : fixed) {
    const LayoutBox before = result_.boxes[static_cast<std::size_t>(item.element)];
    LayoutAbsolute(item, 0, 0, width, height);
    (void)before;
  }
  return std::move(result_);
}

LayoutEngine::Intrinsic LayoutEngine::IntrinsicWidths(int element) {
  const auto index = static_cast<std::size_t>(element);
  if (intrinsicDone_[index]) return intrinsic_[index];
  intrinsicDone_[index] = 1;  // a cycle cannot happen, but a re-entry answers zero
  const ComputedStyle& s = Style(element);
  const Edges e = EdgesOf(element, 0);
  const float extra = e.horizontal();
  const float margins = e.margin[1] + e.margin[3];
  Intrinsic result;
  std::wstring text;
  bool placeholder = false;
  if (s.width.unit == Length::kPx || s.width.unit == Length::kEm) {
    const float w = s.width.Resolve(0, s.font_size);
    result.min = result.max = s.border_box ? w : w + extra;
  } else if (float image_width = 0; s.width.is_auto() && ImageWidth(element, image_width)) {
    result.min = result.max = image_width + extra;
  } else if (ControlText(doc_, element, text, placeholder)) {
    FontCache::Font& font = fonts_.Get(s);
    result.min = result.max = static_cast<float>(fonts_.Measure(font, text)) + extra;
  } else if (s.display == Display::kFlex || s.display == Display::kInlineFlex) {
    float sum_max = 0, sum_min = 0, most_min = 0;
    int n = 0;
    for (int child : doc_.node(element).children) {
      if (!doc_.IsElement(child) || !InFlow(child)) continue;
      const Intrinsic sub = IntrinsicWidths(child);
      if (s.flex_column) {
        sum_max = std::max(sum_max, sub.max);
        sum_min = std::max(sum_min, sub.min);
      } else {
        sum_max += sub.max;
        sum_min += sub.min;
      }
      most_min = std::max(most_min, sub.min);
      ++n;
    }
    const float gaps = s.flex_column || n == 0 ? 0 : s.column_gap * static_cast<float>(n - 1);
    result.max = sum_max + gaps + extra;
    result.min = (s.flex_wrap ? most_min : sum_min + gaps) + extra;
  } else {
    float line = 0;
    Intrinsic content;
    for (int child : doc_.node(element).children) {
      if (!InFlow(child)) continue;
      if (doc_.IsElement(child) && IsBlockLevel(child)) {
        content.max = std::max(content.max, line);
        line = 0;
        const Intrinsic sub = IntrinsicWidths(child);
        content.max = std::max(content.max, sub.max);
        content.min = std::max(content.min, sub.min);
      } else {
        InlineIntrinsic(child, line, content);
      }
    }
    content.max = std::max(content.max, line);
    result.min = content.min + extra;
    result.max = content.max + extra;
  }
  if (!s.min_width.is_auto()) {
    const float m = s.min_width.Resolve(0, s.font_size) + (s.border_box ? 0 : extra);
    result.min = std::max(result.min, m);
    result.max = std::max(result.max, m);
  }
  if (s.max_width.unit == Length::kPx) {
    const float m = s.max_width.Resolve(0, s.font_size) + (s.border_box ? 0 : extra);
    result.max = std::min(result.max, m);
    result.min = std::min(result.min, m);
  }
  result.min = std::max(0.0f, result.min) + margins;
  result.max = std::max(result.min, result.max + margins);
  intrinsic_[index] = result;
  return result;
}

std::wstring LayoutEngine::TextOf(int node) {
  const std::string_view text = doc_.node(node).text;
  // A node's share is fixed at its first reading, so that measuring and
  // placing see the same text and a node read twice is not cut the second
  // time.
  std::size_t& take = textTaken_[static_cast<std::size_t>(node)];
  if (take == kTextNotRead) {
    take = std::min(textBudget_, text.size());
    // A cut inside a character would show as a replacement mark.
    while (take > 0 && take < text.size() && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) --take;
    textBudget_ -= take;
  }
  return Utf8ToWide(text.substr(0, take));
}

void LayoutEngine::InlineIntrinsic(int node, float& line, Intrinsic& out) {
  if (doc_.IsText(node)) {
    const int parent = doc_.node(node).parent;
    const ComputedStyle& s = Style(parent);
    FontCache::Font& font = fonts_.Get(s);
    const std::wstring text = TextOf(node);
    std::wstring word;
    const float space = static_cast<float>(fonts_.Measure(font, L" "));
    bool pending_space = false;
    auto flush = [&]() {
      if (word.empty()) return;
      const float w = static_cast<float>(fonts_.Measure(font, word));
      if (pending_space && line > 0) line += space;
      line += w;
      out.min = s.nowrap ? std::max(out.min, line) : std::max(out.min, w);
      word.clear();
      pending_space = false;
    };
    for (wchar_t c : text) {
      if (IsSpace(c)) {
        flush();
        pending_space = true;
      } else {
        word += c;
      }
    }
    flush();
    out.max = std::max(out.max, line);
    return;
  }
  if (!doc_.IsElement(node)) return;
  if (doc_.node(node).tag == "br") {
    out.max = std::max(out.max, line);
    line = 0;
    return;
  }
  if (IsAtom(node)) {
    const Intrinsic sub = IntrinsicWidths(node);
    line += sub.max;
    out.min = std::max(out.min, sub.min);
    out.max = std::max(out.max, line);
    return;
  }
  const Edges e = EdgesOf(node, 0);
  line += e.margin[3] + e.border[3] + e.padding[3];
  for (int child : doc_.node(node).children) {
    if (InFlow(child)) InlineIntrinsic(child, line, out);
  }
  line += e.margin[1] + e.border[1] + e.padding[1];
  out.max = std::max(out.max, line);
}

float LayoutEngine::ShrinkToFit(int element, float available) {
  const Intrinsic widths = IntrinsicWidths(element);
  const Edges e = EdgesOf(element, available);
  const float margins = e.margin[1] + e.margin[3];
  return std::max(0.0f, std::min(std::max(widths.min, available), widths.max) - margins);
}

void LayoutEngine::LayoutBlock(int element, float x, float y, float cb_width, float cb_height, float forced_width,
                               float forced_height) {
  Spend();
  const auto index = static_cast<std::size_t>(element);
  const ComputedStyle& s = Style(element);
  const Edges e = EdgesOf(element, cb_width);
  const float extra_w = e.horizontal();
  const float extra_h = e.vertical();
  auto to_border_w = [&](const Length& l) {
    const float v = l.Resolve(cb_width, s.font_size);
    return s.border_box ? v : v + extra_w;
  };
  float width = 0;
  float margin_left = e.margin[3];
  float image_width = 0;
  if (forced_width >= 0) {
    width = forced_width;
  } else if (!s.width.is_auto()) {
    width = to_border_w(s.width);
  } else if (ImageWidth(element, image_width)) {
    width = image_width + extra_w;
  } else if (IsAtom(element) || doc_.node(element).tag == "img" || s.position == Position::kAbsolute ||
             s.position == Position::kFixed) {
    width = ShrinkToFit(element, cb_width - e.margin[1] - e.margin[3]);
  } else {
    width = cb_width - e.margin[1] - e.margin[3];
  }
  if (forced_width < 0) {
    if (!s.max_width.is_auto()) width = std::min(width, to_border_w(s.max_width));
    if (!s.min_width.is_auto()) width = std::max(width, to_border_w(s.min_width));
  }
  width = std::max(width, extra_w);
  // Auto side margins of a block with a width centre it (or push it right).
  if (forced_width < 0 && !s.width.is_auto() && IsBlockLevel(element)) {
    const float free = cb_width - width - e.margin[1] - e.margin[3];
    if (free > 0 && e.auto_margin[1] && e.auto_margin[3])
      margin_left += free / 2;
    else if (free > 0 && e.auto_margin[3])
      margin_left += free;
  }
  LayoutBox& box = result_.boxes[index];
  box = LayoutBox{};
  box.laid = true;
  box.x = x + margin_left;
  box.y = y + e.margin[0];
  box.w = width;
  const bool positioned = s.position != Position::kStatic;
  if (positioned) absolutes_.emplace_back();

  const float content_x = box.x + e.border[3] + e.padding[3];
  const float content_y = box.y + e.border[0] + e.padding[0];
  const float content_w = std::max(0.0f, width - extra_w);
  float specified_h = -1;
  if (forced_height >= 0) {
    specified_h = forced_height;
  } else if (!s.height.is_auto() && (s.height.unit != Length::kPercent || cb_height >= 0)) {
    const float v = s.height.Resolve(std::max(cb_height, 0.0f), s.font_size);
    specified_h = s.border_box ? v : v + extra_h;
  }
  const float content_h_known = specified_h >= 0 ? std::max(0.0f, specified_h - extra_h) : -1;

  float content_h = 0;
  std::wstring text;
  bool placeholder = false;
  if (ControlText(doc_, element, text, placeholder)) {
    content_h = LayoutControl(element, text, placeholder, content_x, content_y, content_w, content_h_known);
  } else if (s.display == Display::kFlex || s.display == Display::kInlineFlex) {
    content_h = LayoutFlex(element, content_x, content_y, content_w, content_h_known);
  } else if (doc_.node(element).tag == "img") {
    const DecodedImage* image = ImageOf(element);
    content_h =
        image == nullptr ? 0 : content_w * static_cast<float>(image->height()) / static_cast<float>(image->width());
  } else {
    content_h = LayoutFlow(element, content_x, content_y, content_w);
    // A button's content sits in the middle of a button taller than it.
    if (doc_.node(element).tag == "button" && content_h_known > content_h) {
      for (int child : doc_.node(element).children) Shift(child, 0, (content_h_known - content_h) / 2);
    }
  }
  float height = specified_h >= 0 ? specified_h : content_h + extra_h;
  if (forced_height < 0) {
    auto to_border_h = [&](const Length& l) {
      const float v = l.Resolve(std::max(cb_height, 0.0f), s.font_size);
      return s.border_box ? v : v + extra_h;
    };
    if (!s.max_height.is_auto() && (s.max_height.unit != Length::kPercent || cb_height >= 0))
      height = std::min(height, to_border_h(s.max_height));
    if (!s.min_height.is_auto() && (s.min_height.unit != Length::kPercent || cb_height >= 0))
      height = std::max(height, to_border_h(s.min_height));
  }
  height = std::max(height, extra_h);
  box.h = height;

  if (positioned) {
    std::vector<Absolute> mine = std::move(absolutes_.back());
    absolutes_.pop_back();
    for (const Absolute& item : mine) {
      LayoutAbsolute(item, box.x + e.border[3], box.y + e.border[0], box.w - e.border[1] - e.border[3],
                     box.h - e.border[0] - e.border[2]);
    }
  }
  if (s.overflow != ComputedStyle::Overflow::kVisible) ScrollContent(element, e, content_y, content_h);
  if (s.position == Position::kRelative) OffsetRelative(element, cb_width, cb_height);
}

float LayoutEngine::LayoutControl(int element, const std::wstring& text, bool placeholder, float content_x,
                                  float content_y, float content_w, float content_h_known) {
  const ComputedStyle& s = Style(element);
  FontCache::Font& font = fonts_.Get(s);
  const float line = s.UsedLineHeight(static_cast<float>(font.height));
  const std::string type = doc_.Attribute(element, "type");
  if (doc_.node(element).tag == "textarea") {
    // One run per line of the value, from the top; lines wider than the
    // box are cut off by its clip rather than wrapped.
    std::size_t start = 0;
    int lines = 0;
    for (;;) {
      std::size_t end = text.find(L'\n', start);
      if (end == std::wstring::npos) end = text.size();
      TextRun run;
      run.node = element;
      run.element = element;
      run.text = text.substr(start, end - start);
      run.placeholder = placeholder;
      run.offset = static_cast<int>(start);
      run.w = static_cast<float>(fonts_.Measure(font, run.text));
      run.h = static_cast<float>(font.height);
      run.ascent = font.ascent;
      run.x = content_x;
      run.y = content_y + line * static_cast<float>(lines) + (line - run.h) / 2;
      AddRun(std::move(run));
      ++lines;
      if (end >= text.size()) break;
      start = end + 1;
    }
    return line * static_cast<float>(lines);
  }
  if (type == "checkbox" || type == "radio") return 0;
  TextRun run;
  run.node = element;
  run.element = element;
  run.text = text;
  run.placeholder = placeholder;
  run.w = static_cast<float>(fonts_.Measure(font, text));
  run.h = static_cast<float>(font.height);
  run.ascent = font.ascent;
  run.x = content_x;
  if (s.text_align == ComputedStyle::TextAlign::kCenter) run.x += (content_w - run.w) / 2;
  if (s.text_align == ComputedStyle::TextAlign::kRight) run.x += content_w - run.w;
  const float inner_h = content_h_known >= 0 ? content_h_known : line;
  run.y = content_y + (inner_h - run.h) / 2;
  AddRun(std::move(run));
  return line;
}

void LayoutEngine::ScrollContent(int element, const Edges& e, float content_y, float content_h) {
  const LayoutBox& box = result_.boxes[static_cast<std::size_t>(element)];
  const float height = box.h;
  const auto index = static_cast<std::size_t>(element);
  // What scrolls: the bottom of the lowest descendant, below the top.
  float bottom = content_y + content_h;
  std::vector<int> stack(doc_.node(element).children.begin(), doc_.node(element).children.end());
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    const LayoutBox& sub = result_.boxes[static_cast<std::size_t>(at)];
    if (sub.laid && doc_.IsElement(at)) bottom = std::max(bottom, sub.y + sub.h);
    const auto& children = doc_.node(at).children;
    stack.insert(stack.end(), children.begin(), children.end());
  }
  LayoutBox& laid = result_.boxes[index];
  laid.client_height = std::max(0.0f, height - e.border[0] - e.border[2]);
  laid.content_height = bottom + e.padding[2] - (box.y + e.border[0]);
  const auto scroll = scrolls_.find(element);
  if (scroll != scrolls_.end()) {
    const float offset = Clamp(scroll->second, 0, std::max(0.0f, laid.content_height - laid.client_height));
    laid.scroll_top = offset;
    for (int child : doc_.node(element).children) Shift(child, 0, -offset);
  }
}

void LayoutEngine::OffsetRelative(int element, float cb_width, float cb_height) {
  const ComputedStyle& s = Style(element);
  float dx = 0, dy = 0;
  if (!s.left.is_auto())
    dx = s.left.Resolve(cb_width, s.font_size);
  else if (!s.right.is_auto())
    dx = -s.right.Resolve(cb_width, s.font_size);
  if (!s.top.is_auto())
    dy = s.top.Resolve(std::max(cb_height, 0.0f), s.font_size);
  else if (!s.bottom.is_auto())
    dy = -s.bottom.Resolve(std::max(cb_height, 0.0f), s.font_size);
  Shift(element, dx, dy);
}

void LayoutEngine::LayoutAbsolute(const Absolute& item, float cb_x, float cb_y, float cb_width, float cb_height) {
  const int element = item.element;
  const ComputedStyle& s = Style(element);
  const Edges e = EdgesOf(element, cb_width);
  float forced_w = -1;
  if (s.width.is_auto() && !s.left.is_auto() && !s.right.is_auto()) {
    forced_w = std::max(0.0f, cb_width - s.left.Resolve(cb_width, s.font_size) -
                                  s.right.Resolve(cb_width, s.font_size) - e.margin[1] - e.margin[3]);
  }
  float forced_h = -1;
  if (s.height.is_auto() && !s.top.is_auto() && !s.bottom.is_auto()) {
    forced_h = std::max(0.0f, cb_height - s.top.Resolve(cb_height, s.font_size) -
                                  s.bottom.Resolve(cb_height, s.font_size) - e.margin[0] - e.margin[2]);
  }
  LayoutBlock(element, 0, 0, cb_width, cb_height, forced_w, forced_h);
  const LayoutBox& box = result_.boxes[static_cast<std::size_t>(element)];
  float x = item.static_x;
  float y = item.static_y;
  if (!s.left.is_auto())
    x = cb_x + s.left.Resolve(cb_width, s.font_size);
  else if (!s.right.is_auto())
    x = cb_x + cb_width - s.right.Resolve(cb_width, s.font_size) - box.w - e.margin[1] - e.margin[3];
  if (!s.top.is_auto())
    y = cb_y + s.top.Resolve(cb_height, s.font_size);
  else if (!s.bottom.is_auto())
    y = cb_y + cb_height - s.bottom.Resolve(cb_height, s.font_size) - box.h - e.margin[0] - e.margin[2];
  Shift(element, x - (box.x - e.margin[3]), y - (box.y - e.margin[0]));
}

float LayoutEngine::LayoutFlow(int element, float x, float y, float width) {
  float cursor = y;
  float previous_margin = 0;
  std::vector<int> inline_nodes;
  auto flush = [&]() {
    if (inline_nodes.empty()) return;
    const bool blank = std::all_of(inline_nodes.begin(), inline_nodes.end(), [&](int n) {
      return doc_.IsText(n) && IsWhitespaceOnly(doc_.node(n).text) && !Style(element).pre;
    });
    if (!blank) {
      cursor += LayoutInline(element, inline_nodes, x, cursor, width);
      previous_margin = 0;
    }
    inline_nodes.clear();
  };
  for (int child : doc_.node(element).children) {
    if (doc_.IsText(child)) {
      inline_nodes.push_back(child);
      continue;
    }
    if (!doc_.IsElement(child)) continue;
    const ComputedStyle& s = Style(child);
    if (s.display == Display::kNone) continue;
    if (s.position == Position::kAbsolute || s.position == Position::kFixed) {
      const Absolute item{child, x, cursor};
      if (s.position == Position::kFixed || absolutes_.empty()) {
        fixed_.push_back(item);
      } else {
        absolutes_.back().push_back(item);
      }
      continue;
    }
    if (!IsBlockLevel(child)) {
      inline_nodes.push_back(child);
      continue;
    }
    flush();
    const float top_margin = s.margin[0].Resolve(width, s.font_size);
    // Adjacent vertical margins collapse into the larger one.
    const float overlap = std::min(previous_margin, std::max(top_margin, 0.0f));
    LayoutBlock(child, x, cursor - overlap, width, -1, -1, -1);
    const LayoutBox& box = result_.boxes[static_cast<std::size_t>(child)];
    previous_margin = std::max(0.0f, s.margin[2].Resolve(width, s.font_size));
    cursor = box.y + box.h + previous_margin;
    if (s.position == Position::kRelative) {
      // Relative offsets do not move the flow.
      float dy = 0;
      if (!s.top.is_auto())
        dy = s.top.Resolve(0, s.font_size);
      else if (!s.bottom.is_auto())
        dy = -s.bottom.Resolve(0, s.font_size);
      cursor -= dy;
    }
  }
  flush();
  return std::max(0.0f, cursor - y);
}

float LayoutEngine::LayoutInline(int container, const std::vector<int>& nodes, float x, float y, float width) {
  return InlineLayout(*this, container, x, y, width).Run(nodes);
}

float LayoutEngine::LayoutFlex(int element, float x, float y, float width, float height) {
  return FlexLayout(*this, element, x, y, width, height).Run();
}

}  // namespace halyx::engine
