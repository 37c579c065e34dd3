#include "engine/style/style_resolver.h"

#include <algorithm>
#include <cctype>

#include "engine/style/css_parser.h"

namespace halyx::engine {
namespace {

// The engine's own sheet: what elements look like before the page says.
const char kDefaultSheet[] = R"CSS(
html, body, div, p, h1, h2, h3, h4, h5, h6, ul, ol, li, section, header, footer, nav, main, article, aside,
form, fieldset, table, thead, tbody, tfoot, pre, blockquote, dl, dt, dd, figure, hr, address, details, summary
  { display: block }
head, script, style, title, meta, link, template, noscript, base, [hidden] { display: none }
body { margin: 8px }
p, ul, ol, dl, blockquote, pre { margin-top: 1em; margin-bottom: 1em }
h1 { font-size: 2em; margin-top: 0.67em; margin-bottom: 0.67em; font-weight: bold }
h2 { font-size: 1.5em; margin-top: 0.83em; margin-bottom: 0.83em; font-weight: bold }
h3 { font-size: 1.17em; margin-top: 1em; margin-bottom: 1em; font-weight: bold }
h4, h5, h6 { margin-top: 1.33em; margin-bottom: 1.33em; font-weight: bold }
h5 { font-size: 0.83em }
h6 { font-size: 0.67em }
ul, ol { padding-left: 40px }
blockquote { margin-left: 40px; margin-right: 40px }
b, strong, th { font-weight: bold }
i, em { font-style: italic }
small { font-size: smaller }
a { color: #0645ad; text-decoration: underline; cursor: pointer }
pre, code { font-family: monospace }
pre { white-space: pre }
hr { border-top: 1px solid #c8c8c8; margin-top: 8px; margin-bottom: 8px }
tr { display: flex }
td, th { display: block; flex: 1 1 0; padding: 2px }
img { display: inline-block }
button, input, select, textarea { display: inline-block; font-size: 13px; font-family: sans-serif }
button, input[type=button], input[type=submit], input[type=reset], input[type=file] {
  background: buttonface; color: buttontext; border: 1px solid #8a8a8a; border-radius: 3px; padding: 4px 12px;
  text-align: center; white-space: nowrap }
input, select, textarea { background: #ffffff; color: #202020; border: 1px solid #8a8a8a; padding: 3px 4px;
  width: 150px; white-space: nowrap }
textarea { height: 48px }
input[type=checkbox], input[type=radio] { width: 13px; height: 13px; padding: 0; margin: 3px 4px }
input[type=radio] { border-radius: 7px }
button:disabled, input:disabled { color: #8a8a8a }
)CSS";

}  // namespace

StyleResolver::StyleResolver() {
  defaults_ = CssParser::ParseSheet(kDefaultSheet);
  Index();
}

void StyleResolver::SetSheets(std::vector<StyleSheet> sheets) {
  sheets_ = std::move(sheets);
  Index();
}

void StyleResolver::Index() {
  byId_.clear();
  byClass_.clear();
  byTag_.clear();
  universal_.clear();
  usedPseudo_ = 0;
  ancestorPseudo_ = 0;
  unsigned order = 0;
  auto add = [&](const StyleSheet& sheet, bool author) {
    for (const StyleRule& rule : sheet.rules) {
      for (const Selector& selector : rule.selectors) {
        const IndexedRule indexed{&selector, &rule.declarations, order++, author};
        const CompoundSelector& last = selector.parts.back();
        usedPseudo_ |= selector.pseudo;
        for (std::size_t k = 0; k + 1 < selector.parts.size(); ++k) ancestorPseudo_ |= selector.parts[k].pseudo;
        if (!last.id.empty()) {
          byId_[last.id].push_back(indexed);
        } else if (!last.classes.empty()) {
          byClass_[last.classes.front()].push_back(indexed);
        } else if (!last.tag.empty() && last.tag != "*") {
          byTag_[last.tag].push_back(indexed);
        } else {
          universal_.push_back(indexed);
        }
      }
    }
  };
  add(defaults_, false);
  for (const StyleSheet& sheet : sheets_) add(sheet, true);
}

void StyleResolver::Resolve(const HtmlDocument& doc, const InteractionState& state,
                            std::vector<ComputedStyle>& out) const {
  out.assign(doc.size(), ComputedStyle{});
  SelectorMatcher matcher(doc, state);
  ComputedStyle root;
  root.display = ComputedStyle::Display::kBlock;
  root.font_size = 16;
  out[0] = root;
  for (int child : doc.node(0).children) {
    if (doc.IsElement(child)) ResolveElement(doc, matcher, child, out[0], out);
  }
}

bool StyleResolver::ResolveSubtree(const HtmlDocument& doc, const InteractionState& state, int element,
                                   std::vector<ComputedStyle>& out, std::vector<int>& changed) const {
  if (out.size() < doc.size()) out.resize(doc.size());
  if (!doc.IsElement(element) || !doc.Contains(0, element)) return false;
  const bool hidden = Hidden(doc, element, out);
  std::vector<std::pair<int, ComputedStyle>> before;
  std::vector<int> stack = {element};
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    ComputedStyle& style = out[static_cast<std::size_t>(at)];
    before.emplace_back(at, std::move(style));
    style = ComputedStyle{};
    const auto& children = doc.node(at).children;
    stack.insert(stack.end(), children.begin(), children.end());
  }
  if (!hidden) {
    SelectorMatcher matcher(doc, state);
    const int parent = doc.node(element).parent;
    ResolveElement(doc, matcher, element, out[static_cast<std::size_t>(parent)], out);
  }
  bool relayout = false;
  for (const auto& [at, old] : before) {
    const ComputedStyle& now = out[static_cast<std::size_t>(at)];
    const bool lays_out_alike = now.LaysOutLike(old);
    relayout = relayout || !lays_out_alike;
    if (!lays_out_alike || !now.PaintsLike(old)) changed.push_back(at);
  }
  return relayout;
}

bool StyleResolver::Hidden(const HtmlDocument& doc, int element, const std::vector<ComputedStyle>& out) {
  for (int at = doc.node(element).parent; at > 0; at = doc.node(at).parent) {
    if (out[static_cast<std::size_t>(at)].display == ComputedStyle::Display::kNone) return true;
  }
  return false;
}

bool StyleResolver::ResolveAlone(const HtmlDocument& doc, const InteractionState& state, int element,
                                 std::vector<ComputedStyle>& out, std::vector<int>& changed, bool& relayout) const {
  if (out.size() < doc.size()) out.resize(doc.size());
  if (!doc.IsElement(element) || !doc.Contains(0, element) || Hidden(doc, element, out)) return false;
  const auto index = static_cast<std::size_t>(element);
  const ComputedStyle before = out[index];
  SelectorMatcher matcher(doc, state);
  ResolveElement(doc, matcher, element, out[static_cast<std::size_t>(doc.node(element).parent)], out, false);
  const ComputedStyle& now = out[index];
  if (now.LaysOutLike(before) && now.PaintsLike(before) && now.cursor == before.cursor) return false;
  // Its descendants inherit from it: they are styled again with it.
  out[index] = before;
  if (ResolveSubtree(doc, state, element, out, changed)) relayout = true;
  return true;
}

void StyleResolver::ResolveElement(const HtmlDocument& doc, const SelectorMatcher& matcher, int element,
                                   const ComputedStyle& parent, std::vector<ComputedStyle>& out, bool recurse) const {
  const HtmlDocument::Node& node = doc.node(element);
  std::vector<const IndexedRule*> matched;
  auto consider = [&](const std::vector<IndexedRule>& rules) {
    for (const IndexedRule& rule : rules) {
      if (matcher.Matches(element, *rule.selector)) matched.push_back(&rule);
    }
  };
  auto bucket = [&](const std::unordered_map<std::string, std::vector<IndexedRule>>& map, const std::string& key) {
    const auto found = map.find(key);
    if (found != map.end()) consider(found->second);
  };
  consider(universal_);
  bucket(byTag_, node.tag);
  const auto id = node.attributes.find("id");
  if (id != node.attributes.end()) bucket(byId_, id->second);
  const auto classes = node.attributes.find("class");
  if (classes != node.attributes.end()) {
    std::vector<std::string> seen;
    const std::string& list = classes->second;
    std::size_t at = 0;
    while (at < list.size()) {
      while (at < list.size() && std::isspace(static_cast<unsigned char>(list[at]))) ++at;
      std::size_t end = at;
      while (end < list.size() && !std::isspace(static_cast<unsigned char>(list[end]))) ++end;
      if (end > at) {
        std::string name = list.substr(at, end - at);
        if (std::find(seen.begin(), seen.end(), name) == seen.end()) {
          bucket(byClass_, name);
          seen.push_back(std::move(name));
        }
      }
      at = end;
    }
  }
  std::sort(matched.begin(), matched.end(), [](const IndexedRule* a, const IndexedRule* b) {
    if (a->author != b->author) return !a->author;
    if (a->selector->specificity != b->selector->specificity)
      return a->selector->specificity < b->selector->specificity;
    return a->order < b->order;
  });
  ComputedStyle& style = out[static_cast<std::size_t>(element)];
  style = ComputedStyle::InheritFrom(parent);
  const auto inline_style = node.attributes.find("style");
  const std::vector<Declaration> inline_declarations = inline_style == node.attributes.end()
                                                           ? std::vector<Declaration>()
                                                           : CssParser::ParseDeclarations(inline_style->second);
  // Font size first: em lengths of the same element are relative to it.
  auto apply_all = [&](bool important) {
    for (int pass = 0; pass < 2; ++pass) {
      auto apply = [&](const Declaration& d) {
        if (d.important != important || (d.property == "font-size" || d.property == "font") != (pass == 0)) return;
        style.Apply(d, parent);
      };
      for (const IndexedRule* rule : matched) {
        for (const Declaration& d : *rule->declarations) apply(d);
      }
      for (const Declaration& d : inline_declarations) apply(d);
    }
  };
  apply_all(false);
  apply_all(true);
  if (style.display == ComputedStyle::Display::kNone || !recurse) return;
  for (int child : node.children) {
    if (doc.IsElement(child)) ResolveElement(doc, matcher, child, style, out);
  }
}

}  // namespace halyx::engine
