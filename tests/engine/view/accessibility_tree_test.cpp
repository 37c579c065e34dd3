#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/view/accessibility_tree.h"
#include "styled_page.h"

namespace halyx::testing {
namespace {

using engine::AccessibilityTree;
using Role = AccessibilityTree::Role;

// A styled page and the tree over it.
class Page {
 public:
  explicit Page(const std::string& html) : page_(html), tree_(page_.document(), page_.styles()) {}
  int Find(const std::string& selector) const { return page_.Find(selector); }
  const AccessibilityTree& tree() const { return tree_; }
  Role RoleOf(const std::string& selector) const { return tree_.RoleOf(Find(selector)); }
  std::string Name(const std::string& selector) const { return tree_.Name(Find(selector)); }
  // The tree under `node`: each child as its role number and name,
  // children in brackets.
  std::string Outline(int node) const {
    std::string out;
    for (int child : tree_.Children(node)) {
      if (!out.empty()) out += ' ';
      out += std::to_string(static_cast<int>(tree_.RoleOf(child))) + ":" + tree_.Name(child);
      const std::string inside = Outline(child);
      if (!inside.empty()) out += "[" + inside + "]";
    }
    return out;
  }
  const engine::HtmlDocument& document() const { return page_.document(); }

 private:
  StyledPage page_;
  AccessibilityTree tree_;
};

std::string RoleName(Role role) { return std::to_string(static_cast<int>(role)); }

// Elements take the role their tag or their role attribute gives them;
// everything else only groups what it holds and is not in the tree.
TEST(EngineAccessibilityTree, RolesFollowTagsAndTheRoleAttribute) {
  const Page page(
      "<button id=b>B</button><input id=submit type=submit value=Go><input id=c type=checkbox>"
      "<input id=r type=radio><input id=t><input id=p type=password><textarea id=ta></textarea>"
      "<select id=s><option>x</option></select><a id=l href='x'>L</a><a id=anchor>A</a>"
      "<ul id=u><li id=li>i</li></ul><h3 id=h>H</h3><div id=rh role=heading aria-level=5>H5</div>"
      "<img id=img alt='Logo'><img id=deco alt=''><fieldset id=f></fieldset><div id=plain>p</div>"
      "<div id=rb role=' Button  link'>x</div><div id=sw role=switch>s</div><div id=named aria-label=N>n</div>"
      "<div id=live aria-live=polite>l</div><div id=tab tabindex=0>t</div><div id=pres role=presentation>q</div>"
      "<input id=file type=FILE>");
  struct Case {
    const char* selector;
    Role role;
  };
  const Case cases[] = {
      {"#b", Role::kPushButton},    {"#submit", Role::kPushButton},
      {"#c", Role::kCheckBox},      {"#r", Role::kRadio},
      {"#t", Role::kText},          {"#p", Role::kText},
      {"#ta", Role::kText},         {"#s", Role::kComboBox},
      {"#l", Role::kLink},          {"#anchor", Role::kNone},
      {"#u", Role::kList},          {"#li", Role::kListItem},
      {"#h", Role::kHeading},       {"#rh", Role::kHeading},
      {"#img", Role::kGraphic},     {"#deco", Role::kNone},
      {"#f", Role::kGrouping},      {"#plain", Role::kNone},
      {"#rb", Role::kPushButton},   {"#sw", Role::kCheckBox},
      {"#named", Role::kGrouping},  {"#live", Role::kGrouping},
      {"#tab", Role::kGrouping},    {"#pres", Role::kNone},
      {"#file", Role::kPushButton},
  };
  for (const Case& c : cases) EXPECT_EQ(RoleName(page.RoleOf(c.selector)), RoleName(c.role)) << c.selector;
  EXPECT_EQ(page.tree().HeadingLevel(page.Find("#h")), 3);
  EXPECT_EQ(page.tree().HeadingLevel(page.Find("#rh")), 5);
  EXPECT_EQ(page.tree().HeadingLevel(page.Find("#b")), 0);
  EXPECT_EQ(RoleName(page.tree().RoleOf(0)), RoleName(Role::kDocument));
}

// A name is the first of: aria-label, aria-labelledby, the control's own
// label (for=, or the label around it), alt, the content for roles named by
// it, title, placeholder; hidden parts of the content are left out and
// blocks read as words of their own.
TEST(EngineAccessibilityTree, NamesComeFromLabelsAltTitleAndContent) {
  const Page page(
      "<title>  The   page </title>"
      "<button id=icon aria-label='Close to the tray' title=Close>&#x2715;</button>"
      "<button id=titled title='Minimise'>&#x2013;</button>"
      "<button id=content> Connect <span aria-hidden=true>!</span><span style='display:none'>?</span></button>"
      "<input id=go type=button value=Go>"
      "<label for=name>Device <b>name</b></label><input id=name>"
      "<label>Remember <input id=wrapped type=checkbox></label>"
      "<input id=ph placeholder='Search servers'>"
      "<span id=part1>Hong</span><span id=part2>Kong</span><div id=by aria-labelledby='part1 part2 nothing'>x</div>"
      "<img id=img alt=' Quor  logo ' title=T>"
      "<ul><li id=row><div>Hong Kong</div><div>8 ms</div><img alt=best></li></ul>"
      "<a id=link href=x>Web<i>site</i></a>"
      "<div id=plain title='Not read'>Plain</div>"
      "<fieldset id=set><legend>Protocol</legend><input type=radio></fieldset>"
      "<button id=add tabindex=-1 aria-hidden=true>+ Add&#x2026;</button>"
      "<input id=over type=file aria-labelledby=add value='C:\\fakepath\\a.conf'>"
      "<label for=picked>Key file</label><input id=picked type=file value='C:\\fakepath\\k.pem'>"
      "<input id=bare type=file><input id=chosen type=file value='C:\\fakepath\\b.conf'>"
      "<label for=sel>Protocol</label><select id=sel><option>UDP</option><option selected>TCP</option></select>");
  EXPECT_EQ(page.tree().Name(0), "The page");
  EXPECT_EQ(page.Name("#icon"), "Close to the tray");
  EXPECT_EQ(page.Name("#titled"), "\xE2\x80\x93");  // content wins over title
  EXPECT_EQ(page.Name("#content"), "Connect");
  EXPECT_EQ(page.Name("#go"), "Go");
  EXPECT_EQ(page.Name("#name"), "Device name");
  EXPECT_EQ(page.Name("#wrapped"), "Remember");
  EXPECT_EQ(page.Name("#ph"), "Search servers");
  EXPECT_EQ(page.Name("#by"), "Hong Kong");
  EXPECT_EQ(page.Name("#img"), "Quor logo");
  EXPECT_EQ(page.Name("#row"), "Hong Kong 8 ms best");
  EXPECT_EQ(page.Name("#link"), "Website");
  EXPECT_EQ(page.Name("#plain"), "Not read");
  EXPECT_EQ(page.Name("#set"), "Protocol");
  // A file input is named by its label, never by the path it holds; with
  // none, by what its button shows.
  EXPECT_EQ(page.Name("#over"), "+ Add\xE2\x80\xA6");
  EXPECT_EQ(page.Name("#picked"), "Key file");
  EXPECT_EQ(page.tree().Value(page.Find("#picked")), "");
  EXPECT_EQ(page.Name("#bare"), "Choose file...");
  EXPECT_EQ(page.Name("#chosen"), "b.conf");
  EXPECT_EQ(page.Name("#sel"), "Protocol");
  EXPECT_EQ(page.tree().Value(page.Find("#sel")), "TCP");
}

// What is hidden (aria-hidden, display: none, hidden inputs) leaves the tree
// with everything inside it; transparent elements hand their children up;
// controls are leaves; parents skip what is not in the tree.
TEST(EngineAccessibilityTree, HiddenAndTransparentNodesShapeTheTree) {
  const Page page(
      "<div><div><button id=b>One <b>bold</b></button></div>"
      "<div aria-hidden=true><button id=gone>Two</button></div>"
      "<div style='display:none'><a href=x>Three</a></div><input type=hidden value=4>"
      "<ul id=u><li id=li>Item <span>text</span></li></ul>"
      "<span role=none>Loose</span></div>");
  const std::string button = RoleName(Role::kPushButton), list = RoleName(Role::kList);
  const std::string item = RoleName(Role::kListItem), text = RoleName(Role::kStaticText);
  EXPECT_EQ(page.Outline(0), button + ":One bold " + list + ":[" + item + ":Item text[" + text + ":Item " + text +
                                 ":text]] " + text + ":Loose");
  const int bold_text = page.document().node(page.Find("#b b")).children.front();
  EXPECT_FALSE(page.tree().Exposed(bold_text));
  EXPECT_FALSE(page.tree().Exposed(page.Find("#gone")));
  EXPECT_EQ(page.tree().Parent(page.Find("#b")), 0);
  EXPECT_EQ(page.tree().Parent(page.Find("#li")), page.Find("#u"));
  EXPECT_EQ(page.tree().Parent(page.Find("#gone")), -1);
  EXPECT_EQ(page.tree().Parent(0), -1);
  EXPECT_TRUE(page.tree().Children(page.Find("#b")).empty());
}

// States come from the markup and the styles: checked by attribute or
// aria-checked, pressed by aria-pressed, unavailable by disabled (controls only) or aria-disabled,
// hidden by visibility; a password's value is never read out.
TEST(EngineAccessibilityTree, StatesAndValuesFollowMarkupAndStyle) {
  const Page page(
      "<input id=on type=checkbox checked><input id=off type=checkbox><div id=aria role=checkbox "
      "aria-checked=TRUE>x</div><button id=dis disabled>D</button><div id=divdis disabled>x</div>"
      "<a id=ariadis href=x aria-disabled=true>A</a><button id=unseen style='visibility:hidden'>U</button>"
      "<input id=pw type=password value=secret><input id=txt value='typed text' readonly>"
      "<select id=sel><option>a</option><option selected>b</option></select>"
      "<button id=toggled aria-pressed=true>T</button><button id=untoggled aria-pressed=false>F</button>");
  const AccessibilityTree& tree = page.tree();
  EXPECT_TRUE(tree.Checked(page.Find("#on")));
  EXPECT_FALSE(tree.Checked(page.Find("#off")));
  EXPECT_TRUE(tree.Checked(page.Find("#aria")));
  EXPECT_TRUE(tree.Unavailable(page.Find("#dis")));
  EXPECT_FALSE(tree.Unavailable(page.Find("#divdis")));
  EXPECT_TRUE(tree.Unavailable(page.Find("#ariadis")));
  EXPECT_TRUE(tree.StyleHidden(page.Find("#unseen")));
  EXPECT_FALSE(tree.StyleHidden(page.Find("#dis")));
  EXPECT_TRUE(tree.Password(page.Find("#pw")));
  EXPECT_EQ(tree.Value(page.Find("#pw")), "");
  EXPECT_EQ(tree.Value(page.Find("#txt")), "typed text");
  EXPECT_TRUE(tree.ReadOnly(page.Find("#txt")));
  EXPECT_EQ(tree.Value(page.Find("#sel")), "b");
  EXPECT_TRUE(tree.Pressed(page.Find("#toggled")));
  EXPECT_FALSE(tree.Pressed(page.Find("#untoggled")));
}

// aria-live asks for announcements unless off; status and log are polite
// and alert assertive by themselves.
TEST(EngineAccessibilityTree, LiveRegionsAreMarkedOrImpliedByRole) {
  const Page page(
      "<div id=polite aria-live=polite>a</div><div id=loud aria-live=ASSERTIVE>b</div>"
      "<div id=off aria-live=off role=status>c</div><div id=status role=status>d</div>"
      "<div id=alert role=alert>e</div><div id=none>f</div>");
  EXPECT_EQ(page.tree().LiveRegion(page.Find("#polite")), "polite");
  EXPECT_EQ(page.tree().LiveRegion(page.Find("#loud")), "assertive");
  EXPECT_EQ(page.tree().LiveRegion(page.Find("#off")), "");
  EXPECT_EQ(page.tree().LiveRegion(page.Find("#status")), "polite");
  EXPECT_EQ(page.tree().LiveRegion(page.Find("#alert")), "assertive");
  EXPECT_EQ(page.tree().LiveRegion(page.Find("#none")), "");
  EXPECT_EQ(page.Name("#status"), "d");
}

// A hostile page cannot make a name unbounded or cut a character in two.
TEST(EngineAccessibilityTree, NamesStayBoundedAndWholeCharacters) {
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "\xE4\xB8\xAD ";  // a CJK character and a space
  const Page page("<button id=b>" + many + "</button><button id=a aria-label='" + many + "'>x</button>");
  for (const char* selector : {"#b", "#a"}) {
    const std::string name = page.Name(selector);
    EXPECT_LE(name.size(), AccessibilityTree::kMaxName) << selector;
    EXPECT_GT(name.size(), AccessibilityTree::kMaxName - 8) << selector;
    EXPECT_EQ(name.substr(name.size() - 3), "\xE4\xB8\xAD") << selector;
  }
}

}  // namespace
}  // namespace halyx::testing
