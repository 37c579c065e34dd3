#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/style/css_parser.h"

namespace halyx::testing {
namespace {

using engine::CssParser;
using engine::Selector;
using engine::StyleSheet;

// A selector written back in one canonical form, with its specificity as
// "ids,classes,types", so that a table row states the whole parse.
std::string Describe(const Selector& selector) {
  std::string out;
  for (const engine::CompoundSelector& part : selector.parts) {
    if (part.combinator == '>') out += " > ";
    if (part.combinator == ' ') out += ' ';
    out += part.tag;
    if (!part.id.empty()) out += '#' + part.id;
    for (const std::string& name : part.classes) out += '.' + name;
    for (const auto& [name, value] : part.attributes) {
      out += '[' + name + (value == "\x01" ? std::string() : '=' + value) + ']';
    }
    if (part.pseudo != 0) out += ":" + std::to_string(part.pseudo);
  }
  char specificity[32];
  std::snprintf(specificity, sizeof specificity, " (%u,%u,%u)", selector.specificity >> 16,
                (selector.specificity >> 8) & 0xff, selector.specificity & 0xff);
  return out + specificity;
}

std::string DescribeList(const std::string& text) {
  std::vector<Selector> selectors;
  if (!CssParser::ParseSelectors(text, selectors)) return "refused";
  std::string out;
  for (const Selector& selector : selectors) out += (out.empty() ? "" : ", ") + Describe(selector);
  return out;
}

// Selectors parse into compounds and combinators with their specificity;
// what the matcher cannot match is refused as a whole list.
TEST(EngineCssSelectors, SelectorsParseIntoCompoundsOrAreRefused) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"div", "div (0,0,1)"},
      {"DIV.Note", "div.Note (0,1,1)"},  // tags fold case, classes do not
      {"*", "* (0,0,0)"},
      {"#main .row > span", "#main .row > span (1,1,1)"},
      {"a  >  b", "a > b (0,0,2)"},
      {"ul li a", "ul li a (0,0,3)"},
      {"input[type=checkbox]:checked", "input[type=checkbox]:16 (0,2,1)"},
      {"[data-x='1'][hidden]", "[data-x=1][hidden] (0,2,0)"},
      {"[ Title = \"a b\" ]", "[title=a b] (0,1,0)"},
      {"li:first-child:hover", "li:33 (0,2,1)"},
      {"a:HOVER", "a:1 (0,1,1)"},
      {"h1, h2 ,.x", "h1 (0,0,1), h2 (0,0,1), .x (0,1,0)"},
      {"a + b", "refused"},
      {"a ~ b", "refused"},
      {"p::before", "refused"},
      {"a:not(.x)", "refused"},
      {"a:visited", "refused"},
      {"> a", "refused"},
      {"a >", "refused"},
      {"div*", "refused"},
      {".", "refused"},
      {"#", "refused"},
      {"[x", "refused"},
      {"h1,,h2", "refused"},
      {"h1, p + q", "refused"},  // one bad selector drops the list
      {"", "refused"},
      {"a b c d e f g h i j k l m n o p", "a b c d e f g h i j k l m n o p (0,0,16)"},
      {"a b c d e f g h i j k l m n o p q", "refused"},  // past kMaxCompounds
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeList(c.text), c.expected) << c.text;
}

// Declarations: property names fold case, values are trimmed, !important
// is taken off the value, and empty or nameless items are dropped.
TEST(EngineCssDeclarations, DeclarationsSplitAtSemicolonsOutsideParentheses) {
  struct Case {
    const char* text;
    const char* expected;  // property=value, '!' after an important one
  };
  const Case cases[] = {
      {"color: red", "color=red"},
      {"COLOR:Red;  margin : 0 auto ;", "color=Red margin=0 auto"},
      {"color: red !important; width: 1px ! important", "color=red! width=1px!"},
      {"color: red !ignored", "color=red"},
      {"background: url(data:image/png;base64,AAA); color: blue",
       "background=url(data:image/png;base64,AAA) color=blue"},
      {"color:; : red; width 3px; ;;", ""},
  };
  for (const Case& c : cases) {
    std::string out;
    for (const engine::Declaration& d : CssParser::ParseDeclarations(c.text)) {
      out += (out.empty() ? "" : " ") + d.property + '=' + d.value + (d.important ? "!" : "");
    }
    EXPECT_EQ(out, c.expected) << c.text;
  }
}

// Sheets: comments vanish, rules with refused selectors or no declarations
// are dropped, @media blocks count one level deep, other at-rules are
// skipped with their blocks or up to their semicolon, and an unclosed block
// ends the sheet.
TEST(EngineCssSheets, SheetsKeepTheRulesTheEngineCanApply) {
  struct Case {
    const char* css;
    const char* expected;  // each rule as "selectors{properties}"
  };
  const Case cases[] = {
      {"p { color: red } div{margin:0;padding:0}", "p{color} div{margin padding}"},
      {"/* p { color: red } */ a { color: blue }", "a{color}"},
      {"a /* between */ b { color: blue }", "a b{color}"},
      {"a + b { color: red } c { color: blue }", "c{color}"},
      {"p { } q { ; } r { color: red }", "r{color}"},
      {"@media screen { p { color: red } } q { color: blue }", "p{color} q{color}"},
      {"@media a { @media b { p { color: red } } q { color: green } } r { color: blue }", "q{color} r{color}"},
      {"@font-face { font-family: x } @keyframes k { from { top: 0 } } p { color: red }", "p{color}"},
      // Statement at-rules end at their semicolon; the rule after them stays.
      {"@import url(x.css); p { color: red }", "p{color}"},
      {"@charset \"utf-8\";@import 'a.css' screen;q { color: blue }", "q{color}"},
      {"p { color: red", "p{color}"},
      {"p { color: red } /* never closed", "p{color}"},
  };
  for (const Case& c : cases) {
    const StyleSheet sheet = CssParser::ParseSheet(c.css);
    std::string out;
    for (const engine::StyleRule& rule : sheet.rules) {
      std::string selectors;
      for (const Selector& s : rule.selectors) {
        std::string d = Describe(s);
        selectors += (selectors.empty() ? "" : ",") + d.substr(0, d.find(" ("));
      }
      std::string properties;
      for (const engine::Declaration& d : rule.declarations) properties += (properties.empty() ? "" : " ") + d.property;
      out += (out.empty() ? "" : " ") + selectors + '{' + properties + '}';
    }
    EXPECT_EQ(out, c.expected) << c.css;
  }
}

// A hostile sheet is bounded: rules past kMaxRules and text past
// kMaxSheetBytes are not read.
TEST(EngineCssSheets, HugeSheetsAreCutAtTheirLimits) {
  std::string many;
  for (std::size_t k = 0; k < CssParser::kMaxRules + 10; ++k) many += ".c" + std::to_string(k) + "{color:red}";
  EXPECT_EQ(CssParser::ParseSheet(many).rules.size(), CssParser::kMaxRules);

  const std::string padded(CssParser::kMaxSheetBytes - 12, ' ');
  const StyleSheet cut = CssParser::ParseSheet(padded + "p{color:red}q{color:blue}");
  ASSERT_EQ(cut.rules.size(), 1u);
  EXPECT_EQ(Describe(cut.rules[0].selectors[0]), "p (0,0,1)");
}

}  // namespace
}  // namespace halyx::testing
