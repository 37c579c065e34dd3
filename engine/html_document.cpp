#include "engine/html_document.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

namespace halyx::engine {
namespace {

const std::set<std::string> kVoidElements = {"area",  "base", "br",   "col",    "embed", "hr", "img",
                                             "input", "link", "meta", "source", "track", "wbr"};
// Elements whose content is text up to their own closing tag.
const std::set<std::string> kRawTextElements = {"script", "style", "title", "textarea"};
const std::set<std::string> kBlockElements = {"address", "article", "aside", "blockquote", "body",   "button", "dd",
                                              "div",     "dl",      "dt",    "fieldset",   "footer", "form",   "h1",
                                              "h2",      "h3",      "h4",    "h5",         "h6",     "header", "hr",
                                              "html",    "li",      "main",  "nav",        "ol",     "p",      "pre",
                                              "section", "table",   "td",    "th",         "tr",     "ul"};
const std::set<std::string> kHiddenElements = {"head", "script", "style", "title", "template", "noscript"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x110000) {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::string DecodeEntities(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find(';', i);
    if (end == std::string::npos || end - i > 10) {
      out += '&';
      continue;
    }
    const std::string name = text.substr(i + 1, end - i - 1);
    if (name == "amp")
      out += '&';
    else if (name == "lt")
      out += '<';
    else if (name == "gt")
      out += '>';
    else if (name == "quot")
      out += '"';
    else if (name == "apos")
      out += '\'';
    else if (name == "nbsp")
      AppendUtf8(out, 0xA0);
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      AppendUtf8(out, std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
    } else {
      out += '&';
      continue;
    }
    i = end;
  }
  return out;
}

// Collapses runs of white space to one space, as a browser lays text out.
std::string CollapseSpace(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      space = !out.empty();
    } else {
      if (space) out += ' ';
      space = false;
      out += c;
    }
  }
  return out;
}

}  // namespace

HtmlDocument::HtmlDocument() { nodes_.push_back(Node{"#document", {}, {}, -1, {}}); }

int HtmlDocument::Append(int parent, Node node) {
  node.parent = parent;
  nodes_.push_back(std::move(node));
  const int index = static_cast<int>(nodes_.size() - 1);
  nodes_[static_cast<std::size_t>(parent)].children.push_back(index);
  return index;
}

HtmlDocument HtmlDocument::Parse(const std::string& html) {
  HtmlDocument doc;
  std::vector<int> open = {0};
  std::size_t i = 0;
  const std::size_t n = html.size();
  auto add_text = [&](const std::string& raw) {
    if (raw.empty()) return;
    Node text;
    text.text = DecodeEntities(raw);
    doc.Append(open.back(), std::move(text));
  };
  while (i < n) {
    const std::size_t lt = html.find('<', i);
    if (lt == std::string::npos) {
      add_text(html.substr(i));
      break;
    }
    add_text(html.substr(i, lt - i));
    i = lt;
    if (html.compare(i, 4, "<!--") == 0) {
      const std::size_t end = html.find("-->", i + 4);
      i = end == std::string::npos ? n : end + 3;
      continue;
    }
    if (i + 1 < n && (html[i + 1] == '!' || html[i + 1] == '?')) {
      const std::size_t end = html.find('>', i);
      i = end == std::string::npos ? n : end + 1;
      continue;
    }
    if (i + 1 < n && html[i + 1] == '/') {
      const std::size_t end = html.find('>', i);
      const std::string name = Lower(html.substr(i + 2, (end == std::string::npos ? n : end) - i - 2));
      i = end == std::string::npos ? n : end + 1;
      // Close the nearest open element of that name, and whatever was left
      // open inside it.
      for (std::size_t k = open.size(); k-- > 1;) {
        if (doc.nodes_[static_cast<std::size_t>(open[k])].tag == name) {
          open.resize(k);
          break;
        }
      }
      continue;
    }
    if (i + 1 >= n || !std::isalpha(static_cast<unsigned char>(html[i + 1]))) {
      add_text("<");
      ++i;
      continue;
    }
    // Start tag: name, then attributes up to '>'.
    std::size_t p = i + 1;
    while (p < n && !std::isspace(static_cast<unsigned char>(html[p])) && html[p] != '>' && html[p] != '/') ++p;
    Node element;
    element.tag = Lower(html.substr(i + 1, p - i - 1));
    bool self_closing = false;
    while (p < n && html[p] != '>') {
      if (std::isspace(static_cast<unsigned char>(html[p]))) {
        ++p;
        continue;
      }
      if (html[p] == '/') {
        self_closing = true;
        ++p;
        continue;
      }
      std::size_t name_end = p;
      while (name_end < n && !std::isspace(static_cast<unsigned char>(html[name_end])) && html[name_end] != '=' &&
             html[name_end] != '>' && html[name_end] != '/')
        ++name_end;
      const std::string name = Lower(html.substr(p, name_end - p));
      p = name_end;
      while (p < n && std::isspace(static_cast<unsigned char>(html[p]))) ++p;
      std::string value;
      if (p < n && html[p] == '=') {
        ++p;
        while (p < n && std::isspace(static_cast<unsigned char>(html[p]))) ++p;
        if (p < n && (html[p] == '"' || html[p] == '\'')) {
          const char quote = html[p];
          const std::size_t end = html.find(quote, p + 1);
          const std::size_t stop = end == std::string::npos ? n : end;
          value = html.substr(p + 1, stop - p - 1);
          p = end == std::string::npos ? n : end + 1;
        } else {
          const std::size_t start = p;
          while (p < n && !std::isspace(static_cast<unsigned char>(html[p])) && html[p] != '>') ++p;
          value = html.substr(start, p - start);
        }
      }
      if (!name.empty()) element.attributes.emplace(name, DecodeEntities(value));
    }
    i = p < n ? p + 1 : n;
    const std::string tag = element.tag;
    if (open.size() > kMaxNesting && kVoidElements.count(tag) == 0 && !self_closing) {
      // Too deep: the innermost open element closes and the new one becomes
      // its sibling, so the depth stays bounded (the tree's walks recurse,
      // and a hostile page nests as deep as it likes).
      open.pop_back();
      doc.flattened_ = true;
    }
    const int index = doc.Append(open.back(), std::move(element));
    if (kVoidElements.count(tag) != 0 || self_closing) continue;
    if (kRawTextElements.count(tag) != 0) {
      // Raw text runs to the matching closing tag, whatever it contains.
      std::size_t end = i;
      std::string lowered;
      while (true) {
        end = html.find("</", end);
        if (end == std::string::npos || Lower(html.substr(end + 2, tag.size())) == tag) break;
        end += 2;
      }
      const std::string body = html.substr(i, (end == std::string::npos ? n : end) - i);
      if (tag == "script") {
        doc.scripts_.push_back(Script{body, doc.Attribute(index, "src")});
      } else if (tag == "title") {
        if (doc.title_.empty()) doc.title_ = CollapseSpace(DecodeEntities(body));
      } else if (tag == "textarea") {
        Node text;
        text.text = DecodeEntities(body);
        doc.Append(index, std::move(text));
      }
      const std::size_t close = end == std::string::npos ? n : html.find('>', end);
      i = close == std::string::npos ? n : close + 1;
      continue;
    }
    open.push_back(index);
  }
  return doc;
}

bool HtmlDocument::IsElement(int index) const {
  return index > 0 && static_cast<std::size_t>(index) < nodes_.size() && !node(index).tag.empty();
}

int HtmlDocument::FindById(const std::string& id) const {
  for (std::size_t k = 1; k < nodes_.size(); ++k) {
    const auto found = nodes_[k].attributes.find("id");
    if (found != nodes_[k].attributes.end() && found->second == id) return static_cast<int>(k);
  }
  return -1;
}

std::string HtmlDocument::Attribute(int element, const std::string& name) const {
  if (!IsElement(element)) return {};
  const auto found = node(element).attributes.find(name);
  return found == node(element).attributes.end() ? std::string() : found->second;
}

void HtmlDocument::CollectText(int index, std::string& out) const {
  const Node& current = node(index);
  if (current.tag.empty()) out += current.text;
  for (int child : current.children) CollectText(child, out);
}

std::string HtmlDocument::TextContent(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= nodes_.size()) return {};
  std::string out;
  CollectText(index, out);
  return out;
}

void HtmlDocument::SetTextContent(int element, const std::string& text) {
  if (!IsElement(element)) return;
  // The old children stay in the node table, unreachable, so that indices
  // held by scripts never point at a different node.
  for (int child : nodes_[static_cast<std::size_t>(element)].children)
    nodes_[static_cast<std::size_t>(child)].parent = -1;
  nodes_[static_cast<std::size_t>(element)].children.clear();
  if (text.empty()) return;
  Node node_text;
  node_text.text = text;
  Append(element, std::move(node_text));
}

void HtmlDocument::CollectInlineText(int index, std::string& out) const {
  const Node& current = node(index);
  if (current.tag.empty()) {
    out += current.text;
    return;
  }
  if (current.tag == "br") out += '\n';
  if (kHiddenElements.count(current.tag) != 0 || kBlockElements.count(current.tag) != 0) return;
  for (int child : current.children) CollectInlineText(child, out);
}

void HtmlDocument::CollectBlocks(int index, std::vector<Block>& out) const {
  const Node& current = node(index);
  if (kHiddenElements.count(current.tag) != 0) return;
  const bool button =
      current.tag == "button" ||
      (current.tag == "input" && (Attribute(index, "type") == "button" || Attribute(index, "type") == "submit"));
  if (button) {
    std::string label = current.tag == "input" ? Attribute(index, "value") : TextContent(index);
    out.push_back(Block{index, true, false, CollapseSpace(label)});
    return;
  }
  // The block's own text: runs of text and inline elements between nested
  // blocks each make one line.
  std::string line;
  auto flush = [&]() {
    std::size_t start = 0;
    while (start <= line.size()) {
      const std::size_t end = std::min(line.find('\n', start), line.size());
      std::string part = CollapseSpace(line.substr(start, end - start));
      if (!part.empty()) {
        out.push_back(Block{index, false, current.tag.size() == 2 && current.tag[0] == 'h', std::move(part)});
      }
      start = end + 1;
    }
    line.clear();
  };
  for (int child : current.children) {
    const Node& sub = node(child);
    if (!sub.tag.empty() && (kBlockElements.count(sub.tag) != 0 || sub.tag == "input")) {
      flush();
      CollectBlocks(child, out);
    } else {
      CollectInlineText(child, line);
    }
  }
  flush();
}

std::vector<HtmlDocument::Block> HtmlDocument::Blocks() const {
  std::vector<Block> out;
  // Without a <body> element the whole document is the body.
  int body = 0;
  for (std::size_t k = 1; k < nodes_.size(); ++k) {
    if (nodes_[k].tag == "body") {
      body = static_cast<int>(k);
      break;
    }
  }
  CollectBlocks(body, out);
  return out;
}

}  // namespace halyx::engine
