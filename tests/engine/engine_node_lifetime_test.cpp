#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

// Lets the frame run that follows a change, and with it the reclaiming of
// detached nodes (asked of the interpreter after every frame in these tests).
void Frame(const EnginePage& page) {
  page.Eval("document.body.setAttribute('data-frame', String(Math.random()))");
  ::wkeRepaintIfNeeded(page.view());
  PumpMessagesFor(20);
}

bool LoadSweeping(EnginePage& page, const std::string& html) {
  if (!page.Load(html)) return false;
  ::wkeSetDebugConfig(page.view(), "nodeSweepInterval", "0");
  return true;
}

// Detached nodes live exactly as long as script can reach them.
TEST(EngineNodeLifetime, ADetachedSubtreeWorksWhileScriptHoldsAnyOfItsNodesAndGoesAfter) {
  EnginePage page;
  ASSERT_TRUE(LoadSweeping(page, "<div id=host></div>"));
  const int before = page.NodeCount();
  // Only the subtree's root is held: its inner wrappers keep what script
  // put on them (an expando, a listener) while script can walk to them.
  page.Eval(
      "var kept = document.createElement('div');"
      "kept.innerHTML = '<p class=a><b>bold</b></p>';"
      "kept.firstChild.note = 'mine'; var clicks = 0;"
      "kept.firstChild.addEventListener('click', function () { clicks++; });"
      "var host = document.getElementById('host'); host.appendChild(kept); host.removeChild(kept); 'ok'");
  Frame(page);
  Frame(page);
  EXPECT_EQ(page.NodeCount(), before + 4);
  EXPECT_EQ(page.Eval("kept.firstChild.note + ' ' + kept.querySelector('b').textContent"), "mine bold");
  EXPECT_EQ(page.Eval("kept.firstChild.click(); String(clicks)"), "1");
  // Held by a descendant only, the whole subtree stays reachable.
  page.Eval("var inner = kept.querySelector('b'); kept = null; 'ok'");
  Frame(page);
  EXPECT_EQ(page.NodeCount(), before + 4);
  EXPECT_EQ(page.Eval("inner.parentNode.note + ' ' + inner.parentNode.parentNode.tagName"), "mine DIV");
  // Put back, it is an ordinary part of the page again.
  page.Eval("host.appendChild(inner.parentNode.parentNode); inner = null; 'ok'");
  Frame(page);
  EXPECT_EQ(page.NodeCount(), before + 4);
  EXPECT_EQ(page.Eval("document.querySelector('#host p.a').note"), "mine");
  wkeRect rect{};
  EXPECT_TRUE(page.ElementRect("#host b", rect));
  // Taken out and let go of, it is reclaimed: text node, b, p and div.
  page.Eval("host.removeChild(host.firstChild); 'ok'");
  Frame(page);
  Frame(page);
  EXPECT_EQ(page.NodeCount(), before);
}

// An index script kept (in a style or dataset object that outlived its
// element) never reaches the node that later takes the slot.
TEST(EngineNodeLifetime, AStaleReferenceNeverReachesANewerNode) {
  EnginePage page;
  ASSERT_TRUE(LoadSweeping(page, "<div id=list></div>"));
  page.Eval(
      "var list = document.getElementById('list'), fired = 0;"
      "var el = document.createElement('span'); list.appendChild(el);"
      "el.addEventListener('click', function () { fired++; });"
      "var style = el.style, data = el.dataset;"
      "list.removeChild(el); el = null; 'ok'");
  const int with_span = page.NodeCount();
  Frame(page);
  Frame(page);
  ASSERT_EQ(page.NodeCount(), with_span - 1);
  // New nodes take the freed slot.
  page.Eval("for (var i = 0; i < 20; i++) list.appendChild(document.createElement('i')); 'ok'");
  page.Eval("style.color = 'red'; data.user = 'x'; 'ok'");
  EXPECT_EQ(page.Eval("String(list.querySelectorAll('[style], [data-user]').length)"), "0");
  EXPECT_EQ(page.Eval("String(style.color) + '|' + String(data.user)"), "|undefined");
  EXPECT_EQ(page.Eval("for (var i = 0; i < 20; i++) list.children[i].click(); String(fired)"), "0");
}

// Focus, hover and press never point at a node that left the document,
// whichever way it left, and do not keep it from being reclaimed.
TEST(EngineNodeLifetime, FocusAndHoverLeaveRemovedNodes) {
  EnginePage page;
  ASSERT_TRUE(LoadSweeping(page,
                           "<style>body{margin:0} #box{width:100px;height:40px}</style>"
                           "<div id=form><input id=field></div><div id=area><div id=box></div></div>"));
  const int before = page.NodeCount();
  page.Eval("document.getElementById('field').focus(); 'ok'");
  ASSERT_EQ(page.Eval("document.activeElement.id"), "field");
  page.Eval("document.getElementById('form').innerHTML = ''; 'ok'");
  EXPECT_EQ(page.Eval("document.activeElement.tagName"), "BODY");
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, 10, 10, 0);
  page.Eval(
      "var outs = 0; document.getElementById('box').onmouseout = function () { outs++; };"
      "document.getElementById('area').textContent = ''; 'ok'");
  Frame(page);
  Frame(page);
  EXPECT_EQ(page.NodeCount(), before - 2);
  ::wkeFireMouseEvent(page.view(), WM_MOUSEMOVE, 20, 20, 0);
  EXPECT_EQ(page.Eval("String(outs)"), "0");
}

// A page that keeps replacing its nodes never fills the node table: more
// nodes than it holds are made and dropped, in the two ways pages do it.
TEST(EngineNodeLifetime, ReplacingNodesNeverFillsTheTable) {
  EnginePage page;
  ASSERT_TRUE(LoadSweeping(page, "<div id=list></div>"));
  page.Eval(
      "var list = document.getElementById('list'), rows = '';"
      "for (var i = 0; i < 2500; i++) rows += '<p>row</p>';"
      "function byScript() {"
      "  var keep = [];"
      "  for (var i = 0; i < 2500; i++) { var p = document.createElement('p'); p.textContent = 'row';"
      "    p.onclick = function () {}; list.appendChild(p); keep.push(p); }"
      "  list.textContent = ''; return keep.length;"
      "}"
      "function byMarkup() { list.innerHTML = rows; return list.children.length; }"
      "'ok'");
  const int before = page.NodeCount();
  int most = 0;
  // 42 rounds of 5,000 nodes: 210,000 made in all.
  for (int round = 0; round < 42; ++round) {
    ASSERT_EQ(page.Eval(round % 2 == 0 ? "String(byScript())" : "String(byMarkup())"), "2500") << round;
    Frame(page);
    most = std::max(most, page.NodeCount());
  }
  EXPECT_LT(most, before + 12000);
}

// The console keeps the last lines only.
TEST(EngineConsole, KeepsTheLastThousandLines) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<script>for (var i = 0; i < 1005; i++) console.log('line ' + i);</script>"));
  const std::vector<std::wstring> lines = page.ConsoleLines();
  ASSERT_EQ(lines.size(), 1001u);  // the inspector line, then the console's
  EXPECT_EQ(lines[1], L"[log] line 5");
  EXPECT_EQ(lines.back(), L"[log] line 1004");
  // Lines that come while the tools are open push out the oldest too.
  page.Eval("console.log('one more'); 'ok'");
  const std::vector<std::wstring> after = page.ConsoleLines();
  ASSERT_EQ(after.size(), 1001u);
  EXPECT_EQ(after[1], L"[log] line 6");
  EXPECT_EQ(after.back(), L"[log] one more");
}

}  // namespace
}  // namespace halyx::testing
