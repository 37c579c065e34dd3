#include "engine/dom/html_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <string_view>

namespace halyx::engine {
namespace {

const std::set<std::string> kVoidElements = {"area",  "base", "br",   "col",    "embed", "hr", "img",
                                             "input", "link", "meta", "source", "track", "wbr"};
// Elements whose content is text up to their own closing tag.
const std::set<std::string> kRawTextElements = {"script", "style", "title", "textarea"};
// Start tags that close an open <p>.
const std::set<std::string> kClosesParagraph = {
    "address", "article", "aside",  "div", "dl",   "fieldset", "footer", "form", "h1",  "h2",      "h3",    "h4",
    "h5",      "h6",      "header", "hr",  "main", "nav",      "ol",     "p",    "pre", "section", "table", "ul"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void AppendUtf8(std::string& out, unsigned long code) {
  if (code == 0 || (code >= 0xD800 && code < 0xE000) || code >= 0x110000) code = 0xFFFD;
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

// The farthest a reference's ';' may lie from its '&': the longest number,
// "&#1114111;", with a digit to spare; every name is shorter.
constexpr std::size_t kReferenceReach = 10;

std::string DecodeEntities(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    // A reference ends within a few characters or is none: searching the
    // rest of the text for every '&' made a page of ampersands quadratic.
    const std::size_t reach = std::string_view(text).substr(i, kReferenceReach + 1).find(';');
    const std::size_t end = reach == std::string_view::npos ? std::string::npos : i + reach;
    if (end == std::string::npos) {
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
    else if (name == "hellip")
      AppendUtf8(out, 0x2026);
    else if (name == "middot")
      AppendUtf8(out, 0xB7);
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits = name.substr(hex ? 2 : 1);
      const bool number = !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](unsigned char c) {
        return hex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
      });
      if (!number) {
        out += '&';
        continue;
      }
      AppendUtf8(out, std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10));
    } else {
      out += '&';
      continue;
    }
    i = end;
  }
  return out;
}

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

HtmlDocument HtmlParser::ParseDocument(const std::string& html) {
  HtmlDocument doc;
  Run(doc, 0, html, false);
  ImplyRoot(doc);
  return doc;
}

void HtmlParser::ImplyRoot(HtmlDocument& doc) {
  // Pages may leave out <html> and <body>; style sheets and scripts still
  // find them, as in browsers. Nodes move by hand: the nesting limit was
  // applied while parsing, and two more levels do no harm.
  auto find_child = [&](int parent, const char* tag) {
    for (int child : doc.nodes_[static_cast<std::size_t>(parent)].children) {
      if (doc.nodes_[static_cast<std::size_t>(child)].tag == tag) return child;
    }
    return -1;
  };
  auto adopt = [&](int parent, int from, int keep) {
    std::vector<int> moved;
    std::vector<int> kept;
    for (int child : doc.nodes_[static_cast<std::size_t>(from)].children) {
      (child == keep || child == parent || doc.nodes_[static_cast<std::size_t>(child)].tag == "head" ? kept : moved)
          .push_back(child);
    }
    doc.nodes_[static_cast<std::size_t>(from)].children = kept;
    for (int child : moved) {
      doc.nodes_[static_cast<std::size_t>(child)].parent = parent;
      doc.nodes_[static_cast<std::size_t>(parent)].children.push_back(child);
    }
  };
  int root = find_child(0, "html");
  if (root < 0) {
    HtmlDocument::Node html;
    html.tag = "html";
    root = doc.Append(0, std::move(html));
    adopt(root, 0, -1);
    // The head stays first, inside <html>.
    const int head = find_child(0, "head");
    if (head >= 0) {
      auto& top = doc.nodes_[0].children;
      top.erase(std::remove(top.begin(), top.end(), head), top.end());
      doc.nodes_[static_cast<std::size_t>(head)].parent = root;
      auto& children = doc.nodes_[static_cast<std::size_t>(root)].children;
      children.insert(children.begin(), head);
    }
  }
  if (find_child(root, "body") < 0) {
    HtmlDocument::Node body;
    body.tag = "body";
    const int index = doc.Append(root, std::move(body));
    adopt(index, root, index);
  }
}

void HtmlParser::ParseFragment(HtmlDocument& doc, int parent, const std::string& html) {
  if (!doc.IsElement(parent) && parent != 0) return;
  Run(doc, parent, html, true);
  // The new nodes are styled with their parent's subtree.
  doc.NoteParent(parent);
  if (parent > 0)
    doc.NoteElement(parent);
  else
    doc.changes_.everything = true;
  doc.Changed();
}

namespace {

// Reads a start tag's attributes from `p` (just past its name) to its '>'
// into `element`; answers where the '>' is (the end of the text when there is
// none) and whether the tag ends with "/>".
std::size_t ReadAttributes(const std::string& html, std::size_t p, HtmlDocument::Node& element, bool& self_closing) {
  const std::size_t n = html.size();
  self_closing = false;
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
  return p;
}

}  // namespace

std::size_t HtmlParser::ReadRawText(HtmlDocument& doc, int index, const std::string& tag, const std::string& html,
                                    std::size_t i, bool fragment) {
  const std::size_t n = html.size();
  // Raw text runs to the matching closing tag, whatever it contains.
  std::size_t end = i;
  while (true) {
    end = html.find("</", end);
    if (end == std::string::npos || Lower(html.substr(end + 2, tag.size())) == tag) break;
    end += 2;
  }
  const std::string body = html.substr(i, (end == std::string::npos ? n : end) - i);
  if (index >= 0 && !fragment && tag == "script") {
    doc.scripts_.push_back(HtmlDocument::Script{body, doc.Attribute(index, "src")});
  } else if (!fragment && tag == "title") {
    if (doc.title_.empty()) doc.title_ = CollapseSpace(DecodeEntities(body));
  } else if (!fragment && tag == "style") {
    doc.styles_.push_back(HtmlDocument::StyleSource{body, {}});
  } else if (index >= 0 && tag == "textarea") {
    if (doc.nodes_.size() >= HtmlDocument::kMaxNodes) {
      doc.truncated_ = true;
    } else {
      HtmlDocument::Node text;
      text.text = DecodeEntities(body);
      doc.Append(index, std::move(text));
    }
  }
  const std::size_t close = end == std::string::npos ? n : html.find('>', end);
  return close == std::string::npos ? n : close + 1;
}

void HtmlParser::Run(HtmlDocument& doc, int parent, const std::string& html, bool fragment) {
  std::vector<int> open = {parent};
  const std::size_t base_depth = doc.Depth(parent);
  std::size_t i = 0;
  const std::size_t n = html.size();
  auto full = [&]() {
    if (!doc.Full()) return false;
    doc.truncated_ = true;
    return true;
  };
  auto add_text = [&](const std::string& raw) {
    if (raw.empty() || full()) return;
    HtmlDocument::Node text;
    text.text = DecodeEntities(raw);
    doc.Append(open.back(), std::move(text));
  };
  auto close_open = [&](const std::string& tag, const std::set<std::string>& stops) {
    for (std::size_t k = open.size(); k-- > 1;) {
      const std::string& name = doc.nodes_[static_cast<std::size_t>(open[k])].tag;
      if (name == tag) {
        open.resize(k);
        return;
      }
      if (stops.count(name) != 0) return;
    }
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
    std::size_t p = i + 1;
    while (p < n && !std::isspace(static_cast<unsigned char>(html[p])) && html[p] != '>' && html[p] != '/') ++p;
    HtmlDocument::Node element;
    element.tag = Lower(html.substr(i + 1, p - i - 1));
    bool self_closing = false;
    p = ReadAttributes(html, p, element, self_closing);
    i = p < n ? p + 1 : n;
    const std::string tag = element.tag;
    if (tag == "li") close_open("li", {"ul", "ol"});
    if (tag == "option") close_open("option", {"select"});
    if (tag == "tr") close_open("tr", {"table", "tbody", "thead"});
    if (tag == "td" || tag == "th") {
      close_open("td", {"tr", "table"});
      close_open("th", {"tr", "table"});
    }
    if (kClosesParagraph.count(tag) != 0) close_open("p", {"div", "section", "li", "td", "button", "body"});
    const bool is_void = kVoidElements.count(tag) != 0 || self_closing;
    if (base_depth + open.size() > HtmlDocument::kMaxNesting && !is_void) {
      // Too deep: the innermost open element closes and the new one becomes
      // its sibling, so the depth stays bounded (style, layout and paint
      // recurse, and a hostile page nests as deep as it likes).
      if (open.size() > 1) open.pop_back();
      doc.flattened_ = true;
    }
    if (full()) {
      if (!is_void && kRawTextElements.count(tag) == 0) continue;
    }
    const bool stored = !doc.truncated_ || doc.nodes_.size() < HtmlDocument::kMaxNodes;
    const int index = stored ? doc.Append(open.back(), std::move(element)) : -1;
    if (is_void) {
      if (index >= 0 && tag == "link" && !fragment && Lower(doc.Attribute(index, "rel")) == "stylesheet" &&
          !doc.Attribute(index, "href").empty()) {
        doc.styles_.push_back(HtmlDocument::StyleSource{{}, doc.Attribute(index, "href")});
      }
      continue;
    }
    if (kRawTextElements.count(tag) != 0) {
      i = ReadRawText(doc, index, tag, html, i, fragment);
      continue;
    }
    if (index >= 0) open.push_back(index);
  }
}

}  // namespace halyx::engine
