// Pages that attack the engine that shows them. The client runs elevated
// and its GUI thread is also the tunnel manager's loop, so whatever a page's
// script does must leave the engine running, responsive and with a console
// error that says what happened.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

// The page's console as one text, a line per entry.
std::string Console(const EnginePage& page) {
  std::string text;
  for (const std::wstring& line : page.ConsoleLines()) {
    for (wchar_t c : line) text += static_cast<char>(c < 0x80 ? c : '?');
    text += '\n';
  }
  return text;
}

// A native object that counts its finalizations.
struct Counted {
  jsData data{};
  int finalized = 0;
  Counted() {
    data.finalize = [](jsData* d) { ++reinterpret_cast<Counted*>(d)->finalized; };
  }
};

// The engine's own writes into a page's objects fail as a call, not as the
// process: a frozen global, throwing setters, a frozen native object.
TEST(HostilePageWrites, AFrozenGlobalRefusesGlobalsWithAConsoleError) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<script>Object.freeze(this);</script>"));
  ::jsSetGlobal(page.es(), "HalyxDispatch", ::jsInt(1));
  EXPECT_EQ(page.Eval("typeof HalyxDispatch"), "undefined");
  EXPECT_NE(Console(page).find("[error] Uncaught TypeError"), std::string::npos) << Console(page);
  EXPECT_EQ(page.Eval("String(6 * 7)"), "42");
}

TEST(HostilePageWrites, ThrowingSettersOnGlobalsAndPageObjectsFailTheWrite) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>Object.defineProperty(this, '__halyx_log', {"
                "  set: function () { throw new Error('no log for you'); } });"
                "var plain = {}; Object.defineProperty(plain, 'type', {"
                "  set: function () { throw new Error('no type'); } });</script>"));
  ::jsSetGlobal(page.es(), "__halyx_log", ::jsInt(3));
  ::jsSet(page.es(), ::jsEval(page.es(), "plain"), "type", ::jsString(page.es(), "GetLogFiles"));
  const std::string console = Console(page);
  EXPECT_NE(console.find("Uncaught Error: no log for you"), std::string::npos) << console;
  EXPECT_NE(console.find("Uncaught Error: no type"), std::string::npos) << console;
  EXPECT_EQ(page.Eval("String(6 * 7)"), "42");
}

TEST(HostilePageWrites, ANativeObjectTakesItsMembersPastFreezeAndPrototypeSetters) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>var seen = [];"
                "Object.defineProperty(Object.prototype, 'files', {"
                "  set: function (v) { seen.push(this); }, configurable: true });</script>"));
  Counted archive;
  const jsValue object = ::jsObject(page.es(), &archive.data);
  // Members are the object's own: the page's setter neither runs nor sees
  // the object behind the proxy.
  ::jsSet(page.es(), object, "files", ::jsInt(1));
  ::jsSetGlobal(page.es(), "archive", object);
  EXPECT_EQ(page.Eval("seen.length + ' ' + Object.keys(archive).join()"), "0 files");
  // Freezing the proxy does not reach the object behind it: the engine's
  // members still arrive.
  page.Eval("Object.freeze(archive);");
  ::jsSet(page.es(), object, "result", ::jsInt(0));
  EXPECT_EQ(page.Eval("typeof archive.result + ' ' + seen.length"), "number 0");
}

// The interpreter's own object is not the page's.
TEST(HostilePageInterpreter, TheDuktapeObjectIsNotVisible) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>sandbox</p>"));
  EXPECT_EQ(page.Eval("typeof Duktape + ' ' + ('Duktape' in this) + ' ' + "
                      "Object.getOwnPropertyNames(this).filter(function (n) { return /uktape/.test(n); }).length"),
            "undefined false 0");
}

// A script that runs too long is stopped, catch blocks or not, reported, and
// the page and the loop go on; a regular expression's matcher included.
TEST(HostilePageTime, AnEndlessLoopIsStoppedAndTheNextScriptRuns) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "300");
  ASSERT_TRUE(
      page.Load("<script>var caught = 0;"
                "while (true) { try { while (true) {} } catch (e) { caught++; } }</script>"
                "<script>var after = 'ran';</script>"));
  EXPECT_EQ(page.Eval("after + ' ' + caught"), "ran 0");
  EXPECT_EQ(page.Eval("for (;;) {}"), "undefined");
  const std::string console = Console(page);
  EXPECT_NE(console.find("[error] Script stopped: it ran longer than 300 ms"), std::string::npos) << console;
  EXPECT_EQ(page.Eval("String(6 * 7)"), "42");
  // A pattern that backtracks for minutes on 30 characters: the matcher,
  // too, ends with the time limit, not when it is done.
  page.Eval("var before = Date.now()");
  EXPECT_EQ(page.Eval("String(/(a+)+$/.test(new Array(30).join('a') + '!'))"), "undefined");
  EXPECT_EQ(page.Eval("String(Date.now() - before < 10000)"), "true") << page.Eval("Date.now() - before");
}

TEST(HostilePageTime, ABuiltinBuildingAHugeStringIsStoppedAtItsNextBlock) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "200");
  // Joined 4,096 items at a time, each round into a new string: 64 MB in
  // all, under the heap's limit but past the time limit.
  ASSERT_TRUE(page.Load("<script>var joined = new Array(1 << 16).join(new Array(1001).join('x'));</script>"));
  EXPECT_EQ(page.Eval("typeof joined"), "undefined");
  EXPECT_NE(Console(page).find("[error] Script stopped: it ran longer than 200 ms"), std::string::npos)
      << Console(page);
}

TEST(HostilePageTime, AnEndlessIntervalIsStoppedOnceAndCancelled) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "200");
  ASSERT_TRUE(page.Load("<script>var ticks = 0; setInterval(function () { ticks++; for (;;) {} }, 10);</script>"));
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.Eval("ticks") == "1"; }));
  PumpMessagesFor(700);
  EXPECT_EQ(page.Eval("ticks"), "1");
}

TEST(HostilePageTime, TimeSpentInADialogDoesNotCount) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "200");
  ::wkeOnAlertBox(
      page.view(), [](wkeWebView, void*, const wkeString) { ::Sleep(400); }, nullptr);
  ASSERT_TRUE(page.Load("<script>alert('wait for the user'); var survived = 'yes';</script>"));
  EXPECT_EQ(page.Eval("survived"), "yes");
}

// A native object dropped by the page while its native code runs stays
// until that code has returned.
TEST(HostilePageLifetime, AnObjectDroppedDuringItsOwnCallIsFinalizedAfterTheCall) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>drop</p>"));
  struct Call {
    jsData data{};
    Counted owner;
    int finalized_during_call = -1;
  } call;
  call.data.callAsFunction = [](jsExecState es, jsValue object, jsValue*, int) -> jsValue {
    auto* self = reinterpret_cast<Call*>(::jsGetData(es, object));
    // What console.error or PostResult lets the page do from inside a call.
    ::jsEval(es, "owner = null; f = null; for (var i = 0; i < 1000; i++) [{}, {}];");
    self->finalized_during_call = self->owner.finalized;
    return ::jsInt(1);
  };
  ::jsSetGlobal(page.es(), "owner", ::jsObject(page.es(), &call.owner.data));
  ::jsSetGlobal(page.es(), "f", ::jsFunction(page.es(), &call.data));
  PumpMessagesFor(50);  // the turn's handles let go: only the page holds them
  EXPECT_EQ(page.Eval("f()"), "1");
  EXPECT_EQ(call.finalized_during_call, 0);
  ASSERT_TRUE(PumpMessagesUntil([&] { return call.owner.finalized == 1; }));
  page.DestroyView();
  EXPECT_EQ(call.owner.finalized, 1);
}

// Nesting of every kind ends in an error, not in a stack overflow.
TEST(HostilePageNesting, DeeplyNestedElementsAreFlattenedAndRendered) {
  EnginePage page;
  std::string html = "<title>deep</title>";
  for (int i = 0; i < 100000; ++i) html += "<div>";
  html += "bottom<p id=\"last\">end</p>";
  ASSERT_TRUE(page.Load(html));
  ::wkeRepaintIfNeeded(page.view());
  EXPECT_EQ(page.Eval("document.getElementById('last').textContent"), "end");
  const std::string console = Console(page);
  EXPECT_NE(console.find("[error] Elements nested deeper than 256 levels"), std::string::npos) << console;
}

TEST(HostilePageNesting, DeepJsonSourceRegexpAndNativeRecursionEndInErrors) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>var results = [];"
                "function attempt(name, fn) {"
                "  try { fn(); results.push(name + ' ran'); }"
                "  catch (e) { results.push(name + ' ' + (e instanceof RangeError || e instanceof SyntaxError)); } }"
                "var deep = new Array(100001).join('[');"
                "attempt('json', function () { JSON.parse(deep + new Array(100001).join(']')); });"
                "attempt('stringify', function () {"
                "  var o = {}; for (var i = 0; i < 100000; i++) o = {a: o}; JSON.stringify(o); });"
                "attempt('source', function () { eval(deep); });"
                "attempt('regexp', function () {"
                "  new RegExp(new Array(50001).join('(') + new Array(50001).join(')')); });"
                "attempt('builtins', function () { (function f() { [1].forEach(f); })(); });"
                "</script>"));
  EXPECT_EQ(page.Eval("results.join()"), "json true,stringify true,source true,regexp true,builtins true");
}

TEST(HostilePageNesting, ScriptReenteredThroughNativeCodeIsBounded) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<script>var levels = 0;</script>"));
  jsData again{};
  again.callAsFunction = [](jsExecState es, jsValue, jsValue*, int) -> jsValue {
    return ::jsEval(es, "levels++; again(); levels");
  };
  ::jsSetGlobal(page.es(), "again", ::jsFunction(page.es(), &again));
  page.Eval("again();");
  EXPECT_EQ(page.Eval("String(levels > 10 && levels <= 32)"), "true");
  EXPECT_NE(Console(page).find("[error] Script refused: native code re-entered script"), std::string::npos);
  EXPECT_EQ(page.Eval("String(6 * 7)"), "42");
}

// Style sheets: a linked sheet inside the application folder applies, one
// elsewhere is refused like a script; an oversized sheet with selectors
// built to backtrack over a deep tree still lays out.
TEST(HostilePageStyles, LinkedSheetsFollowTheScriptRulesAndHugeSheetsStayBounded) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"theme.css", "#a { width: 123px; height: 7px }"));
  ASSERT_TRUE(
      page.Load("<link rel=stylesheet href=theme.css><link rel=stylesheet href='file://evil-host/share/x.css'>"
                "<div id=a></div>"));
  wkeRect rect{};
  ASSERT_TRUE(page.ElementRect("#a", rect));
  EXPECT_EQ(rect.w, 123);
  EXPECT_EQ(rect.h, 7);
  EXPECT_NE(Console(page).find(
                "[error] Refused to load style sheet file://evil-host/share/x.css: network paths are never loaded"),
            std::string::npos)
      << Console(page);

  std::string sheet;
  while (sheet.size() < 1024 * 1024)
    sheet += "p div div div div div div div div div div div div div div div { color: red }\n";
  std::string deep;
  for (int i = 0; i < 250; ++i) deep += "<div>";
  ASSERT_TRUE(page.Load("<style>" + sheet + "</style>" + deep + "<span id=s>x</span>"));
  EXPECT_TRUE(page.ElementRect("#s", rect));
}

// Size: megabytes of text in a node stay whole for script, but layout reads
// only its budget of text, so one script line cannot hold every later
// layout; a builtin asked for a gigabyte fails instead of copying it.
TEST(HostilePageSize, HugeTextIsKeptWholeButLaidOutOnlyWithinTheBudget) {
  EnginePage page;
  // Building megabytes in a debug build beside other tests is slow; this is
  // about layout, not the time limit.
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "60000");
  ASSERT_TRUE(
      page.Load("<div id=big></div><script>var big = document.getElementById('big');"
                "big.textContent = new Array(300000).join('word ');</script>"));
  wkeRect shorter{}, longer{};
  ASSERT_TRUE(page.ElementRect("#big", shorter));
  EXPECT_GT(shorter.h, 1000);
  page.Eval("big.textContent = new Array(600000).join('word ');");
  EXPECT_EQ(page.Eval("String(big.textContent.length)"), "2999995");
  ASSERT_TRUE(page.ElementRect("#big", longer));
  EXPECT_EQ(longer.h, shorter.h);

  // Within the budget, a box that is measured before it is laid out shows
  // all of its text: twice the text, twice the height.
  page.Eval(
      "big.style.display = 'inline-block'; big.style.maxWidth = '300px';"
      "big.textContent = new Array(70000).join('word ');");
  ASSERT_TRUE(page.ElementRect("#big", shorter));
  page.Eval("big.textContent = new Array(140000).join('word ');");
  ASSERT_TRUE(page.ElementRect("#big", longer));
  EXPECT_NEAR(longer.h, 2 * shorter.h, shorter.h / 50.0);
}

TEST(HostilePageSize, AGigabyteStringFailsAsAnErrorAndThePageGoesOn) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "scriptTimeLimit", "60000");  // the heap's limit is what is tried here
  ASSERT_TRUE(
      page.Load("<script>var result, kept = new Array(1 << 20).join('k');"
                "try { result = new Array(1 << 14).join(new Array(1 << 16).join('x')).length; }"
                "catch (e) { result = String(e); }</script>"));
  EXPECT_EQ(page.Eval("result + ' ' + kept.length"), "Error: alloc failed 1048575");
  EXPECT_EQ(page.Eval("String(new Array(1 << 20).join('y').length)"), "1048575");
}

// A view handle kept past its view addresses nothing, even when a new view
// takes the old one's memory.
TEST(HostilePageHandles, AStaleViewHandleNeverReachesALaterView) {
  ASSERT_TRUE(::wkeInitialize());
  for (int round = 0; round < 20; ++round) {
    wkeWebView stale = ::wkeCreateWebView();
    ASSERT_NE(stale, nullptr);
    ::wkeDestroyWebView(stale);
    wkeWebView fresh = ::wkeCreateWebView();
    ASSERT_NE(fresh, stale);
    EXPECT_EQ(::wkeGlobalExec(stale), nullptr);
    ::jsSetGlobal(::wkeGlobalExec(stale), "marker", ::jsInt(round));
    ::wkeDestroyWebView(stale);  // must not take the fresh view along
    EXPECT_NE(::wkeGlobalExec(fresh), nullptr);
    EXPECT_EQ(std::string(::jsToTempString(::wkeGlobalExec(fresh), ::jsEval(::wkeGlobalExec(fresh), "typeof marker"))),
              "undefined");
    ::wkeDestroyWebView(fresh);
  }
}

// A load that completes while the old page's script is still on the stack
// (in a dialog's message loop) replaces the page only once that script has
// unwound; until then the old page's native objects live.
TEST(HostilePageLifetime, ALoadCompletingInsideADialogWaitsForTheOldScript) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"next.html", "<script>var next = 'loaded';</script>"));
  ASSERT_TRUE(page.Load("<p>old</p>"));
  struct Dialog {
    EnginePage* page;
    Counted held;
    int finalized_in_dialog = -1;
  } dialog{&page, {}, -1};
  ::jsSetGlobal(page.es(), "held", ::jsObject(page.es(), &dialog.held.data));
  ::wkeOnAlertBox(
      page.view(),
      [](wkeWebView view, void* p, const wkeString) {
        auto* d = static_cast<Dialog*>(p);
        const int before = d->page->ready_count();
        ::wkeLoadFileW(view, (d->page->folder() + L"\\next.html").c_str());
        PumpMessagesUntil([&] { return d->page->ready_count() > before; });
        d->finalized_in_dialog = d->held.finalized;
      },
      &dialog);
  page.Eval("alert('modal'); held.after = typeof held;");
  EXPECT_EQ(dialog.finalized_in_dialog, 0);
  EXPECT_EQ(page.Eval("next"), "loaded");
  ASSERT_TRUE(PumpMessagesUntil([&] { return dialog.held.finalized == 1; }));
}

// A local page loads files only inside the application's folder, and never
// from a network share.
TEST(HostilePageResources, ALocalPageLoadsFilesOnlyInsideTheApplicationFolder) {
  EnginePage page;
  ASSERT_TRUE(::CreateDirectoryW((page.folder() + L"\\app").c_str(), nullptr));
  ASSERT_TRUE(page.WriteFile(L"app\\inside.js", "loaded.push('inside');"));
  ASSERT_TRUE(page.WriteFile(L"outside.js", "loaded.push('outside');"));
  ASSERT_TRUE(page.WriteFile(L"app\\page.html",
                             "<script>var loaded = [];</script><script src=\"inside.js\"></script>"
                             "<script src=\"../outside.js\"></script>"
                             "<script src=\"file://evil-host/share/x.js\"></script>"
                             "<script src=\"file:////evil-host/share/y.js\"></script>"));
  std::string root;
  for (wchar_t c : page.folder() + L"\\app") root += static_cast<char>(c);
  ::wkeSetDebugConfig(page.view(), "localFileRoot", root.c_str());
  ::wkeLoadFileW(page.view(), (page.folder() + L"\\app\\page.html").c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }));
  EXPECT_EQ(page.Eval("loaded.join()"), "inside");
  const std::string console = Console(page);
  EXPECT_NE(console.find("Refused to load script ../outside.js: a local page loads files only from the application "
                         "folder"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find("Refused to load script file://evil-host/share/x.js: network paths are never loaded"),
            std::string::npos);
  EXPECT_NE(console.find("Refused to load script file:////evil-host/share/y.js: network paths are never loaded"),
            std::string::npos);
}

}  // namespace
}  // namespace halyx::testing
