#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

// A list of rows to change, and a function listing every element's box.
const char kStyle[] =
    "<style>body{margin:0;font-family:Tahoma;font-size:14px}"
    ".list{display:flex;flex-direction:column;gap:4px;width:400px}"
    ".row{display:flex;align-items:center;padding:4px 8px;border:1px solid #333;background:#202830}"
    ".name{flex:1;white-space:nowrap}.flag{width:20px;height:12px}.sub{display:block;font-size:11px}"
    ".wide{padding:20px 8px}.compact .sub{display:none}.row:first-child{margin-top:30px}"
    ".row:last-child{height:60px}[data-state=on] .flag{width:40px}.pick{background:#3060c0}</style>";

const char kBody[] =
    "<div class=list id=list>"
    "<div class=row id=r1><span class=flag></span><span class=name>Alpha</span><span class=sub>one</span></div>"
    "<div class=row id=r2><span class=flag></span><span class=name>Beta</span><span class=sub>two</span></div>"
    "<div class=row id=r3><span class=flag></span><span class=name>Gamma</span><span class=sub>three</span></div>"
    "<div class=row id=r4><span class=flag></span><span class=name>Delta</span><span class=sub>four</span></div>"
    "</div>"
    "<div id=hide><p id=inner>Hidden for a while</p></div>";

const char kRects[] =
    "<script>function rects() { var all = document.body.querySelectorAll('*'), out = [];"
    "  for (var i = 0; i < all.length; ++i) { var r = all[i].getBoundingClientRect();"
    "    if (all[i].tagName == 'STYLE' || all[i].tagName == 'SCRIPT') continue;"
    "    out.push(all[i].tagName + '#' + all[i].id + ' ' + [r.left, r.top, r.width, r.height].join(',')); }"
    "  return out.join('\\n'); }</script>";

// After changes made step by step (each step styled and laid out before the
// next, so that the later ones go the incremental way), every element's box
// is where a fresh load of the resulting document puts it.
TEST(EngineRestyle, IncrementalChangesLayOutAsAFreshPageWould) {
  struct Case {
    const char* name;
    const char* steps;  // script; rects() between steps lays out
  };
  const Case cases[] = {
      {"a class that changes one row's padding", "r2.classList.add('wide')"},
      {"an ancestor's class reaching its descendants", "list.classList.add('compact')"},
      {"paint-only and layout classes in turn",
       "r1.classList.add('pick'); rects(); r1.classList.add('wide'); rects(); r1.classList.remove('wide')"},
      {"text that grows a flex item", "document.querySelector('#r3 .name').textContent = 'A much longer name'"},
      {"an inserted row becomes the first child",
       "var row = document.createElement('div'); row.className = 'row'; row.textContent = 'New';"
       "list.insertBefore(row, list.firstChild)"},
      {"a removed row hands the last child on", "list.removeChild(r4)"},
      {"inline style and innerHTML",
       "r3.style.width = '200px'; rects(); r4.innerHTML = '<span class=name>x</span><b>bold</b>'"},
      {"an attribute selector on an ancestor", "r2.setAttribute('data-state', 'on')"},
      {"children changed while their parent was hidden",
       "hide.style.display = 'none'; rects(); inner.style.fontSize = '30px'; inner.textContent = 'Shown again';"
       "rects(); hide.style.display = ''"},
  };
  for (const Case& c : cases) {
    EnginePage changed;
    ASSERT_TRUE(changed.Load(std::string(kStyle) + kBody + kRects)) << c.name;
    ASSERT_FALSE(changed.Eval("rects()").empty()) << c.name;
    changed.Eval(std::string("var r1 = document.getElementById('r1'), r2 = document.getElementById('r2'),"
                             "r3 = document.getElementById('r3'), r4 = document.getElementById('r4'),"
                             "list = document.getElementById('list'), hide = document.getElementById('hide'),"
                             "inner = document.getElementById('inner');") +
                 c.steps);
    const std::string incremental = changed.Eval("rects()");
    const std::string html = changed.Eval(
        "[].forEach.call(document.querySelectorAll('style, script'), function (e) { e.remove(); });"
        "document.body.innerHTML");
    EnginePage fresh;
    ASSERT_TRUE(fresh.Load(std::string(kStyle) + html + kRects)) << c.name;
    EXPECT_EQ(incremental, fresh.Eval("rects()")) << c.name;
  }
}

// Hover restyles the rows the pointer left and entered, descendants
// included, and a rule that moves boxes lays them out again.
TEST(EngineRestyle, HoverRestylesTheSubtreesItEntersAndLeaves) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kStyle) + "<style>.row:hover .name{margin-left:30px}</style>" + kBody));
  wkeRect r2{}, r3{}, before{};
  ASSERT_TRUE(page.ElementRect("#r3 .flag", before));
  ASSERT_TRUE(page.ElementRect("#r2", r2));
  ASSERT_TRUE(page.ElementRect("#r3", r3));
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, r2.x + 2, r2.y + 2, 0);
  wkeRect name2{}, name3{};
  ASSERT_TRUE(page.ElementRect("#r3 .name", name3));
  const int resting = name3.x;
  ASSERT_TRUE(page.ElementRect("#r2 .name", name2));
  EXPECT_EQ(name2.x, resting + 30);
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, r3.x + 2, r3.y + 2, 0);
  ASSERT_TRUE(page.ElementRect("#r2 .name", name2));
  ASSERT_TRUE(page.ElementRect("#r3 .name", name3));
  EXPECT_EQ(name2.x, resting);
  EXPECT_EQ(name3.x, resting + 30);
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, 600, 470, 0);
  ASSERT_TRUE(page.ElementRect("#r3 .name", name3));
  EXPECT_EQ(name3.x, resting);
  // A rule on the hovered (or pressed) element itself: only the elements
  // whose state changed are styled, with their subtrees when they change.
  EnginePage subject;
  ASSERT_TRUE(subject.Load(std::string(kStyle) +
                           "<style>.row:hover{padding-left:38px}.row:active{padding-left:58px}</style>" + kBody));
  wkeRect flag{};
  ::wkeFireMouseEvent(subject.view(), WM_MOUSEMOVE, r2.x + 2, r2.y + 2, 0);
  ASSERT_TRUE(subject.ElementRect("#r2 .flag", flag));
  EXPECT_EQ(flag.x, 39);
  ::wkeFireMouseEvent(subject.view(), WM_LBUTTONDOWN, r2.x + 2, r2.y + 2, MK_LBUTTON);
  ASSERT_TRUE(subject.ElementRect("#r2 .flag", flag));
  EXPECT_EQ(flag.x, 59);
  ::wkeFireMouseEvent(subject.view(), WM_LBUTTONUP, r2.x + 2, r2.y + 2, 0);
  ::wkeFireMouseEvent(subject.view(), WM_MOUSEMOVE, r3.x + 2, r3.y + 2, 0);
  ASSERT_TRUE(subject.ElementRect("#r2 .flag", flag));
  EXPECT_EQ(flag.x, 9);
  ASSERT_TRUE(subject.ElementRect("#r3 .flag", flag));
  EXPECT_EQ(flag.x, 39);
}

bool Near(COLORREF actual, int r, int g, int b) {
  return std::abs(GetRValue(actual) - r) <= 3 && std::abs(GetGValue(actual) - g) <= 3 &&
         std::abs(GetBValue(actual) - b) <= 3;
}

// Changes that leave the layout alone still repaint what they change: a
// background, a checkbox checked by script (no style differs), and the
// descendants of an element whose opacity changed, even outside its box.
TEST(EngineRestyle, PaintOnlyChangesRepaintWhatTheyChange) {
  EnginePage page;
  ASSERT_TRUE(page.Load(
      "<style>body{margin:0;background:#ffffff}#a{background:#aa0000}#a.on{background:#00aa00}</style>"
      "<div id=a style='position:absolute;left:0;top:0;width:100px;height:40px'></div>"
      "<input id=c type=checkbox style='position:absolute;left:150px;top:10px;margin:0;width:20px;height:20px'>"
      "<div id=p style='position:absolute;left:0;top:100px;width:50px;height:20px'>"
      "<div style='position:absolute;left:200px;top:0;width:40px;height:20px;background:#0000cc'></div></div>"));
  EXPECT_TRUE(Near(page.Pixel(50, 20), 0xaa, 0, 0));
  EXPECT_TRUE(Near(page.Pixel(160, 20), 0xff, 0xff, 0xff));
  EXPECT_TRUE(Near(page.Pixel(220, 110), 0, 0, 0xcc));
  // One at a time: a repaint is one rectangle around all it changed.
  page.Eval("document.getElementById('a').className = 'on'");
  EXPECT_TRUE(Near(page.Pixel(50, 20), 0, 0xaa, 0));
  page.Eval("document.getElementById('c').checked = true");
  EXPECT_FALSE(Near(page.Pixel(160, 20), 0xff, 0xff, 0xff));
  page.Eval("document.getElementById('p').style.opacity = '0'");
  EXPECT_TRUE(Near(page.Pixel(220, 110), 0xff, 0xff, 0xff));
}

}  // namespace
}  // namespace halyx::testing
