#include "engine/style/selector_matcher.h"

#include <algorithm>

namespace halyx::engine {

bool SelectorMatcher::MatchesCompound(int element, const CompoundSelector& compound) const {
  if (!doc_.IsElement(element)) return false;
  const HtmlDocument::Node& node = doc_.node(element);
  if (!compound.tag.empty() && compound.tag != "*" && compound.tag != node.tag) return false;
  if (!compound.id.empty()) {
    const auto found = node.attributes.find("id");
    if (found == node.attributes.end() || found->second != compound.id) return false;
  }
  for (const std::string& name : compound.classes) {
    if (!doc_.HasClass(element, name)) return false;
  }
  for (const auto& [name, value] : compound.attributes) {
    const auto found = node.attributes.find(name);
    if (found == node.attributes.end()) return false;
    if (value != "\x01" && found->second != value) return false;
  }
  if (compound.pseudo == 0) return true;
  if ((compound.pseudo & kPseudoHover) != 0 && (state_.hover < 0 || !doc_.Contains(element, state_.hover)))
    return false;
  if ((compound.pseudo & kPseudoActive) != 0 && (state_.active < 0 || !doc_.Contains(element, state_.active)))
    return false;
  if ((compound.pseudo & kPseudoFocus) != 0 && state_.focus != element) return false;
  if ((compound.pseudo & kPseudoDisabled) != 0 && node.attributes.count("disabled") == 0) return false;
  if ((compound.pseudo & kPseudoChecked) != 0 && node.attributes.count("checked") == 0) return false;
  if ((compound.pseudo & (kPseudoFirstChild | kPseudoLastChild)) != 0) {
    if (node.parent < 0) return false;
    int first = -1, last = -1;
    for (int sibling : doc_.node(node.parent).children) {
      if (!doc_.IsElement(sibling)) continue;
      if (first < 0) first = sibling;
      last = sibling;
    }
    if ((compound.pseudo & kPseudoFirstChild) != 0 && first != element) return false;
    if ((compound.pseudo & kPseudoLastChild) != 0 && last != element) return false;
  }
  return true;
}

bool SelectorMatcher::MatchFrom(int element, const Selector& selector, int part, int& budget) const {
  if (--budget < 0) return false;
  const CompoundSelector& compound = selector.parts[static_cast<std::size_t>(part)];
  if (!MatchesCompound(element, compound)) return false;
  if (part == 0) return true;
  int ancestor = doc_.node(element).parent;
  if (compound.combinator == '>') return ancestor > 0 && MatchFrom(ancestor, selector, part - 1, budget);
  // The nearest ancestor that matches is taken and never retried: exact for
  // chains of descendant combinators, linear in the depth, and only a child
  // combinator further left can miss a match that a farther ancestor gave.
  const CompoundSelector& next = selector.parts[static_cast<std::size_t>(part - 1)];
  for (; ancestor > 0; ancestor = doc_.node(ancestor).parent) {
    if (--budget < 0) return false;
    if (MatchesCompound(ancestor, next)) return MatchFrom(ancestor, selector, part - 1, budget);
  }
  return false;
}

bool SelectorMatcher::Matches(int element, const Selector& selector) const {
  if (selector.parts.empty() || steps_ <= 0) return false;
  int budget = static_cast<int>(std::min<long long>(kStepBudget, steps_));
  const int start = budget;
  const bool match = MatchFrom(element, selector, static_cast<int>(selector.parts.size()) - 1, budget);
  steps_ -= start - std::max(budget, 0);
  return match;
}

bool SelectorMatcher::MatchesAny(int element, const std::vector<Selector>& selectors) const {
  for (const Selector& selector : selectors) {
    if (Matches(element, selector)) return true;
  }
  return false;
}

int SelectorMatcher::QueryFirst(int root, const std::vector<Selector>& selectors) const {
  if (!doc_.IsNode(root)) return -1;
  std::vector<int> stack(doc_.node(root).children.rbegin(), doc_.node(root).children.rend());
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    if (MatchesAny(at, selectors)) return at;
    const auto& children = doc_.node(at).children;
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return -1;
}

void SelectorMatcher::QueryAll(int root, const std::vector<Selector>& selectors, std::vector<int>& out) const {
  if (!doc_.IsNode(root)) return;
  std::vector<int> stack(doc_.node(root).children.rbegin(), doc_.node(root).children.rend());
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    if (MatchesAny(at, selectors)) out.push_back(at);
    const auto& children = doc_.node(at).children;
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
}

}  // namespace halyx::engine
