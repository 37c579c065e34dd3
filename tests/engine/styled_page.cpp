#include "styled_page.h"

#include <cmath>

#include "engine/style/css_parser.h"

namespace halyx::testing {

using engine::CssParser;
using engine::HtmlDocument;
using engine::LayoutEngine;
using engine::Selector;
using engine::SelectorMatcher;
using engine::StyleSheet;

StyledPage::StyledPage(const std::string& html, const engine::InteractionState& state, float width, float height)
    : document_(HtmlDocument::Parse(html)), state_(state) {
  std::vector<StyleSheet> sheets;
  for (const HtmlDocument::StyleSource& source : document_.styles()) {
    if (source.href.empty()) sheets.push_back(CssParser::ParseSheet(source.text));
  }
  styles_.SetSheets(std::move(sheets));
  styles_.Resolve(document_, state_, computed_);
  LayoutEngine layout(document_, computed_, fonts_, scrolls_);
  layout_ = layout.Run(width, height);
}

int StyledPage::Find(const std::string& selector) const {
  std::vector<Selector> selectors;
  if (!CssParser::ParseSelectors(selector, selectors)) return -1;
  return SelectorMatcher(document_, state_).QueryFirst(0, selectors);
}

std::vector<int> StyledPage::FindAll(const std::string& selector) const {
  std::vector<Selector> selectors;
  std::vector<int> found;
  if (CssParser::ParseSelectors(selector, selectors)) SelectorMatcher(document_, state_).QueryAll(0, selectors, found);
  return found;
}

const engine::ComputedStyle& StyledPage::Style(const std::string& selector) const {
  const int element = Find(selector);
  if (element < 0 || static_cast<std::size_t>(element) >= computed_.size()) return initial_;
  return computed_[static_cast<std::size_t>(element)];
}

StyledPage::Rect StyledPage::Box(const std::string& selector) const {
  const int element = Find(selector);
  if (element < 0) return {};
  const engine::LayoutBox& box = layout_.Box(element);
  if (!box.laid) return {};
  auto round = [](float value) { return static_cast<int>(std::lround(value)); };
  return {round(box.x), round(box.y), round(box.w), round(box.h)};
}

}  // namespace halyx::testing
