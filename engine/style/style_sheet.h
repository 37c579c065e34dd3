// Parsed CSS: selectors, declarations and rules, as CssParser makes them and
// StyleResolver and SelectorMatcher read them.
//
// Thread: GUI thread; plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halyx::engine {

// Pseudo-classes a compound selector may require.
enum PseudoClass : std::uint8_t {
  kPseudoHover = 1,
  kPseudoActive = 2,
  kPseudoFocus = 4,
  kPseudoDisabled = 8,
  kPseudoChecked = 16,
  kPseudoFirstChild = 32,
  kPseudoLastChild = 64,
};

// One compound selector: `tag#id.class.class:hover`.
struct CompoundSelector {
  std::string tag;  // empty or "*" for any
  std::string id;
  std::vector<std::string> classes;
  std::vector<std::pair<std::string, std::string>> attributes;  // [name] or [name=value]
  std::uint8_t pseudo = 0;
  char combinator = 0;  // to the compound on its left: ' ' descendant, '>' child, 0 for the leftmost
};

struct Selector {
  std::vector<CompoundSelector> parts;  // left to right
  unsigned specificity = 0;             // ids << 16 | classes << 8 | types
  std::uint8_t pseudo = 0;              // every pseudo-class used in the selector
};

struct Declaration {
  std::string property;  // lower case
  std::string value;
  bool important = false;
};

struct StyleRule {
  std::vector<Selector> selectors;
  std::vector<Declaration> declarations;
};

struct StyleSheet {
  std::vector<StyleRule> rules;
};

}  // namespace halyx::engine
