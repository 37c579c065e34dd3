#include <string>

#include <gtest/gtest.h>

#include "engine/dom/html_document.h"
#include "engine/style/css_parser.h"
#include "engine/style/selector_matcher.h"
#include "styled_page.h"

namespace halyx::testing {
namespace {

const char kPage[] =
    "<div id=root class='page'>"
    "<ul id=list>"
    "<li id=one class='item first'>One</li>"
    "<li id=two class=item data-state=on>Two <a id=link href=x>go</a></li>"
    "<li id=three class='item  last' hidden>Three</li>"
    "</ul>"
    "<form id=form><input id=box type=checkbox checked><input id=off type=text disabled>"
    "<button id=go>Go</button></form>"
    "<p id=para><span id=inner><b id=bold>b</b></span></p>"
    "</div>";

// The ids of what the selector matches, in document order.
std::string Matches(const StyledPage& page, const std::string& selector) {
  std::string out;
  for (int element : page.FindAll(selector)) {
    out += (out.empty() ? "" : " ") + page.document().Attribute(element, "id");
  }
  return out;
}

struct MatchCase {
  const char* selector;
  const char* expected;
};

// Type, class, id and attribute tests, combinators and structural
// pseudo-classes pick exactly the elements a browser would.
TEST(EngineSelectorMatching, SelectorsMatchByTreeAndAttributes) {
  const StyledPage page(kPage);
  const MatchCase cases[] = {
      {"li", "one two three"},
      {".item.first", "one"},
      {".last", "three"},  // class lists split on any run of spaces
      {"#list > .item", "one two three"},
      {"div li", "one two three"},
      {"div > li", ""},
      {"ul > li > a", "link"},
      {"[data-state]", "two"},
      {"[data-state=on]", "two"},
      {"[data-state=off]", ""},
      {"li[hidden]", "three"},
      {"li:first-child", "one"},
      {"li:last-child", "three"},
      {"a:first-child", "link"},  // the text before it is not an element
      {"input:checked", "box"},
      {":disabled", "off"},
      {"form > :first-child", "box"},
      {"form :last-child", "go"},
      {"p b", "bold"},
      {"p > b", ""},
      {"span > b", "bold"},
      {"#inner, #para", "para inner"},
      {"*.item:last-child", "three"},
      {"#root .item > a", "link"},
      {"ul ul li", ""},
      {"li:hover", ""},  // nothing hovered
  };
  for (const MatchCase& c : cases) EXPECT_EQ(Matches(page, c.selector), c.expected) << c.selector;
}

// :hover and :active hold for the element and its ancestors, :focus only
// for the element itself.
TEST(EngineSelectorMatching, InteractionPseudoClassesFollowTheState) {
  engine::InteractionState state;
  const StyledPage probe(kPage);
  state.hover = probe.Find("#link");
  state.active = probe.Find("#bold");
  state.focus = probe.Find("#box");
  const StyledPage page(kPage, state);
  const MatchCase cases[] = {
      {"li:hover", "two"},    {"a:hover", "link"},  {"ul:hover > li", "one two three"},
      {"li:hover a", "link"}, {"p:active", "para"}, {"div:active", "root"},
      {"li:active", ""},      {":focus", "box"},    {"form:focus", ""},
      {"form :focus", "box"},
  };
  for (const MatchCase& c : cases) EXPECT_EQ(Matches(page, c.selector), c.expected) << c.selector;
}

// A detached node is never found by a query from the root.
TEST(EngineSelectorMatching, QueriesSeeOnlyTheTree) {
  engine::HtmlDocument doc = engine::HtmlDocument::Parse("<p id=a></p>");
  const int loose = doc.CreateElement("p");
  doc.SetAttribute(loose, "id", "loose");
  std::vector<engine::Selector> selectors;
  ASSERT_TRUE(engine::CssParser::ParseSelectors("p", selectors));
  std::vector<int> found;
  engine::SelectorMatcher(doc, {}).QueryAll(0, selectors, found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(doc.Attribute(found[0], "id"), "a");
  // Matching it directly still answers for the element itself.
  EXPECT_TRUE(engine::SelectorMatcher(doc, {}).Matches(loose, selectors[0]));
}

}  // namespace
}  // namespace halyx::testing
