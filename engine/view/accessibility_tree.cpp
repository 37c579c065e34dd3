#include "engine/view/accessibility_tree.h"

#include <cctype>

namespace halyx::engine {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

// Runs of whitespace become one space, none at either end; at most `limit`
// bytes.
std::string Collapse(const std::string& text, std::size_t limit = AccessibilityTree::kMaxName) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (IsSpace(c)) {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
    if (out.size() > limit) break;
  }
  CutUtf8(out, limit);
  if (!out.empty() && out.back() == ' ') out.pop_back();  // a cut just after a space
  return out;
}

bool HasText(const std::string& text) {
  for (char c : text) {
    if (!IsSpace(c)) return true;
  }
  return false;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The first token of a role attribute: the role the page asks for.
std::string FirstToken(const std::string& text) {
  const std::string collapsed = Collapse(text, 64);
  return Lower(collapsed.substr(0, collapsed.find(' ')));
}

}  // namespace

const ComputedStyle* AccessibilityTree::StyleOf(int node) const {
  if (node < 0 || static_cast<std::size_t>(node) >= styles_.size()) return nullptr;
  return &styles_[static_cast<std::size_t>(node)];
}

bool AccessibilityTree::HiddenSelf(int node) const {
  if (!doc_.IsElement(node)) return false;
  if (Lower(doc_.Attribute(node, "aria-hidden")) == "true") return true;
  if (doc_.node(node).tag == "input" && Lower(doc_.Attribute(node, "type")) == "hidden") return true;
  if (doc_.node(node).tag == "head" || doc_.node(node).tag == "script" || doc_.node(node).tag == "style" ||
      doc_.node(node).tag == "title") {
    return true;
  }
  const ComputedStyle* style = StyleOf(node);
  return style != nullptr && style->display == ComputedStyle::Display::kNone;
}

AccessibilityTree::Role AccessibilityTree::RoleOfElement(int element) const {
  const std::string role = FirstToken(doc_.Attribute(element, "role"));
  if (role == "button") return Role::kPushButton;
  if (role == "link") return Role::kLink;
  if (role == "checkbox" || role == "switch") return Role::kCheckBox;
  if (role == "radio") return Role::kRadio;
  if (role == "textbox" || role == "searchbox") return Role::kText;
  if (role == "combobox") return Role::kComboBox;
  if (role == "list" || role == "listbox") return Role::kList;
  if (role == "listitem" || role == "option") return Role::kListItem;
  if (role == "heading") return Role::kHeading;
  if (role == "group" || role == "region" || role == "radiogroup" || role == "toolbar" || role == "status" ||
      role == "alert" || role == "log") {
    return Role::kGrouping;
  }
  if (role == "img") return Role::kGraphic;
  if (role == "dialog" || role == "alertdialog") return Role::kDialog;
  if (role == "presentation" || role == "none") return Role::kNone;

  const HtmlDocument::Node& n = doc_.node(element);
  const std::string& tag = n.tag;
  if (tag == "button") return Role::kPushButton;
  if (tag == "input") {
    const std::string type = Lower(doc_.Attribute(element, "type"));
    // A file input draws a button and opens the open dialog when pressed;
    // nothing can be typed into it.
    if (type == "button" || type == "submit" || type == "reset" || type == "image" || type == "file") {
      return Role::kPushButton;
    }
    if (type == "checkbox") return Role::kCheckBox;
    if (type == "radio") return Role::kRadio;
    return Role::kText;
  }
  if (tag == "textarea") return Role::kText;
  if (tag == "select") return Role::kComboBox;
  if (tag == "a") return doc_.HasAttribute(element, "href") ? Role::kLink : Role::kNone;
  if (tag == "ul" || tag == "ol") return Role::kList;
  if (tag == "li") return Role::kListItem;
  if (tag.size() == 2 && tag[0] == 'h' && tag[1] >= '1' && tag[1] <= '6') return Role::kHeading;
  if (tag == "img") {
    // An image with an empty alt is decoration.
    return doc_.HasAttribute(element, "alt") && Collapse(doc_.Attribute(element, "alt")).empty() ? Role::kNone
                                                                                                 : Role::kGraphic;
  }
  if (tag == "fieldset") return Role::kGrouping;
  if (tag == "dialog") return Role::kDialog;
  // Other elements only group what they hold, unless the page names them,
  // makes them announce changes or lets the keyboard reach them.
  if (!Collapse(doc_.Attribute(element, "aria-label")).empty() || !LiveRegion(element).empty() ||
      doc_.HasAttribute(element, "tabindex")) {
    return Role::kGrouping;
  }
  return Role::kNone;
}

AccessibilityTree::Role AccessibilityTree::RoleOf(int node) const {
  if (node == 0) return Role::kDocument;
  if (doc_.IsText(node)) return HasText(doc_.node(node).text) ? Role::kStaticText : Role::kNone;
  if (!doc_.IsElement(node)) return Role::kNone;
  return RoleOfElement(node);
}

bool AccessibilityTree::IsLeaf(Role role) const {
  switch (role) {
    case Role::kPushButton:
    case Role::kLink:
    case Role::kCheckBox:
    case Role::kRadio:
    case Role::kText:
    case Role::kComboBox:
    case Role::kHeading:
    case Role::kStaticText:
    case Role::kGraphic:
      return true;
    default:
      return false;
  }
}

int AccessibilityTree::HeadingLevel(int node) const {
  if (RoleOf(node) != Role::kHeading) return 0;
  const std::string& tag = doc_.node(node).tag;
  if (tag.size() == 2 && tag[0] == 'h' && tag[1] >= '1' && tag[1] <= '6') return tag[1] - '0';
  const std::string level = Collapse(doc_.Attribute(node, "aria-level"), 8);
  if (level.size() == 1 && level[0] >= '1' && level[0] <= '6') return level[0] - '0';
  return 2;
}

bool AccessibilityTree::Exposed(int node) const {
  if (node == 0) return true;
  if (!doc_.IsNode(node) || !doc_.Contains(0, node)) return false;
  if (RoleOf(node) == Role::kNone || HiddenSelf(node)) return false;
  // Inside a hidden element or a leaf, a node is part of that one.
  for (int up = doc_.node(node).parent; up > 0; up = doc_.node(up).parent) {
    if (HiddenSelf(up) || IsLeaf(RoleOf(up))) return false;
  }
  return true;
}

int AccessibilityTree::Parent(int node) const {
  if (node == 0 || !Exposed(node)) return -1;
  for (int up = doc_.node(node).parent; up > 0; up = doc_.node(up).parent) {
    if (RoleOf(up) != Role::kNone) return up;
  }
  return 0;
}

void AccessibilityTree::CollectChildren(int node, std::vector<int>& out, int& budget) const {
  for (int child : doc_.node(node).children) {
    if (--budget < 0) return;
    if (HiddenSelf(child)) continue;
    const Role role = RoleOf(child);
    if (role != Role::kNone) {
      out.push_back(child);
    } else if (doc_.IsElement(child)) {
      CollectChildren(child, out, budget);
    }
  }
}

std::vector<int> AccessibilityTree::Children(int node) const {
  std::vector<int> out;
  if (!Exposed(node) || IsLeaf(RoleOf(node))) return out;
  // The whole document at most: a tree walk asks every node once.
  int budget = static_cast<int>(HtmlDocument::kMaxNodes);
  CollectChildren(node, out, budget);
  return out;
}

void AccessibilityTree::CollectText(int node, std::string& out, int& budget) const {
  if (--budget < 0 || out.size() >= kMaxName) return;
  if (doc_.IsText(node)) {
    out += doc_.node(node).text;
    return;
  }
  if (!doc_.IsElement(node) || HiddenSelf(node)) return;
  const std::string label = Collapse(doc_.Attribute(node, "aria-label"));
  const std::string& tag = doc_.node(node).tag;
  const ComputedStyle* style = StyleOf(node);
  // Blocks and flex items read as words of their own ("Hong Kong" "8 ms").
  const bool apart = style != nullptr && style->display != ComputedStyle::Display::kInline;
  if (apart) out += ' ';
  if (!label.empty()) {
    out += label;
  } else if (tag == "img") {
    out += doc_.Attribute(node, "alt");
  } else {
    for (int child : doc_.node(node).children) CollectText(child, out, budget);
  }
  if (apart) out += ' ';
}

std::string AccessibilityTree::TextOf(int node) const {
  std::string out;
  int budget = kMaxVisits;
  if (doc_.IsText(node)) return Collapse(doc_.node(node).text);
  for (int child : doc_.node(node).children) CollectText(child, out, budget);
  return Collapse(out);
}

std::string AccessibilityTree::LabelFor(int control) const {
  const std::string id = doc_.Attribute(control, "id");
  if (!id.empty()) {
    int budget = kMaxVisits;
    for (std::size_t k = 1; k < doc_.size() && --budget > 0; ++k) {
      const int label = static_cast<int>(k);
      if (doc_.IsElement(label) && doc_.node(label).tag == "label" && doc_.Attribute(label, "for") == id &&
          doc_.Contains(0, label)) {
        const std::string text = TextOf(label);
        if (!text.empty()) return text;
      }
    }
  }
  // A control inside its label.
  for (int up = doc_.node(control).parent; up > 0; up = doc_.node(up).parent) {
    if (doc_.node(up).tag == "label") return TextOf(up);
  }
  return {};
}

std::string AccessibilityTree::FileButtonText(int input) const {
  // What the button shows: the picked file's name, or the request for one.
  const std::string value = doc_.Attribute(input, "value");
  const std::size_t slash = value.find_last_of("\\/");
  const std::string picked = Collapse(slash == std::string::npos ? value : value.substr(slash + 1));
  return picked.empty() ? std::string("Choose file...") : picked;
}

std::string AccessibilityTree::LabelledBy(int element) const {
  const std::string ids = Collapse(doc_.Attribute(element, "aria-labelledby"), 256);
  std::string out;
  std::size_t at = 0;
  while (at < ids.size()) {
    std::size_t end = ids.find(' ', at);
    if (end == std::string::npos) end = ids.size();
    const int target = doc_.FindById(ids.substr(at, end - at));
    if (target > 0 && target != element) out += ' ' + TextOf(target);
    at = end + 1;
  }
  return Collapse(out);
}

bool AccessibilityTree::NameFromContent(int element, Role role) const {
  switch (role) {
    case Role::kPushButton:
      return doc_.node(element).tag != "input";
    case Role::kLink:
    case Role::kListItem:
    case Role::kHeading:
    case Role::kStaticText:
      return true;
    case Role::kCheckBox:
    case Role::kRadio:
      return doc_.node(element).tag != "input";
    case Role::kGrouping:
      // A live region reads out what it holds.
      return !LiveRegion(element).empty();
    default:
      return false;
  }
}

std::string AccessibilityTree::Name(int node) const {
  if (node == 0) return Collapse(doc_.title());
  if (doc_.IsText(node)) return Collapse(doc_.node(node).text);
  if (!doc_.IsElement(node)) return {};
  std::string name = Collapse(doc_.Attribute(node, "aria-label"));
  if (!name.empty()) return name;
  name = LabelledBy(node);
  if (!name.empty()) return name;
  const Role role = RoleOf(node);
  const std::string& tag = doc_.node(node).tag;
  const bool file = tag == "input" && Lower(doc_.Attribute(node, "type")) == "file";
  if (file) {
    // Its value is the picked file's path ("C:\fakepath\<name>"), no name.
    name = LabelFor(node);
  } else if (tag == "input" && role == Role::kPushButton) {
    name = Collapse(doc_.Attribute(node, "value"));
    if (name.empty()) name = Collapse(doc_.Attribute(node, "alt"));
  } else if (tag == "input" || tag == "select" || tag == "textarea") {
    name = LabelFor(node);
  } else if (tag == "img") {
    name = Collapse(doc_.Attribute(node, "alt"));
  } else if (tag == "fieldset") {
    for (int child : doc_.node(node).children) {
      if (doc_.IsElement(child) && doc_.node(child).tag == "legend") {
        name = TextOf(child);
        break;
      }
    }
  }
  if (name.empty() && NameFromContent(node, role)) name = TextOf(node);
  if (name.empty()) name = Collapse(doc_.Attribute(node, "title"));
  if (name.empty() && role == Role::kText) name = Collapse(doc_.Attribute(node, "placeholder"));
  if (name.empty() && file) name = FileButtonText(node);
  return name;
}

std::string AccessibilityTree::Value(int node) const {
  if (!doc_.IsElement(node)) return {};
  const std::string& tag = doc_.node(node).tag;
  if (tag == "select") {
    const int option = doc_.SelectedOption(node);
    return option > 0 ? TextOf(option) : std::string();
  }
  if (RoleOf(node) != Role::kText || Password(node)) return {};
  if (tag == "textarea") {
    std::string value = doc_.HasAttribute(node, "value") ? doc_.Attribute(node, "value") : TextOf(node);
    CutUtf8(value, kMaxName);
    return value;
  }
  std::string value = doc_.Attribute(node, "value");
  CutUtf8(value, kMaxName);
  return value;
}

bool AccessibilityTree::Checked(int node) const {
  if (!doc_.IsElement(node)) return false;
  const Role role = RoleOf(node);
  if (role != Role::kCheckBox && role != Role::kRadio) return false;
  if (doc_.node(node).tag == "input") return doc_.HasAttribute(node, "checked");
  return Lower(Collapse(doc_.Attribute(node, "aria-checked"), 8)) == "true";
}

bool AccessibilityTree::Pressed(int node) const {
  return doc_.IsElement(node) && RoleOf(node) == Role::kPushButton &&
         Lower(Collapse(doc_.Attribute(node, "aria-pressed"), 8)) == "true";
}

bool AccessibilityTree::Unavailable(int node) const {
  if (!doc_.IsElement(node)) return false;
  if (Lower(Collapse(doc_.Attribute(node, "aria-disabled"), 8)) == "true") return true;
  const std::string& tag = doc_.node(node).tag;
  const bool control = tag == "button" || tag == "input" || tag == "select" || tag == "textarea";
  return control && doc_.HasAttribute(node, "disabled");
}

bool AccessibilityTree::StyleHidden(int node) const {
  const int element = doc_.IsText(node) ? doc_.node(node).parent : node;
  const ComputedStyle* style = StyleOf(element);
  return style != nullptr && !style->visible;
}

bool AccessibilityTree::Password(int node) const {
  return doc_.IsElement(node) && doc_.node(node).tag == "input" && Lower(doc_.Attribute(node, "type")) == "password";
}

bool AccessibilityTree::ReadOnly(int node) const {
  return doc_.IsElement(node) && RoleOf(node) == Role::kText && doc_.HasAttribute(node, "readonly");
}

std::string AccessibilityTree::LiveRegion(int node) const {
  if (!doc_.IsElement(node)) return {};
  const std::string live = FirstToken(doc_.Attribute(node, "aria-live"));
  if (live == "polite" || live == "assertive") return live;
  // Roles that announce by themselves.
  const std::string role = FirstToken(doc_.Attribute(node, "role"));
  if (live.empty() && (role == "status" || role == "log")) return "polite";
  if (live.empty() && role == "alert") return "assertive";
  return {};
}

}  // namespace halyx::engine
