// Decides whether an element matches a selector, given the document and the
// interaction state (hovered, pressed and focused elements).
//
// Matching runs right to left, taking the nearest matching ancestor for a
// descendant combinator, so one match is linear in the tree's depth. A
// hostile page can still pair thousands of long selectors with a deep tree:
// each match has a step budget, and so has the matcher as a whole (one
// style pass); past it, further selectors do not match and the page is
// styled less, in bounded time.
//
// Thread: GUI thread; borrows the document for its own lifetime.
#pragma once

#include "engine/dom/html_document.h"
#include "engine/style/style_sheet.h"

namespace halyx::engine {

// The elements the user points at, presses and types into; -1 for none.
struct InteractionState {
  int hover = -1;
  int active = -1;
  int focus = -1;
};

class SelectorMatcher {
 public:
  static constexpr int kStepBudget = 4096;
  static constexpr long long kTotalBudget = 20000000;

  SelectorMatcher(const HtmlDocument& doc, const InteractionState& state) : doc_(doc), state_(state) {}
  bool Matches(int element, const Selector& selector) const;
  // True for the first element under `root` (exclusive) in document order.
  int QueryFirst(int root, const std::vector<Selector>& selectors) const;
  void QueryAll(int root, const std::vector<Selector>& selectors, std::vector<int>& out) const;

 private:
  bool MatchesCompound(int element, const CompoundSelector& compound) const;
  bool MatchFrom(int element, const Selector& selector, int part, int& budget) const;
  bool MatchesAny(int element, const std::vector<Selector>& selectors) const;

  const HtmlDocument& doc_;
  InteractionState state_;
  mutable long long steps_ = kTotalBudget;
};

}  // namespace halyx::engine
