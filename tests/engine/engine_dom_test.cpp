#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"

namespace halyx::testing {
namespace {

const char kReset[] = "<style>body{margin:0}</style>";

void Click(const EnginePage& page, int x, int y) {
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, x, y, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, x, y, 0);
}

// Holds the keys given down in the thread's keyboard state for one scope,
// as the engine reads modifiers from it.
class HeldKeys {
 public:
  explicit HeldKeys(std::initializer_list<int> keys) {
    ::GetKeyboardState(saved_);
    BYTE state[256];
    ::GetKeyboardState(state);
    for (int key : keys) state[key] = 0x80;
    ::SetKeyboardState(state);
  }
  ~HeldKeys() { ::SetKeyboardState(saved_); }

 private:
  BYTE saved_[256];
};

// Script changes to the tree, classes, styles and markup reach the layout.
TEST(EngineDom, ScriptChangesTheTreeAndTheLayoutFollows) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kReset) +
                        "<style>.wide{width:300px}.hidden{display:none}</style>"
                        "<div id=list></div><script>"
                        "var list = document.getElementById('list');"
                        "for (var i = 0; i < 3; i++) { var row = document.createElement('div');"
                        "  row.className = 'row'; row.style.height = '20px'; row.textContent = 'row ' + i;"
                        "  list.appendChild(row); }"
                        "</script>"));
  EXPECT_EQ(page.Eval("document.querySelectorAll('#list > .row').length"), "3");
  wkeRect rect{};
  ASSERT_TRUE(page.ElementRect("#list", rect));
  EXPECT_EQ(rect.h, 60);
  page.Eval(
      "var first = list.firstElementChild; first.classList.add('wide'); first.style.height = '35px';"
      "list.removeChild(list.lastElementChild);");
  ASSERT_TRUE(page.ElementRect("#list > .row", rect));
  EXPECT_EQ(rect.w, 300);
  ASSERT_TRUE(page.ElementRect("#list", rect));
  EXPECT_EQ(rect.h, 55);
  page.Eval("first.classList.toggle('hidden')");
  ASSERT_TRUE(page.ElementRect("#list", rect));
  EXPECT_EQ(rect.h, 20);
  EXPECT_EQ(page.Eval("first.classList.contains('hidden') + ' ' + first.className"), "true row wide hidden");
  // Markup set through innerHTML is parsed; reading it gives markup back.
  page.Eval("list.innerHTML = '<p class=\"x\" data-user-id=\"7\">a &amp; <b>b</b></p>';");
  EXPECT_EQ(page.Eval("list.querySelector('p.x b').textContent"), "b");
  EXPECT_EQ(page.Eval("list.querySelector('p').dataset.userId"), "7");
  EXPECT_EQ(page.Eval("list.innerHTML"), "<p class=\"x\" data-user-id=\"7\">a &amp; <b>b</b></p>");
  EXPECT_EQ(page.Eval("list.querySelector('p').style.cssText = 'color: red'; list.querySelector('p').style.color"),
            "red");
  // Replaced children are gone from the document's lookups.
  page.Eval("list.innerHTML = '<i id=gone></i>'; list.textContent = 'plain';");
  EXPECT_EQ(page.Eval("String(document.getElementById('gone'))"), "null");
  // A node cannot become its own descendant.
  page.Eval("list.innerHTML = '<p></p>';");
  EXPECT_EQ(page.Eval("try { list.querySelector('p').appendChild(list); 'moved' } catch (e) { e.name }"),
            "HierarchyRequestError");
  EXPECT_EQ(page.Eval("try { document.querySelector('p:nth-child(2)'); 'ok' } catch (e) { e.name }"), "SyntaxError");
}

// Events: capture runs outside in, bubbling inside out, stopPropagation
// ends the walk, and preventDefault keeps a checkbox as it was.
TEST(EngineDom, MouseEventsCaptureBubbleAndCanBeCancelled) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kReset) +
                        "<div id=outer style='padding:20px;width:200px'><div id=inner style='height:40px'>"
                        "</div></div><input id=box type=checkbox style='position:absolute;left:300px;top:0'>"
                        "<script>var log = [];"
                        "var outer = document.getElementById('outer'), inner = document.getElementById('inner');"
                        "outer.addEventListener('click', function (e) { log.push('capture ' + e.target.id); }, true);"
                        "outer.addEventListener('click', function (e) { log.push('bubble ' + e.currentTarget.id); });"
                        "inner.onclick = function (e) { log.push('target'); };"
                        "document.addEventListener('mousedown', function () { log.push('down'); });"
                        "</script>"));
  Click(page, 30, 30);
  EXPECT_EQ(page.Eval("log.join('|')"), "down|capture inner|target|bubble outer");
  page.Eval("log = []; inner.addEventListener('click', function (e) { e.stopPropagation(); });");
  Click(page, 30, 30);
  EXPECT_EQ(page.Eval("log.join('|')"), "down|capture inner|target");
  // A press on one element and a release on another click their common
  // ancestor only.
  page.Eval("log = [];");
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 30, 30, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 10, 10, 0);
  EXPECT_EQ(page.Eval("log.join('|')"), "down|capture outer|bubble outer");

  wkeRect box{};
  ASSERT_TRUE(page.ElementRect("#box", box));
  page.Eval(
      "var changes = 0; var cb = document.getElementById('box');"
      "cb.addEventListener('change', function () { changes++; });");
  Click(page, box.x + 5, box.y + 5);
  EXPECT_EQ(page.Eval("cb.checked + ' ' + changes"), "true 1");
  page.Eval("cb.onclick = function (e) { e.preventDefault(); };");
  Click(page, box.x + 5, box.y + 5);
  EXPECT_EQ(page.Eval("cb.checked + ' ' + changes"), "true 1");
}

// Text fields: a click focuses, typing inserts at the caret and fires input,
// arrows and Shift select, Backspace deletes the selection, Enter commits
// with change.
TEST(EngineDom, TextFieldsTakeTypingAtTheCaret) {
  EnginePage page;
  ASSERT_TRUE(page.Load(std::string(kReset) + "<input id=f style='position:absolute;left:10px;top:10px;width:200px'>"
                                              "<script>var inputs = 0, changes = [], focused = 0;"
                                              "var f = document.getElementById('f');"
                                              "f.addEventListener('input', function () { inputs++; });"
                                              "f.addEventListener('change', function () { changes.push(f.value); });"
                                              "f.addEventListener('focus', function () { focused++; });"
                                              "</script>"));
  wkeRect field{};
  ASSERT_TRUE(page.ElementRect("#f", field));
  Click(page, field.x + 5, field.y + 5);
  EXPECT_EQ(page.Eval("document.activeElement === f && focused === 1"), "true");
  for (wchar_t c : std::wstring(L"abc")) ::wkeFireKeyPressEvent(page.view(), c, 0, false);
  ::wkeFireKeyDownEvent(page.view(), VK_LEFT, 0, false);
  ::wkeFireKeyPressEvent(page.view(), L'X', 0, false);
  EXPECT_EQ(page.Eval("f.value + ' ' + inputs"), "abXc 4");
  const wkeRect caret = ::wkeGetCaretRect(page.view());
  EXPECT_GT(caret.x, field.x + 5);
  EXPECT_LT(caret.x, field.x + field.w);
  {
    HeldKeys shift({VK_SHIFT});
    ::wkeFireKeyDownEvent(page.view(), VK_HOME, 0, false);
  }
  ::wkeFireKeyDownEvent(page.view(), VK_BACK, 0, false);
  EXPECT_EQ(page.Eval("f.value"), "c");
  ::wkeFireKeyPressEvent(page.view(), L'\x4f60', 0, false);  // text beyond ASCII arrives whole
  ::wkeFireKeyDownEvent(page.view(), VK_RETURN, 0, false);
  EXPECT_EQ(page.Eval("changes.join()"),
            "\xe4\xbd\xa0"
            "c");
  // A listener that prevents the key keeps the field as it was.
  page.Eval("f.onkeypress = function (e) { if (e.key === 'z') e.preventDefault(); };");
  ::wkeFireKeyPressEvent(page.view(), L'z', 0, false);
  EXPECT_EQ(page.Eval("f.value"),
            "\xe4\xbd\xa0"
            "c");
}

// Hostile trees: nesting deeper than the limit through the DOM is refused,
// and selectors built to backtrack end in bounded time.
TEST(EngineDom, HostileTreesAndSelectorsStayBounded) {
  EnginePage page;
  std::string nested;
  for (int i = 0; i < 200; ++i) nested += "<div>";
  std::string selector;
  for (int i = 0; i < 15; ++i) selector += "div ";
  ASSERT_TRUE(page.Load("<style>" + selector + "span { color: red } " + selector + "p { color: blue }</style>" +
                        nested + "<span id=deep>x</span>"));
  EXPECT_EQ(
      page.Eval("var d = document.createElement('div'), top = d;"
                "for (var i = 0; i < 100; i++) { var c = document.createElement('div'); d.appendChild(c); d = c; }"
                "try { document.getElementById('deep').appendChild(top); 'inserted' } catch (e) { e.name }"),
      "HierarchyRequestError");
  wkeRect rect{};
  EXPECT_TRUE(page.ElementRect("#deep", rect));
}

// A page that keeps rewriting a text, as a status line does every second,
// never uses up the document's nodes.
TEST(EngineDom, RewritingATextKeepsTheDocumentFromFillingUp) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p id=status>0</p>"));
  EXPECT_EQ(page.Eval("var p = document.getElementById('status');"
                      "for (var i = 1; i <= 210000; i++) p.textContent = 'tick ' + i;"
                      "var made = document.createElement('div');"
                      "(made ? 'made' : 'full') + ' ' + p.textContent"),
            "made tick 210000");
}

}  // namespace
}  // namespace halyx::testing
