#include <string>

#include <gtest/gtest.h>

#include "engine/dom/html_document.h"

namespace halyx::testing {
namespace {

using engine::HtmlDocument;

// The tree under `node` in a compact form: elements as tag(children), text
// in quotes.
std::string Tree(const HtmlDocument& doc, int node) {
  std::string out;
  for (int child : doc.node(node).children) {
    if (!out.empty()) out += ' ';
    if (doc.IsText(child)) {
      out += '"' + doc.node(child).text + '"';
      continue;
    }
    out += doc.node(child).tag;
    const std::string inside = Tree(doc, child);
    if (!inside.empty()) out += '(' + inside + ')';
  }
  return out;
}

std::string BodyTree(const std::string& html) {
  const HtmlDocument doc = HtmlDocument::Parse(html);
  return Tree(doc, doc.Body());
}

// The forgiving parser builds the tree a browser would for the markup
// pages really use, including tags left open and closed out of order.
TEST(EngineHtmlParser, MarkupBecomesTheExpectedTree) {
  struct Case {
    const char* html;
    const char* expected;
  };
  const Case cases[] = {
      {"<div><p>a</p></div>", "div(p(\"a\"))"},
      {"<p>a<p>b", "p(\"a\") p(\"b\")"},
      {"<p>a<div>b</div>", "p(\"a\") div(\"b\")"},
      {"<ul><li>a<li>b</ul>", "ul(li(\"a\") li(\"b\"))"},
      {"<ul><li>a<ul><li>b</ul><li>c</ul>", "ul(li(\"a\" ul(li(\"b\"))) li(\"c\"))"},
      {"<table><tr><td>a<td>b<tr><td>c</table>", "table(tr(td(\"a\") td(\"b\")) tr(td(\"c\")))"},
      {"<select><option>a<option>b</select>", "select(option(\"a\") option(\"b\"))"},
      {"<div><span>x</div>y", "div(span(\"x\")) \"y\""},
      {"<b>x</i>y</b>", "b(\"x\" \"y\")"},
      {"a<br>b<br/>c<img src=x>", "\"a\" br \"b\" br \"c\" img"},
      {"<div/>after", "div \"after\""},
      {"<!-- <p>hidden</p> -->shown", "\"shown\""},
      {"<!DOCTYPE html><?xml x?>t", "\"t\""},
      {"a < b", "\"a \" \"<\" \" b\""},
      {"x &lt;&amp;&gt; &#65;&#x42; &nbsp;", "\"x <&> AB \xC2\xA0\""},
      {"&amp &unknown; &#1234567890123;", "\"&amp &unknown; &#1234567890123;\""},
      // Not numbers: the text stays; numbers past Unicode and surrogates are
      // the replacement character.
      {"&#xZZ; &#; &#x; &#12a;", "\"&#xZZ; &#; &#x; &#12a;\""},
      {"&#x110000;&#xD800;", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"<textarea><b>x</b> &amp;</textarea>", "textarea(\"<b>x</b> &\")"},
      {"<SPAN Class=a>x</span>", "span(\"x\")"},
  };
  for (const Case& c : cases) EXPECT_EQ(BodyTree(c.html), c.expected) << c.html;
}

// Attributes: quoted, unquoted or bare, names folded to lower case, values
// decoded; the first of a repeated name wins.
TEST(EngineHtmlParser, AttributesAreReadWithTheirValues) {
  const HtmlDocument doc = HtmlDocument::Parse(
      "<input id=a VALUE='one two' disabled data-x=\"&quot;q&quot;\" title=\"a>b\" type=text type=radio>");
  const int a = doc.FindById("a");
  ASSERT_GE(a, 0);
  EXPECT_EQ(doc.Attribute(a, "value"), "one two");
  EXPECT_TRUE(doc.HasAttribute(a, "disabled"));
  EXPECT_EQ(doc.Attribute(a, "disabled"), "");
  EXPECT_EQ(doc.Attribute(a, "data-x"), "\"q\"");
  EXPECT_EQ(doc.Attribute(a, "title"), "a>b");
  EXPECT_EQ(doc.Attribute(a, "type"), "text");
}

// Scripts, sheets and the title are collected in document order; raw text
// runs to its own closing tag whatever it holds.
TEST(EngineHtmlParser, ScriptsSheetsAndTheTitleAreCollected) {
  const HtmlDocument doc = HtmlDocument::Parse(
      "<title>  A  &amp;\n B </title><title>second</title>"
      "<style>p{color:red}</style><link rel=StyleSheet href=a.css><link rel=icon href=i.png>"
      "<script>var s = '</div><p>';</script><script src=x.js></script>"
      "<script>unclosed");
  EXPECT_EQ(doc.title(), "A & B");
  ASSERT_EQ(doc.styles().size(), 2u);
  EXPECT_EQ(doc.styles()[0].text, "p{color:red}");
  EXPECT_EQ(doc.styles()[1].href, "a.css");
  ASSERT_EQ(doc.scripts().size(), 3u);
  EXPECT_EQ(doc.scripts()[0].source, "var s = '</div><p>';");
  EXPECT_EQ(doc.scripts()[1].src, "x.js");
  EXPECT_EQ(doc.scripts()[2].source, "unclosed");
  // A fragment (innerHTML) adds no scripts or sheets of its own.
  HtmlDocument fragment = HtmlDocument::Parse("<div id=host></div>");
  fragment.SetTextContent(fragment.FindById("host"), "");
  EXPECT_TRUE(fragment.scripts().empty());
}

// Hostile markup stays bounded: nesting past kMaxNesting is flattened.
TEST(EngineHtmlParser, DeepNestingIsFlattened) {
  std::string html;
  for (std::size_t k = 0; k < HtmlDocument::kMaxNesting + 50; ++k) html += "<div>";
  html += "<span id=deep>x</span>";
  const HtmlDocument doc = HtmlDocument::Parse(html);
  EXPECT_TRUE(doc.flattened());
  const int deep = doc.FindById("deep");
  ASSERT_GE(deep, 0);
  // Below the root, html and body: at most kMaxNesting elements deep.
  EXPECT_LE(doc.Depth(deep), HtmlDocument::kMaxNesting + 2);
}

}  // namespace
}  // namespace halyx::testing
