// The engine's page model: the node tree that the parser builds, scripts
// change, and style, layout and paint read.
//
// Nodes are addressed by index. A removed node stays in the table
// (detached, parent -1) while anything may still hold it; Reclaim() frees
// detached subtrees that nothing holds, and a freed slot is used again by a
// later node with its generation one higher, so that a holder that keeps the
// index and its generation (script does) never reaches the newer node.
// Every change bumps version(), so views know when to
// style and lay out again, and is noted in changes(), so that they restyle
// and lay out only what it touched.
//
// Limits, since every page is hostile: elements nest at most kMaxNesting
// levels (the parser flattens deeper ones, appendChild refuses them) and a
// document holds at most kMaxNodes nodes at once (later ones are dropped or
// refused).
//
// Thread: GUI thread; owned by its view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    std::uint32_t generation = 0;  // how often the slot was freed
    bool free = false;             // reclaimed, waiting for a new node
  };

  // A <script> block: inline source, or the src attribute as written.
  struct Script {
    std::string source;
    std::string src;
  };

  // A <style> block (text) or a <link rel=stylesheet> (href), in document
  // order.
  struct StyleSource {
    std::string text;
    std::string href;
  };

  // What changed since the view last took the changes: elements whose own
  // attributes changed or that were inserted (their subtrees need new
  // styles), parents whose child lists changed (structural pseudo-classes
  // of their children, and layout), and whether text or attributes that
  // layout reads changed. Past kMaxChangeList entries a list gives up and
  // `everything` asks for a whole restyle and layout.
  struct Changes {
    std::vector<int> elements;
    std::vector<int> parents;
    bool layout = false;
    bool everything = false;
    bool empty() const { return elements.empty() && parents.empty() && !layout && !everything; }
  };

  static constexpr std::size_t kMaxNesting = 256;
  static constexpr std::size_t kMaxChangeList = 64;
  static constexpr std::size_t kMaxNodes = 200000;

  HtmlDocument();
  // Parses a whole page (see HtmlParser).
  static HtmlDocument Parse(const std::string& html);

  // True when the page nested deeper than kMaxNesting.
  bool flattened() const { return flattened_; }
  void set_flattened() { flattened_ = true; }
  // True when the page had more than kMaxNodes nodes.
  bool truncated() const { return truncated_; }
  void set_truncated() { truncated_ = true; }
  unsigned version() const { return version_; }
  const Changes& changes() const { return changes_; }
  void ClearChanges() { changes_ = Changes{}; }

  const std::string& title() const { return title_; }
  void set_title(const std::string& title) { title_ = title; }
  const std::vector<Script>& scripts() const { return scripts_; }
  std::vector<Script>& scripts() { return scripts_; }
  const std::vector<StyleSource>& styles() const { return styles_; }
  std::vector<StyleSource>& styles() { return styles_; }

  // Slots in the table, freed ones included: arrays by node index have
  // this size.
  std::size_t size() const { return nodes_.size(); }
  // Nodes in use, attached or not.
  std::size_t live() const { return nodes_.size() - free_.size(); }
  bool IsNode(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < nodes_.size() &&
           !nodes_[static_cast<std::size_t>(index)].free;
  }
  // The slot's generation: a node index and its generation name one node
  // for good.
  std::uint32_t generation(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < nodes_.size()
               ? nodes_[static_cast<std::size_t>(index)].generation
               : 0;
  }
  bool IsElement(int index) const;
  bool IsText(int index) const { return index > 0 && IsNode(index) && node(index).tag.empty(); }
  const Node& node(int index) const { return nodes_[static_cast<std::size_t>(index)]; }
  // The <body> element, or the root when there is none.
  int Body() const;
  // Depth below the root (the root is 0).
  std::size_t Depth(int index) const;
  // True when `node` is `ancestor` or inside it.
  bool Contains(int ancestor, int node) const;

  // Index of the first attached element with this id, or -1.
  int FindById(const std::string& id) const;
  std::string Attribute(int element, const std::string& name) const;
  bool HasAttribute(int element, const std::string& name) const;
  void SetAttribute(int element, const std::string& name, const std::string& value);
  void RemoveAttribute(int element, const std::string& name);
  bool HasClass(int element, const std::string& name) const;

  // A select's option elements (its option children), the one it shows
  // (the last marked selected, else the first; -1 for none), and choosing
  // one (-1: none marked).
  std::vector<int> Options(int select) const;
  int SelectedOption(int select) const;
  void SelectOption(int select, int option);

  std::string TextContent(int index) const;
  // Replaces the element's children by one text node (none for "").
  void SetTextContent(int element, const std::string& text);
  void SetText(int text_node, const std::string& text);

  // New detached nodes; -1 once the document is full.
  int CreateElement(const std::string& tag);
  int CreateText(const std::string& text);
  // Moves `child` under `parent` before `before` (-1: at the end). False
  // when that would make a cycle, nest too deep or name a stranger.
  bool InsertBefore(int parent, int child, int before);
  bool RemoveChild(int parent, int child);
  void RemoveChildren(int element);

  // Frees every detached subtree none of whose nodes `held` (their holders:
  // script wrappers, focus, hover, an open list, ...) and answers the freed
  // indices. Their slots are reused by later nodes, one generation higher.
  std::vector<int> Reclaim(const std::function<bool(int)>& held);
  // The heap the node table and the page's sources take (see HeapBytesOf).
  std::size_t ApproximateBytes() const;
  // True while a detached subtree waits for Reclaim.
  bool HasDetached() const { return !detached_.empty(); }

 private:
  friend class HtmlParser;
  int Append(int parent, Node node);
  // A slot for a new node: a freed one, else a new one; -1 when `bounded`
  // and the table is full.
  int NewSlot(Node node, bool bounded);
  void NoteDetached(int root);
  bool Full() const { return nodes_.size() >= kMaxNodes && free_.empty(); }
  void CollectText(int index, std::string& out) const;
  void Changed() { ++version_; }
  void NoteElement(int element);
  void NoteParent(int parent);

  std::vector<Node> nodes_;    // 0 is the document root
  std::vector<int> free_;      // freed slots, reused last freed first
  std::vector<int> detached_;  // roots of subtrees taken out (some may be back)
  std::string title_;
  std::vector<Script> scripts_;
  std::vector<StyleSource> styles_;
  bool flattened_ = false;
  bool truncated_ = false;
  unsigned version_ = 1;
  Changes changes_;
};

}  // namespace halyx::engine
