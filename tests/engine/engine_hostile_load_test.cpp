// Pages that try to hold the GUI thread (which is also the tunnel's loop) or
// exhaust the process through what they load and start: quadratic text,
// oversized bodies, timers by the thousand, memory taken object by object.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

std::string Console(const EnginePage& page) {
  std::string text;
  for (const std::wstring& line : page.ConsoleLines()) {
    for (wchar_t c : line) text += static_cast<char>(c < 0x80 ? c : '?');
    text += '\n';
  }
  return text;
}

// Character references are decoded in one pass over the text, whatever it
// holds; a page of unended ones used to take minutes.
TEST(HostilePageFreeze, AmpersandsByTheHundredThousandAreDecodedInOnePass) {
  const std::string ampersands(600000, '&');
  EnginePage page;
  const ULONGLONG start = ::GetTickCount64();
  // An attribute and a text that is not laid out: the time is the parser's.
  ASSERT_TRUE(page.Load("<div id=a title=\"" + ampersands + "&amp;\"></div><p id=t style=display:none>" + ampersands +
                        "&lt;</p>"));
  const ULONGLONG elapsed = ::GetTickCount64() - start;
  // Far above the linear time (tens of ms), far below the quadratic one.
  EXPECT_LT(elapsed, 20000u);
  EXPECT_EQ(page.Eval("var a = document.getElementById('a').title; a.length + ' ' + a.slice(-2)"), "600001 &&");
  EXPECT_EQ(page.Eval("var t = document.getElementById('t').textContent; t.length + ' ' + t.slice(-2)"), "600001 &<");
  // Up to the reach of the longest reference, and no further.
  EXPECT_EQ(page.Eval("var d = document.createElement('div');"
                      "d.innerHTML = '&#1114111;|&#00000065;|&#000000065;'; var c = d.textContent;"
                      "c.charCodeAt(0).toString(16) + c.charCodeAt(1).toString(16) + c.slice(2)"),
            "10ffff7cA|&#000000065;");
}

// A load brings at most 4 MiB of page and 1 MiB per script or style sheet;
// a larger body is refused whole, with its reason on the console.
TEST(HostilePageLimits, BodiesPastTheirCapsAreRefusedWhole) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"big.js", "var big = 1;" + std::string(std::size_t{1} << 20, ' ')));
  ASSERT_TRUE(page.WriteFile(L"fits.js", "var fits = 1;" + std::string((std::size_t{1} << 20) - 13, ' ')));
  ASSERT_TRUE(page.WriteFile(L"big.css", "p { color: red }" + std::string(std::size_t{1} << 20, ' ')));
  ASSERT_TRUE(
      page.Load("<link rel=stylesheet href=big.css><p>x</p><script src=big.js></script>"
                "<script src=fits.js></script>"));
  EXPECT_EQ(page.Eval("typeof big + ' ' + typeof fits"), "undefined number");
  const std::string console = Console(page);
  EXPECT_NE(console.find("Refused to load script big.js: larger than 1048576 bytes"), std::string::npos) << console;
  EXPECT_NE(console.find("Refused to load style sheet big.css: larger than 1048576 bytes"), std::string::npos)
      << console;

  ASSERT_TRUE(page.Load("<p id=x>x</p>" + std::string((std::size_t{4} << 20) - 13, ' ')));
  EXPECT_EQ(page.Eval("String(!!document.getElementById('x'))"), "true");
  ASSERT_TRUE(page.Load("<p id=x>x</p>" + std::string((std::size_t{4} << 20) - 12, ' ')));
  EXPECT_EQ(page.Eval("String(!!document.getElementById('x'))"), "false");
  EXPECT_NE(Console(page).find("larger than 4194304 bytes"), std::string::npos) << Console(page);
}

// A page has at most 1,000 timers pending; past that a timer is refused
// (one console line), and fired or cleared ones make room again.
TEST(HostilePageLimits, APageHasAtMostAThousandTimersPending) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>var fired = 0, ids = [];"
                "for (var i = 0; i < 5000; i++) ids.push(setTimeout(function () { fired++; }, 1));"
                "var given = ids.filter(function (id) { return id > 0; }).length;</script>"));
  EXPECT_EQ(page.Eval("String(given)"), "1000");
  // Reading script posts work of its own, which would keep the timers'
  // messages from ever coming: the loop runs first, then the count is read.
  PumpMessagesFor(1500);
  EXPECT_EQ(page.Eval("String(fired)"), "1000");
  EXPECT_EQ(page.Eval("String(setInterval(function () {}, 1000) > 0)"), "true");
  const std::string console = Console(page);
  const std::string line = "Timer refused: a page may have at most 1000 timers pending";
  ASSERT_NE(console.find(line), std::string::npos) << console;
  EXPECT_EQ(console.find(line, console.find(line) + 1), std::string::npos) << console;
}

// Memory made in small pieces counts as much as one big block: past the
// heap's cap the page gets a script error, and the engine goes on.
TEST(HostilePageLimits, ObjectsMadeOneByOneStopAtTheHeapCapAsAScriptError) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "120000");
  // Strings of 60,000 bytes, each under the size from which a single block
  // was always weighed against the cap.
  ASSERT_TRUE(
      page.Load("<script>var made = 0, piece = new Array(60001).join('x');"
                "(function () { var head = null;"
                "  for (;;) { head = {next: head, text: piece + made}; made++; } })();</script>"));
  const std::string console = Console(page);
  EXPECT_TRUE(console.find("alloc failed") != std::string::npos || console.find("DoubleError") != std::string::npos)
      << console;
  // A 256 MiB heap holds fewer than 4,474 such strings.
  EXPECT_EQ(page.Eval("String(made > 1000 && made < 4474)"), "true") << page.Eval("String(made)");
  EXPECT_EQ(page.Eval("String(6 * 7)"), "42");
}

}  // namespace
}  // namespace halyx::testing
