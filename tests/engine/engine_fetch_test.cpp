#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"
#include "support/net_stand_ins.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

// The client's own page: an address field, a button that fetches what it
// holds and keeps the outcome in `result`, and `outcome(promise)` for
// fetches started by script alone.
const char kFetchPage[] =
    "<input id=address style='position:fixed;left:0;top:0;width:400px;height:24px'>"
    "<button id=go style='position:fixed;left:0;top:40px;width:60px;height:30px'"
    " onclick='go()'>go</button>"
    "<script>var result = '';"
    "function outcome(p) {"
    "  result = '';"
    "  p.then(function (r) { return r.text().then(function (t) {"
    "      result = r.status + ' ' + r.ok + ' ' + t.length + ' ' + t.slice(0, 40); }); },"
    "    function (e) { result = e.name + ': ' + e.message; });"
    "}"
    "function go() { outcome(fetch(document.getElementById('address').value)); }"
    "</script>";

// Types `text` into the empty address field, as a person.
void Type(EnginePage& page, const std::string& text) {
  page.Eval("document.getElementById('address').value = ''; result = '';");
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 10, 10, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 10, 10, 0);
  for (char c : text) ::wkeFireKeyPressEvent(page.view(), static_cast<unsigned char>(c), 0, false);
}

void ClickGo(EnginePage& page) {
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 10, 50, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 10, 50, 0);
}

// Types `text` into the address field and clicks the button, as a person.
void TypeAndGo(EnginePage& page, const std::string& text) {
  Type(page, text);
  ClickGo(page);
}

// Waits for the page's `result`.
std::string Result(EnginePage& page, DWORD timeout_ms = 15000) {
  PumpMessagesUntil([&] { return !page.Eval("result").empty(); }, timeout_ms);
  return page.Eval("result");
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void LoadMainPage(EnginePage& page) {
  ::wkeSetDebugConfig(page.view(), "mainView", "1");
  ASSERT_TRUE(page.Load(kFetchPage));
}

// Promises settle from the job queue once script has returned to the
// engine: in order, adopting thenables, and catching what handlers throw.
TEST(EnginePromise, ReactionsRunAfterTheScriptInOrderAndAdoptThenables) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>promises</p>"));
  page.Eval(
      "var log = [];"
      "Promise.resolve(1).then(function (v) { log.push('then ' + v); return { then: function (ok) { ok(5); } }; })"
      "  .then(function (v) { log.push('thenable ' + v); throw new Error('boom'); })"
      "  .catch(function (e) { log.push('caught ' + e.message); })"
      "  .finally(function () { log.push('finally'); });"
      "Promise.all([1, Promise.resolve(2), new Promise(function (ok) { setTimeout(function () { ok(3); }, 10); })])"
      "  .then(function (v) { log.push('all ' + v.join()); });"
      "new Promise(function () { throw new TypeError('in executor'); }).then(null, function (e) {"
      "  log.push('rejected ' + e.name); });"
      "log.push('sync');");
  EXPECT_EQ(page.Eval("log.join()"), "sync,then 1,rejected TypeError,thenable 5,caught boom,finally");
  // Timers come only when no posted message waits, and every evaluation
  // posts one: a fixed wait, then one look.
  PumpMessagesFor(300);
  EXPECT_EQ(page.Eval("log[log.length - 1]"), "all 1,2,3");
  page.Eval("Promise.reject(new Error('nobody listens'));");
  bool reported = false;
  for (const std::wstring& line : page.ConsoleLines()) {
    reported = reported || line.find(L"Uncaught (in promise) Error: nobody listens") != std::wstring::npos;
  }
  EXPECT_TRUE(reported);
}

// An address reaches fetch's allowed set only when the person typed it
// and pressed the button; before that, and for text script put into the
// field, the promise is rejected and the server never asked.
TEST(EngineFetch, AnAddressThePersonTypedIsFetchedAndOthersAreRefused) {
  HttpEndpoint provider({"--status", "200", "--body", "[40]"});
  HttpEndpoint other({"--status", "200", "--body", "other"});
  ASSERT_TRUE(provider.ok() && other.ok());
  EnginePage page;
  LoadMainPage(page);
  const std::string url = provider.Url() + "/sub.json";
  page.Eval("outcome(fetch('" + url + "'))");
  EXPECT_TRUE(Contains(Result(page), "TypeError: fetch " + url + " refused")) << page.Eval("result");

  TypeAndGo(page, url);
  EXPECT_EQ(Result(page), "200 true 4 [40]");
  // Granted from now on, for script too (a refresh from a timer).
  page.Eval("result = ''; fetch('" + url +
            "').then(function (r) { return r.json(); }).then(function (j) { result = 'json ' + j[0]; });");
  EXPECT_EQ(Result(page), "json 40");
  // Nothing of the person's goes along.
  const HttpEndpoint::Figures figures = provider.Stats();
  EXPECT_EQ(figures.requests, 2);
  EXPECT_FALSE(Contains(figures.last, "Cookie")) << figures.last;
  EXPECT_FALSE(Contains(figures.last, "Authorization")) << figures.last;
  // A POST carries its text and the type the page named.
  page.Eval("outcome(fetch('" + url +
            "', {method: 'post', body: '{}', headers: {'Content-Type': 'application/json'}}))");
  EXPECT_EQ(Result(page), "200 true 4 [40]");
  const std::string posted = provider.Stats().last;
  EXPECT_EQ(posted.rfind("POST /sub.json ", 0), 0u) << posted;
  EXPECT_TRUE(Contains(posted, "Content-Type: application/json")) << posted;

  // Text the page wrote into the field grants nothing, even when clicked.
  const std::string other_url = other.Url() + "/";
  page.Eval("document.getElementById('address').value = '" + other_url + "';");
  ClickGo(page);
  EXPECT_TRUE(Contains(Result(page), "is not an address the person entered")) << page.Eval("result");
  // Nor does what the person typed on an earlier page, when the next page
  // writes the same text into its own field.
  Type(page, other_url);
  ASSERT_TRUE(page.Load(kFetchPage + std::string("<script>document.getElementById('address').value = '") + other_url +
                        "';</script>"));
  ClickGo(page);
  EXPECT_TRUE(Contains(Result(page), "is not an address the person entered")) << page.Eval("result");
  EXPECT_EQ(other.Stats().requests, 0);
  // Only GET and POST, and plain http only to this machine.
  page.Eval("try { outcome(fetch('" + url + "', {method: 'PUT'})); } catch (e) { result = 'threw'; }");
  EXPECT_TRUE(Contains(Result(page), "TypeError: fetch supports GET and POST")) << page.Eval("result");
  TypeAndGo(page, "http://example.invalid/x");
  EXPECT_TRUE(Contains(Result(page), "plain http only to this machine")) << page.Eval("result");
}

// A grant outlives the page and the run (kept in the view's storage
// folder), and nothing the page writes to its own storage makes one.
TEST(EngineFetch, GrantsAreKeptForTheNextRunAndPageStorageMakesNone) {
  HttpEndpoint provider({"--status", "200", "--body", "kept"});
  HttpEndpoint other({"--status", "200", "--body", "other"});
  ASSERT_TRUE(provider.ok() && other.ok());
  ScopedTempDir storage;
  const std::wstring folder = storage.path() + L"\\LocalStorage";
  const std::string other_origin = "http://127.0.0.1:" + std::to_string(other.Port());
  {
    EnginePage page;
    ::wkeSetLocalStorageFullPath(page.view(), folder.c_str());
    LoadMainPage(page);
    TypeAndGo(page, provider.Url() + "/");
    EXPECT_EQ(Result(page), "200 true 4 kept");
    page.Eval("localStorage.setItem('" + other_origin + "', '1');");
  }
  EnginePage page;
  ::wkeSetLocalStorageFullPath(page.view(), folder.c_str());
  LoadMainPage(page);
  page.Eval("outcome(fetch('" + provider.Url() + "/again'))");
  EXPECT_EQ(Result(page), "200 true 4 kept");
  page.Eval("outcome(fetch('" + other.Url() + "/'))");
  EXPECT_TRUE(Contains(Result(page), "is not an address the person entered")) << page.Eval("result");
  EXPECT_EQ(other.Stats().requests, 0);
}

// Each request holds a worker: a page asking for many at once gets eight
// running and the rest refused at once, and may ask again once they end.
TEST(EngineFetch, AtMostEightRequestsRunAtOnce) {
  HttpEndpoint slow({"--status", "200", "--body", "ok", "--delay-ms", "800"});
  ASSERT_TRUE(slow.ok());
  EnginePage page;
  LoadMainPage(page);
  TypeAndGo(page, slow.Url() + "/");
  ASSERT_EQ(Result(page), "200 true 2 ok");
  page.Eval(
      "var outcomes = [];"
      "for (var i = 0; i < 20; i++) fetch('" +
      slow.Url() +
      "/').then(function (r) { outcomes.push('ok'); },"
      " function (e) { outcomes.push(e.message.indexOf('more than 8 requests at once') >= 0 ? 'busy' : e.message); "
      "});");
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.Eval("outcomes.length") == "20"; }, 20000));
  EXPECT_EQ(page.Eval("outcomes.filter(function (o) { return o === 'ok'; }).length + ' ' +"
                      " outcomes.filter(function (o) { return o === 'busy'; }).length"),
            "8 12");
  EXPECT_LE(slow.Stats().maxConcurrent, 8);
  page.Eval("outcome(fetch('" + slow.Url() + "/'))");
  EXPECT_EQ(Result(page), "200 true 2 ok");
}

// Puts `text` on the clipboard for this test's lifetime, owned by a hidden
// window of its own (a clipboard opened without one cannot be written).
class ClipboardText {
 public:
  explicit ClipboardText(const std::wstring& text)
      : owner_(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr)) {
    if (owner_ == nullptr || !::OpenClipboard(owner_)) return;
    ::EmptyClipboard();
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    if (auto* chars = block != nullptr ? static_cast<wchar_t*>(::GlobalLock(block)) : nullptr) {
      text.copy(chars, text.size());
      chars[text.size()] = L'\0';
      ::GlobalUnlock(block);
      set_ = ::SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    }
    if (!set_ && block != nullptr) ::GlobalFree(block);
    ::CloseClipboard();
  }
  ~ClipboardText() {
    if (owner_ != nullptr && ::OpenClipboard(owner_)) {
      ::EmptyClipboard();
      ::CloseClipboard();
    }
    if (owner_ != nullptr) ::DestroyWindow(owner_);
  }
  ClipboardText(const ClipboardText&) = delete;
  ClipboardText& operator=(const ClipboardText&) = delete;
  bool set() const { return set_; }

 private:
  HWND owner_;
  bool set_ = false;
};

// Ctrl+V in the field is the person's own text as well: a pasted address
// (its line break dropped in a one-line field) is granted like a typed one.
TEST(EngineFetch, AnAddressThePersonPastedIsGrantedLikeATypedOne) {
  HttpEndpoint provider({"--status", "200", "--body", "pasted"});
  ASSERT_TRUE(provider.ok());
  const std::string url = provider.Url() + "/sub.json";
  ClipboardText clipboard(std::wstring(url.begin(), url.end()) + L"\r\n");
  ASSERT_TRUE(clipboard.set());
  EnginePage page;
  LoadMainPage(page);
  Type(page, "");
  BYTE saved[256];
  ::GetKeyboardState(saved);
  BYTE held[256];
  ::GetKeyboardState(held);
  held[VK_CONTROL] = 0x80;
  ::SetKeyboardState(held);
  ::wkeFireKeyDownEvent(page.view(), 'V', 0, false);
  ::SetKeyboardState(saved);
  EXPECT_EQ(page.Eval("document.getElementById('address').value"), url);
  ClickGo(page);
  EXPECT_EQ(Result(page), "200 true 6 pasted");
}

// Any page but the client's own has no fetch at all.
TEST(EngineFetch, OnlyTheMainPageHasFetch) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kFetchPage));
  EXPECT_EQ(page.Eval("typeof fetch"), "undefined");
}

// Each redirect's target is put to the same rule before it is asked: to an
// entered origin it is followed, elsewhere the promise is rejected.
TEST(EngineFetch, RedirectsAreCheckedAtEveryHop) {
  HttpEndpoint target({"--status", "200", "--body", "arrived"});
  HttpEndpoint refused({"--status", "200", "--body", "leaked"});
  ASSERT_TRUE(target.ok() && refused.ok());
  HttpEndpoint to_target({"--status", "302", "--body", "", "--location", target.Url() + "/end"});
  HttpEndpoint to_refused({"--status", "302", "--body", "", "--location", refused.Url() + "/end"});
  ASSERT_TRUE(to_target.ok() && to_refused.ok());
  EnginePage page;
  LoadMainPage(page);
  TypeAndGo(page, target.Url() + "/");
  EXPECT_EQ(Result(page), "200 true 7 arrived");
  TypeAndGo(page, to_target.Url() + "/start");
  EXPECT_EQ(Result(page), "200 true 7 arrived");
  page.Eval("result = ''; fetch('" + to_target.Url() +
            "/start').then(function (r) {"
            " result = r.redirected + ' ' + r.url; });");
  EXPECT_EQ(Result(page), "true " + target.Url() + "/end");

  TypeAndGo(page, to_refused.Url() + "/start");
  EXPECT_TRUE(Contains(Result(page), "redirect refused " + refused.Url() + "/end")) << page.Eval("result");
  EXPECT_EQ(refused.Stats().requests, 0);
}

// A body past 4 MiB, a server that trickles past the deadline, a server
// that is not there, and an HTTP error: rejected or delivered, never hung.
TEST(EngineFetch, OversizedSlowAndFailingAnswers) {
  HttpEndpoint large({"--status", "200", "--pad", std::to_string((4 << 20) + 1), "--body", ""});
  HttpEndpoint just({"--status", "200", "--pad", std::to_string(4 << 20), "--body", ""});
  HttpEndpoint trickle({"--status", "200", "--trickle-ms", "50"});
  HttpEndpoint missing({"--status", "404", "--body", "gone"});
  ASSERT_TRUE(large.ok() && just.ok() && trickle.ok() && missing.ok());
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "fetchDeadline", "1500");
  LoadMainPage(page);
  TypeAndGo(page, large.Url() + "/");
  EXPECT_TRUE(Contains(Result(page), "fetch failed: the answer is larger than 4194304 bytes")) << page.Eval("result");
  TypeAndGo(page, just.Url() + "/");
  EXPECT_EQ(Result(page).substr(0, 22), "200 true 4194304 xxxxx");
  TypeAndGo(page, trickle.Url() + "/");
  EXPECT_TRUE(Contains(Result(page), "fetch failed: no answer within 1 s")) << page.Eval("result");
  TypeAndGo(page, missing.Url() + "/");
  EXPECT_EQ(Result(page), "404 false 4 gone");
  TypeAndGo(page, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/");
  EXPECT_TRUE(Contains(Result(page), "fetch failed: no answer from")) << page.Eval("result");
}

// The answer of a page that was closed, or replaced by another load, while
// its request ran is dropped: no crash, and the next page sees nothing.
TEST(EngineFetch, AnAnswerForAClosedOrReplacedPageIsDropped) {
  HttpEndpoint slow({"--status", "200", "--body", "late", "--delay-ms", "700"});
  ASSERT_TRUE(slow.ok());
  {
    EnginePage page;
    LoadMainPage(page);
    TypeAndGo(page, slow.Url() + "/");
    ASSERT_TRUE(slow.WaitForRequests(1, 5000));
    page.DestroyView();
    PumpMessagesFor(1200);
  }
  EnginePage page;
  LoadMainPage(page);
  TypeAndGo(page, slow.Url() + "/");
  ASSERT_TRUE(slow.WaitForRequests(2, 5000));
  ASSERT_TRUE(page.Load(kFetchPage + std::string("<script>result = 'second page';</script>")));
  PumpMessagesFor(1200);
  EXPECT_EQ(page.Eval("result"), "second page");
}

}  // namespace
}  // namespace halyx::testing
