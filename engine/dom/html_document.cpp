#include "engine/dom/html_document.h"

#include <algorithm>
#include <cctype>

#include "base/heap_bytes.h"
#include "engine/dom/html_parser.h"

namespace halyx::engine {
namespace {

// Attributes that decide a control's text or an image's size: changing one
// lays the page out again even when no style changed.
bool LayoutReads(const std::string& name) {
  return name == "value" || name == "placeholder" || name == "type" || name == "selected" || name == "src";
}

void NoteIn(std::vector<int>& list, int index, bool& everything) {
  if (everything || std::find(list.begin(), list.end(), index) != list.end()) return;
  if (list.size() >= HtmlDocument::kMaxChangeList) {
    everything = true;
    return;
  }
  list.push_back(index);
}

}  // namespace

HtmlDocument::HtmlDocument() { nodes_.push_back(Node{"#document", {}, {}, -1, {}}); }

HtmlDocument HtmlDocument::Parse(const std::string& html) { return HtmlParser::ParseDocument(html); }

int HtmlDocument::Append(int parent, Node node) {
  node.parent = parent;
  // The parser checks Full() itself, and the root elements it implies come
  // on top.
  int index = NewSlot(std::move(node), false);
  nodes_[static_cast<std::size_t>(parent)].children.push_back(index);
  return index;
}

int HtmlDocument::NewSlot(Node node, bool bounded) {
  if (!free_.empty()) {
    const int index = free_.back();
    free_.pop_back();
    Node& slot = nodes_[static_cast<std::size_t>(index)];
    node.generation = slot.generation;
    slot = std::move(node);
    return index;
  }
  if (bounded && nodes_.size() >= kMaxNodes) return -1;
  nodes_.push_back(std::move(node));
  return static_cast<int>(nodes_.size() - 1);
}

void HtmlDocument::NoteDetached(int root) {
  detached_.push_back(root);
  // A view that never renders never reclaims: nodes moved out and back
  // again and again may not grow the list past the table.
  if (detached_.size() < kMaxNodes) return;
  std::sort(detached_.begin(), detached_.end());
  detached_.erase(std::unique(detached_.begin(), detached_.end()), detached_.end());
  detached_.erase(std::remove_if(detached_.begin(), detached_.end(),
                                 [this](int index) { return !IsNode(index) || node(index).parent >= 0; }),
                  detached_.end());
}

std::vector<int> HtmlDocument::Reclaim(const std::function<bool(int)>& held) {
  std::vector<int> freed;
  std::sort(detached_.begin(), detached_.end());
  detached_.erase(std::unique(detached_.begin(), detached_.end()), detached_.end());
  std::vector<int> kept;
  std::vector<int> subtree;
  for (int root : detached_) {
    // Put back into a tree since, or already freed with another subtree.
    if (!IsNode(root) || root == 0 || node(root).parent >= 0) continue;
    subtree.assign(1, root);
    bool hold = false;
    for (std::size_t k = 0; k < subtree.size() && !hold; ++k) {
      hold = held(subtree[k]);
      const auto& children = node(subtree[k]).children;
      subtree.insert(subtree.end(), children.begin(), children.end());
    }
    if (hold) {
      kept.push_back(root);
      continue;
    }
    for (int index : subtree) {
      Node& slot = nodes_[static_cast<std::size_t>(index)];
      const std::uint32_t generation = slot.generation;
      slot = Node{};
      slot.free = true;
      // A slot whose generation would wrap is never used again.
      if (generation == UINT32_MAX) continue;
      slot.generation = generation + 1;
      free_.push_back(index);
      freed.push_back(index);
    }
  }
  detached_.swap(kept);
  if (!freed.empty()) {
    std::vector<int> sorted = freed;
    std::sort(sorted.begin(), sorted.end());
    auto gone = [&sorted](int index) { return std::binary_search(sorted.begin(), sorted.end(), index); };
    changes_.elements.erase(std::remove_if(changes_.elements.begin(), changes_.elements.end(), gone),
                            changes_.elements.end());
    changes_.parents.erase(std::remove_if(changes_.parents.begin(), changes_.parents.end(), gone),
                           changes_.parents.end());
  }
  return freed;
}

void HtmlDocument::NoteElement(int element) { NoteIn(changes_.elements, element, changes_.everything); }

void HtmlDocument::NoteParent(int parent) {
  changes_.layout = true;
  NoteIn(changes_.parents, parent, changes_.everything);
}

bool HtmlDocument::IsElement(int index) const { return index > 0 && IsNode(index) && !node(index).tag.empty(); }

std::size_t HtmlDocument::ApproximateBytes() const {
  // A map node: the tree's colour and three links, then the pair.
  constexpr std::size_t kAttributeNode = 4 * sizeof(void*) + 2 * sizeof(std::string);
  std::size_t bytes = HeapBytesOf(nodes_) + HeapBytesOf(free_) + HeapBytesOf(detached_) +
                      HeapBytesOf(changes_.elements) + HeapBytesOf(changes_.parents) + HeapBytesOf(title_);
  for (const Node& node : nodes_) {
    bytes += HeapBytesOf(node.tag) + HeapBytesOf(node.text) + HeapBytesOf(node.children) +
             node.attributes.size() * kAttributeNode;
    for (const auto& attribute : node.attributes) bytes += HeapBytesOf(attribute.first) + HeapBytesOf(attribute.second);
  }
  for (const Script& script : scripts_) bytes += HeapBytesOf(script.source) + HeapBytesOf(script.src);
  for (const StyleSource& style : styles_) bytes += HeapBytesOf(style.text) + HeapBytesOf(style.href);
  return bytes;
}

int HtmlDocument::Body() const {
  for (std::size_t k = 1; k < nodes_.size(); ++k) {
    if (nodes_[k].tag == "body" && nodes_[k].parent >= 0) return static_cast<int>(k);
  }
  return 0;
}

std::size_t HtmlDocument::Depth(int index) const {
  std::size_t depth = 0;
  while (IsNode(index) && index != 0 && node(index).parent >= 0) {
    index = node(index).parent;
    ++depth;
  }
  return depth;
}

bool HtmlDocument::Contains(int ancestor, int index) const {
  while (IsNode(index)) {
    if (index == ancestor) return true;
    index = node(index).parent;
  }
  return false;
}

int HtmlDocument::FindById(const std::string& id) const {
  for (std::size_t k = 1; k < nodes_.size(); ++k) {
    const auto found = nodes_[k].attributes.find("id");
    if (found != nodes_[k].attributes.end() && found->second == id && Contains(0, static_cast<int>(k))) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

std::string HtmlDocument::Attribute(int element, const std::string& name) const {
  if (!IsElement(element)) return {};
  const auto found = node(element).attributes.find(name);
  return found == node(element).attributes.end() ? std::string() : found->second;
}

bool HtmlDocument::HasAttribute(int element, const std::string& name) const {
  return IsElement(element) && node(element).attributes.count(name) != 0;
}

void HtmlDocument::SetAttribute(int element, const std::string& name, const std::string& value) {
  if (!IsElement(element) || name.empty()) return;
  auto& attributes = nodes_[static_cast<std::size_t>(element)].attributes;
  const auto found = attributes.find(name);
  if (found != attributes.end() && found->second == value) return;
  attributes[name] = value;
  NoteElement(element);
  if (LayoutReads(name)) changes_.layout = true;
  Changed();
}

void HtmlDocument::RemoveAttribute(int element, const std::string& name) {
  if (!IsElement(element)) return;
  if (nodes_[static_cast<std::size_t>(element)].attributes.erase(name) == 0) return;
  NoteElement(element);
  if (LayoutReads(name)) changes_.layout = true;
  Changed();
}

bool HtmlDocument::HasClass(int element, const std::string& name) const {
  const auto& attributes = node(element).attributes;
  const auto found = attributes.find("class");
  if (found == attributes.end()) return false;
  const std::string& list = found->second;
  std::size_t at = 0;
  while ((at = list.find(name, at)) != std::string::npos) {
    const bool starts = at == 0 || std::isspace(static_cast<unsigned char>(list[at - 1]));
    const std::size_t end = at + name.size();
    const bool ends = end == list.size() || std::isspace(static_cast<unsigned char>(list[end]));
    if (starts && ends) return true;
    at = end;
  }
  return false;
}

std::vector<int> HtmlDocument::Options(int select) const {
  std::vector<int> options;
  if (!IsElement(select)) return options;
  for (int child : node(select).children) {
    if (IsElement(child) && node(child).tag == "option") options.push_back(child);
  }
  return options;
}

int HtmlDocument::SelectedOption(int select) const {
  int chosen = -1;
  for (int option : Options(select)) {
    if (chosen < 0 || HasAttribute(option, "selected")) chosen = option;
  }
  return chosen;
}

void HtmlDocument::SelectOption(int select, int option) {
  for (int other : Options(select)) {
    if (other == option)
      SetAttribute(other, "selected", "");
    else
      RemoveAttribute(other, "selected");
  }
}

void HtmlDocument::CollectText(int index, std::string& out) const {
  const Node& current = node(index);
  if (current.tag.empty()) out += current.text;
  if (current.tag == "script" || current.tag == "style") return;
  for (int child : current.children) CollectText(child, out);
}

std::string HtmlDocument::TextContent(int index) const {
  if (!IsNode(index)) return {};
  std::string out;
  CollectText(index, out);
  return out;
}

void HtmlDocument::RemoveChildren(int element) {
  if (!IsElement(element) && element != 0) return;
  for (int child : nodes_[static_cast<std::size_t>(element)].children) {
    nodes_[static_cast<std::size_t>(child)].parent = -1;
    NoteDetached(child);
  }
  nodes_[static_cast<std::size_t>(element)].children.clear();
  NoteParent(element);
  Changed();
}

void HtmlDocument::SetTextContent(int element, const std::string& text) {
  if (IsText(element)) {
    SetText(element, text);
    return;
  }
  if (!IsElement(element)) return;
  // An element holding one text node keeps that node and only its text
  // changes: no node to make, none to reclaim.
  const std::vector<int>& children = nodes_[static_cast<std::size_t>(element)].children;
  if (!text.empty() && children.size() == 1 && IsText(children.front())) {
    SetText(children.front(), text);
    return;
  }
  RemoveChildren(element);
  if (text.empty()) return;
  const int node_text = CreateText(text);
  if (node_text >= 0) InsertBefore(element, node_text, -1);
}

void HtmlDocument::SetText(int text_node, const std::string& text) {
  if (!IsText(text_node) || nodes_[static_cast<std::size_t>(text_node)].text == text) return;
  nodes_[static_cast<std::size_t>(text_node)].text = text;
  changes_.layout = true;
  Changed();
}

int HtmlDocument::CreateElement(const std::string& tag) {
  if (tag.empty()) return -1;
  Node element;
  element.tag = tag;
  const int index = NewSlot(std::move(element), true);
  if (index >= 0) NoteDetached(index);
  return index;
}

int HtmlDocument::CreateText(const std::string& text) {
  Node node_text;
  node_text.text = text;
  const int index = NewSlot(std::move(node_text), true);
  if (index >= 0) NoteDetached(index);
  return index;
}

bool HtmlDocument::InsertBefore(int parent, int child, int before) {
  if ((!IsElement(parent) && parent != 0) || !IsNode(child) || child == 0 || Contains(child, parent)) return false;
  if (before >= 0 && (!IsNode(before) || node(before).parent != parent || before == child)) return false;
  // The moved subtree's own height counts against the nesting limit.
  std::size_t height = 0;
  std::vector<std::pair<int, std::size_t>> stack = {{child, 1}};
  while (!stack.empty()) {
    const auto [at, level] = stack.back();
    stack.pop_back();
    height = std::max(height, level);
    if (height > kMaxNesting) break;
    for (int sub : node(at).children) stack.emplace_back(sub, level + 1);
  }
  if (Depth(parent) + height > kMaxNesting) return false;
  const int old_parent = node(child).parent;
  if (old_parent >= 0) {
    auto& siblings = nodes_[static_cast<std::size_t>(old_parent)].children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), child), siblings.end());
  }
  auto& children = nodes_[static_cast<std::size_t>(parent)].children;
  const auto at = before < 0 ? children.end() : std::find(children.begin(), children.end(), before);
  children.insert(at, child);
  nodes_[static_cast<std::size_t>(child)].parent = parent;
  if (old_parent >= 0) NoteParent(old_parent);
  NoteParent(parent);
  if (IsElement(child)) NoteElement(child);
  Changed();
  return true;
}

bool HtmlDocument::RemoveChild(int parent, int child) {
  if (!IsNode(parent) || !IsNode(child) || node(child).parent != parent) return false;
  auto& siblings = nodes_[static_cast<std::size_t>(parent)].children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), child), siblings.end());
  nodes_[static_cast<std::size_t>(child)].parent = -1;
  NoteDetached(child);
  NoteParent(parent);
  Changed();
  return true;
}

}  // namespace halyx::engine
