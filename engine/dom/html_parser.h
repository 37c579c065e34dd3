// A forgiving HTML parser: builds an HtmlDocument from a page, or parses a
// fragment (innerHTML) under an element of an existing document.
//
// It keeps what the engine offers pages: elements with their attributes,
// text with character references decoded, the <title>, <script> blocks and
// style sources (<style>, <link rel=stylesheet>) in document order. Start
// tags that cannot nest (p, li, option, tr, td, th) close an open one, as
// browsers do. Depth and node count stay within HtmlDocument's limits.
//
// Thread: any; holds no state between calls.
#pragma once

#include <string>

#include "engine/dom/html_document.h"

namespace halyx::engine {

class HtmlParser {
 public:
  static HtmlDocument ParseDocument(const std::string& html);
  // Appends the fragment's nodes to `parent`; scripts in it do not run, and
  // it adds no style sources.
  static void ParseFragment(HtmlDocument& doc, int parent, const std::string& html);

 private:
  static void Run(HtmlDocument& doc, int parent, const std::string& html, bool fragment);
  // The text of a script, style, title or textarea element (made at `index`,
  // -1 when the document is full) from `i` to its closing tag; answers where
  // reading goes on.
  static std::size_t ReadRawText(HtmlDocument& doc, int index, const std::string& tag, const std::string& html,
                                 std::size_t i, bool fragment);
  static void ImplyRoot(HtmlDocument& doc);
};

}  // namespace halyx::engine
