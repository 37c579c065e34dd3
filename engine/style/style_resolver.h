// The cascade: computes every element's style from the engine's default
// sheet, the page's sheets in document order, and style attributes, by
// origin, !important, specificity and order, with inheritance from the
// parent.
//
// Rules are indexed by the rightmost compound's id, first class or tag, so
// an element is matched only against rules that could apply to it.
//
//   StyleResolver styles;
//   styles.SetSheets({CssParser::ParseSheet(css)});
//   styles.Resolve(doc, state, computed);  // computed[i] for element i
//
// Thread: GUI thread; owned by its view.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/style/computed_style.h"
#include "engine/dom/html_document.h"
#include "engine/style/selector_matcher.h"
#include "engine/style/style_sheet.h"

namespace halyx::engine {

class StyleResolver {
 public:
  StyleResolver();
  StyleResolver(const StyleResolver&) = delete;
  StyleResolver& operator=(const StyleResolver&) = delete;

  // The page's sheets, replacing earlier ones.
  void SetSheets(std::vector<StyleSheet> sheets);
  // Styles for every node: elements get theirs, text nodes and detached
  // nodes keep a default. `out` is resized to the document.
  void Resolve(const HtmlDocument& doc, const InteractionState& state, std::vector<ComputedStyle>& out) const;
  // Styles `element` and its subtree again from its parent's style in `out`,
  // keeping the rest, as Resolve would (no selector looks at later siblings
  // or descendants, so nothing outside the subtree depends on it). `out`
  // grows to the document; a detached element is left alone. Adds the
  // elements whose style changed to `changed`; true when the layout reads
  // any of them differently.
  bool ResolveSubtree(const HtmlDocument& doc, const InteractionState& state, int element,
                      std::vector<ComputedStyle>& out, std::vector<int>& changed) const;
  // Whether any rule depends on these pseudo-classes (hover changes need a
  // new style only then).
  bool Uses(std::uint8_t pseudo) const { return (usedPseudo_ & pseudo) != 0; }
  // Whether a rule depends on these pseudo-classes of an ancestor (left of
  // the subject, as in ".row:hover .name"); when none does, a change of
  // them needs only the elements whose state changed, see ResolveAlone.
  bool UsesAbove(std::uint8_t pseudo) const { return (ancestorPseudo_ & pseudo) != 0; }
  // Styles the element again alone. When its style comes out as before,
  // nothing below it can differ through it and false is the answer; else
  // its subtree is styled again as ResolveSubtree does (`relayout` is set
  // when layout reads something that changed) and the answer is true.
  bool ResolveAlone(const HtmlDocument& doc, const InteractionState& state, int element,
                    std::vector<ComputedStyle>& out, std::vector<int>& changed, bool& relayout) const;

 private:
  struct IndexedRule {
    const Selector* selector;
    const std::vector<Declaration>* declarations;
    unsigned order;
    bool author;
  };
  void Index();
  void ResolveElement(const HtmlDocument& doc, const SelectorMatcher& matcher, int element, const ComputedStyle& parent,
                      std::vector<ComputedStyle>& out, bool recurse = true) const;
  // True below an element with display: none (left unstyled, as in a whole
  // pass).
  static bool Hidden(const HtmlDocument& doc, int element, const std::vector<ComputedStyle>& out);

  StyleSheet defaults_;
  std::vector<StyleSheet> sheets_;
  std::unordered_map<std::string, std::vector<IndexedRule>> byId_, byClass_, byTag_;
  std::vector<IndexedRule> universal_;
  std::uint8_t usedPseudo_ = 0;
  std::uint8_t ancestorPseudo_ = 0;
};

}  // namespace halyx::engine
