// The engine's page model: a forgiving HTML parser and the element tree that
// scripts and the renderer share.
//
// Only what the engine offers pages is kept: elements with their attributes,
// text, the <title>, and the <script> blocks in document order. Styles are
// skipped. Elements are addressed by index, which scripts hold on to.
//
// Thread: GUI thread; owned by its view.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace halyx::engine {

class HtmlDocument {
 public:
  struct Node {
    std::string tag;   // lower case; empty for a text node
    std::string text;  // text nodes only
    std::map<std::string, std::string> attributes;
    int parent = -1;
    std::vector<int> children;
  };

  // A <script> block: inline source, or the src attribute as written.
  struct Script {
    std::string source;
    std::string src;
  };

  // One line of the rendering: a block element's own text (its inline
  // descendants included, nested blocks excluded) or a button.
  struct Block {
    int element = -1;
    bool button = false;
    bool heading = false;
    std::string text;
  };

  // Elements nest at most this deep; a deeper start tag closes the innermost
  // open element first.
  static constexpr std::size_t kMaxNesting = 256;

  HtmlDocument();
  static HtmlDocument Parse(const std::string& html);
  // True when the page nested deeper than kMaxNesting.
  bool flattened() const { return flattened_; }

  const std::string& title() const { return title_; }
  void set_title(const std::string& title) { title_ = title; }
  const std::vector<Script>& scripts() const { return scripts_; }

  // Index of the first element with this id, or -1.
  int FindById(const std::string& id) const;
  bool IsElement(int index) const;
  const Node& node(int index) const { return nodes_[static_cast<std::size_t>(index)]; }
  std::string Attribute(int element, const std::string& name) const;
  std::string TextContent(int index) const;
  // Replaces the element's children by one text node.
  void SetTextContent(int element, const std::string& text);

  std::vector<Block> Blocks() const;

 private:
  int Append(int parent, Node node);
  void CollectText(int index, std::string& out) const;
  void CollectBlocks(int index, std::vector<Block>& out) const;
  void CollectInlineText(int index, std::string& out) const;

  std::vector<Node> nodes_;  // 0 is the document root
  std::string title_;
  std::vector<Script> scripts_;
  bool flattened_ = false;
};

}  // namespace halyx::engine
