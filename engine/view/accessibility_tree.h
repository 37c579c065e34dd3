// What assistive technology sees of a page: which nodes are in its tree,
// their roles, names, values and the states that the page's markup and
// styles decide, computed over the document and its computed styles alone.
//
// The tree keeps the meaningful elements (controls, links, lists, headings,
// images, groups and whatever a `role`, `aria-label` or `aria-live` makes
// meaningful) and the text between them; other elements are transparent and
// their children take their place. `aria-hidden="true"`, `display: none`,
// `hidden` inputs and `role="presentation"`/`"none"` take an element (and,
// but for the last, its subtree) out. Controls, links, headings, images and
// texts are leaves: what is inside them is their name.
//
//   AccessibilityTree tree(document, styles);
//   for (int child : tree.Children(0)) use(tree.RoleOf(child), tree.Name(child));
//
// Every page is hostile: a name is cut at kMaxName bytes, and working one
// out visits at most kMaxVisits nodes.
//
// Ownership: reads the document and styles, which must outlive it.
// Thread: GUI thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/dom/html_document.h"
#include "engine/style/computed_style.h"

namespace halyx::engine {

class AccessibilityTree {
 public:
  enum class Role {
    kNone,  // not in the tree
    kDocument,
    kPushButton,
    kLink,
    kCheckBox,
    kRadio,
    kText,
    kComboBox,
    kList,
    kListItem,
    kHeading,
    kStaticText,
    kGrouping,
    kGraphic,
    kDialog,
  };

  static constexpr std::size_t kMaxName = 1024;
  static constexpr int kMaxVisits = 10000;

  // `styles` by node index; nodes past its end count as styled by default.
  AccessibilityTree(const HtmlDocument& document, const std::vector<ComputedStyle>& styles)
      : doc_(document), styles_(styles) {}

  // True for the document (0) and every node of the tree.
  bool Exposed(int node) const;
  Role RoleOf(int node) const;
  // 1..6 for headings, 0 for anything else.
  int HeadingLevel(int node) const;
  // The nodes of the tree directly under `node`, in document order.
  std::vector<int> Children(int node) const;
  // The nearest exposed ancestor (0 for the document's own children); -1
  // for the document and for nodes outside the tree.
  int Parent(int node) const;

  // UTF-8, whitespace collapsed.
  std::string Name(int node) const;
  // A text field's value (empty for passwords), the option a select shows.
  // A file input is a push button named by its label and has no value.
  std::string Value(int node) const;
  bool Checked(int node) const;
  // A toggle button that is on (aria-pressed).
  bool Pressed(int node) const;
  bool Unavailable(int node) const;
  // By style: `visibility: hidden`.
  bool StyleHidden(int node) const;
  bool Password(int node) const;
  bool ReadOnly(int node) const;
  // The region's politeness ("polite", "assertive") for an element whose
  // `aria-live` asks for announcements; empty otherwise.
  std::string LiveRegion(int node) const;

 private:
  const ComputedStyle* StyleOf(int node) const;
  // Hidden by itself: aria-hidden, display none, a hidden input.
  bool HiddenSelf(int node) const;
  bool IsLeaf(Role role) const;
  Role RoleOfElement(int element) const;
  bool NameFromContent(int element, Role role) const;
  void CollectChildren(int node, std::vector<int>& out, int& budget) const;
  // The text inside `node` as a name reads it: hidden parts left out,
  // images by their alt, elements by their aria-label.
  void CollectText(int node, std::string& out, int& budget) const;
  std::string TextOf(int node) const;
  std::string LabelFor(int control) const;
  std::string LabelledBy(int element) const;
  // A file input's own text, the last resort for its name.
  std::string FileButtonText(int input) const;

  const HtmlDocument& doc_;
  const std::vector<ComputedStyle>& styles_;
};

}  // namespace halyx::engine
