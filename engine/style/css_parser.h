// Parses CSS text into a StyleSheet, a style attribute into declarations,
// and selector text (for querySelector).
//
// What a rule may use is what SelectorMatcher and ComputedStyle understand;
// unknown at-rules are skipped with their blocks, and a rule with a selector
// that cannot be read is dropped as a whole, as browsers do. Hostile input
// is bounded: at most kMaxRules rules per sheet, kMaxCompounds compound
// selectors per selector, and a sheet longer than kMaxSheetBytes is cut.
//
// Thread: any; holds no state.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/style/style_sheet.h"

namespace halyx::engine {

class CssParser {
 public:
  static constexpr std::size_t kMaxRules = 4096;
  static constexpr std::size_t kMaxCompounds = 16;
  static constexpr std::size_t kMaxSheetBytes = 512 * 1024;

  static StyleSheet ParseSheet(const std::string& css);
  static std::vector<Declaration> ParseDeclarations(const std::string& text);
  // False when the text is not a selector list this engine can match.
  static bool ParseSelectors(const std::string& text, std::vector<Selector>& out);

 private:
  static void ParseRules(const std::string& css, StyleSheet& sheet, bool nested);
  static bool ParseSelector(const std::string& text, Selector& out);
};

}  // namespace halyx::engine
