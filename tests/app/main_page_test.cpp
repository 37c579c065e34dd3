// The client's page "app\main.html" as installed, in the real engine, over a
// stand-in HalyxDispatch written in script that records every call: the
// title tells the tunnel state as events arrive, one control connects
// (SetConfig, then StartTunnel once it is taken) and disconnects, failures
// read as sentences, servers sort as results arrive, the controls sit where
// people and scripts aim, and the language switch changes every text.
#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "support/dialog_answer.h"
#include "support/engine_page.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

// Two configurations added from files earlier, then the stand-in dispatch
// object; it runs before the page's own scripts.
const char kStandIns[] =
    "if (localStorage.getItem('quorvpn.imported') === null) localStorage.setItem('quorvpn.imported', JSON.stringify("
    "  [{name: 'tokyo', title: 'Tokyo', text: '[Interface]\\nA = 1\\n'},"
    "   {name: 'oslo', title: 'Oslo', text: '[Interface]\\nA = 2\\n[Peer]\\nEndpoint = oslo.example.net:51820\\n'}]));"
    "var calls = [];"
    "var HalyxDispatch = {};"
    "['GetVersion', 'GetDeviceName', 'GetDeviceId', 'SetConfig', 'LoadConfig', 'StartTunnel', 'StopTunnel',"
    " 'SetAdInfo', 'SetAdGlobal', 'SetAdLocal', 'GetLogFiles', 'CheckUpdate', 'OpenUrl', 'NewWindow',"
    " 'MinimizeWindow', 'CloseWindow', 'MoveWindow', 'LogJSConsole', 'StartTracing', 'StopTracing'].forEach(function "
    "(name) {"
    "  HalyxDispatch[name] = function () {"
    "    if (name !== 'LogJSConsole') calls.push(name + '(' + Array.prototype.slice.call(arguments, 0, 1).join() + "
    "')');"
    "    return name === 'GetVersion' ? '6.0.8' : name === 'GetDeviceName' ? 'DESK-1' : undefined;"
    "  };"
    "});";

// A provider behind a stand-in fetch (its answer set by the test), files
// behind a stand-in FileReader, and sealing as the stand-in SetAdLocal
// opens it: "sealed:" and the text, in hexadecimal; anything else does not
// open. The page's 20-second deadline is cut short for a provider that
// never answers, and every delay the page asks for is recorded.
const char kProvider[] =
    "function hex(s) { var h = ''; for (var i = 0; i < s.length; i++) h += ('0' + s.charCodeAt(i).toString(16))"
    "  .slice(-2); return h; }"
    "function seal(text) { return hex('sealed:' + text); }"
    "HalyxDispatch.SetAdLocal = function (id, payload) {"
    "  calls.push('SetAdLocal(' + id + ')');"
    "  var s = ''; for (var i = 0; i + 1 < payload.length; i += 2) s += String.fromCharCode(parseInt(payload.substr(i, "
    "2), 16));"
    "  HalyxBridge.PostResult(s.indexOf('sealed:') !== 0 ? {type: 'SetAdLocal', result: 3}"
    "                        : {type: 'SetAdLocal', result: 0, id: id, data: s.substring(7)});"
    "};"
    "function list(n) { var l = []; for (var i = 0; i < n; i++) l.push({name: 's' + i}); return "
    "JSON.stringify({servers: l}); }"
    "function subscriptionDocument(sealer, servers) {"
    "  sealer = sealer || seal;"
    "  return JSON.stringify({format: 'quorvpn-subscription', version: 1, provider: 'Example VPN', refresh: 60,"
    "    configurations: [{name: 'paris', title: 'Paris', text: '[Interface]\\nA = 3\\n'},"
    "                     {name: '..\\\\..\\\\evil', text: '[Interface]\\nA = 4\\n'}],"
    "    servers: sealer(list(servers || 40)), reachability: sealer(list(5)), notice: sealer('Hello from Example "
    "VPN')});"
    "}"
    "var provider = {status: 200, body: subscriptionDocument(), hang: false, refuse: '', requests: []};"
    "function later(value) { return {then: function (ok) { realSetTimeout(function () { ok(value); }, 0); }}; }"
    "var fetch = function (url) {"
    "  provider.requests.push(url);"
    "  if (provider.hang) return {then: function () {}};"
    "  if (provider.refuse) return {then: function (ok, bad) { realSetTimeout(function () {"
    "    bad(new Error(provider.refuse)); }, 0); }};"
    "  var body = provider.body;"
    "  return later({ok: provider.status === 200, status: provider.status, text: function () { return later(body); }});"
    "};"
    "var engineFileReader = FileReader;"
    "var FileReader = function () {};"
    "FileReader.prototype.readAsText = function (file) {"
    "  var reader = this;"
    "  realSetTimeout(function () { reader.result = file.text; reader.onload(); }, 0);"
    "};"
    "var delays = [];"
    "var realSetTimeout = setTimeout;"
    "setTimeout = function (f, ms) { delays.push(ms); return realSetTimeout(f, ms === 20000 && provider.hang ? 10 : "
    "ms); };";

class MainPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(page_.view(), nullptr);
    ::wkeResize(page_.view(), 800, 572);
    // As the client marks its page: the open dialog and fetch are there.
    ::wkeSetDebugConfig(page_.view(), "mainView", "1");
    const std::wstring app = BesideExecutable(L"app\\");
    for (const wchar_t* file : {L"main.css", L"strings.js", L"main.js"}) {
      const std::string text = ReadWholeFile(app + file);
      ASSERT_FALSE(text.empty()) << WideToUtf8(file);
      ASSERT_TRUE(page_.WriteFile(file, text));
    }
    const std::string html = ReadWholeFile(app + L"main.html");
    ASSERT_FALSE(html.empty());
    ASSERT_TRUE(page_.WriteFile(L"stand_ins.js", std::string("localStorage.clear();") + kStandIns + kProvider));
    html_ = html;
    const std::string scripts = "<script src=\"strings.js\"></script>";
    ASSERT_NE(html_.find(scripts), std::string::npos);
    html_.replace(html_.find(scripts), 0, "<script src=\"stand_ins.js\"></script>");
    ASSERT_TRUE(page_.Load(html_));
    ASSERT_TRUE(WaitFor([&] { return Eval("document.getElementById('deviceName').textContent") == "DESK-1"; }));
  }

  // Every evaluation posts the engine a task, so a wait that evaluates
  // between single messages would keep the queue from ever running dry,
  // and timers come only then: this one pumps in slices.
  bool WaitFor(const std::function<bool()>& done) const {
    for (int i = 0; i < 100; ++i) {
      if (done()) return true;
      PumpMessagesFor(50);
    }
    return done();
  }
  std::string Eval(const std::string& script) const { return page_.Eval(script); }
  std::string Title() const { return Eval("document.title"); }
  void Post(const std::string& json) const { Eval("HalyxBridge.PostResult(" + json + ")"); }
  // The calls made since the last look, comma separated.
  std::string TakeCalls() const { return Eval("calls.splice(0, calls.length).join()"); }
  void Click(const char* id) const { Eval(std::string("document.getElementById('") + id + "').click()"); }

  // The page again, as at the client's next start: storage kept.
  // `provider` sets the provider's answers before the page asks.
  void Restart(const std::string& provider = "") {
    ASSERT_TRUE(page_.WriteFile(L"stand_ins.js", std::string(kStandIns) + kProvider + provider));
    ASSERT_TRUE(page_.Load(html_));
    ASSERT_TRUE(WaitFor([&] { return Eval("document.getElementById('deviceName').textContent") == "DESK-1"; }));
  }
  std::string Text(const char* id) const {
    return Eval(std::string("document.getElementById('") + id + "').textContent");
  }
  std::string ConfigTitles() const {
    return Eval(
        "Array.prototype.map.call(document.querySelectorAll('#configs .config'),"
        " function (b) { return b.textContent; }).join('|')");
  }

  EnginePage page_;
  std::string html_;
};

TEST_F(MainPageTest, TitleFollowsTheTunnelThroughConnectAndDisconnect) {
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Service unavailable");
  Post("{result: 0, status: {config: '', outbound: '', running: false}, type: 'QueryTunnel'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Stopped");
  TakeCalls();

  // The first configuration is chosen; starting waits for SetConfig's answer.
  Click("connect");
  EXPECT_EQ(TakeCalls(), "SetConfig(tokyo)");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Connecting");
  Post("{result: 0, type: 'SetConfig'}");
  EXPECT_EQ(TakeCalls(), "StartTunnel()");
  Post("{result: 0, status: {config: '', outbound: '', running: false}, type: 'QueryTunnel'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Connecting");
  Post("{result: 0, type: 'StartTunnel'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Connected");

  Click("connect");
  EXPECT_EQ(TakeCalls(), "StopTunnel()");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Disconnecting");
  Post("{result: 0, type: 'StopTunnel'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Stopped");

  // Choosing another configuration hands it over; failures are sentences.
  Eval("document.querySelectorAll('#configs button')[1].click()");
  EXPECT_EQ(TakeCalls(), "LoadConfig(oslo)");
  Click("connect");
  EXPECT_EQ(TakeCalls(), "SetConfig(oslo)");
  Post("{result: 0, type: 'SetConfig'}");
  Post("{result: 5, type: 'StartTunnel'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Error: The tunnel service could not start the tunnel (code 5).");
  EXPECT_EQ(Eval("document.getElementById('hint').textContent"),
            "The tunnel service could not start the tunnel (code 5).");
  Click("connect");
  Post("{type: 'SetConfig', result: 102}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Error: The tunnel service is not available (code 102).");
  Click("connect");
  Post("{type: 'SetConfig', result: 0}");
  Post("{type: 'StartTunnel', result: 10001}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Error: The request could not be sent to the tunnel service (code 10001).");

  // The service's own notice that it cannot be reached.
  Click("connect");
  Eval("calls.length = 0");
  Post("{type: 'SetConfig', result: 0}");
  Post("{type: 'StartTunnel', result: 0}");
  Post("{type: 'QueryTunnel', result: 102}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Service unavailable");
}

TEST_F(MainPageTest, ServersSortAsResultsArriveWithTheBestMarkedAndLostLast) {
  Post(
      "{ads: [{dropRate: 0, lag: 0, name: 'a', title: 'Alpha'}, {dropRate: 0, lag: 0, name: 'b', title: 'Beta'},"
      " {dropRate: 0, lag: 0, name: 'c', title: 'Gamma'}, {dropRate: 0, lag: 0, name: 'd', title: 'Delta'}],"
      " id: 'g', result: 0, route: {name: 'r', title: 'Route'}, type: 'SetAdInfo'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Service unavailable \u00b7 0/4 servers");
  Post("{ad: {dropRate: 1, lag: 0, name: 'a', title: 'Alpha'}, id: 'g', result: 0, type: 'AdInfo'}");
  Post("{ad: {dropRate: 0.2, lag: 120, name: 'c', title: 'Gamma'}, id: 'g', result: 0, type: 'AdInfo'}");
  Post("{ad: {dropRate: 0, lag: 45, name: 'd', title: 'Delta'}, id: 'g', result: 0, type: 'AdInfo'}");
  // A result of an earlier list changes nothing.
  Post("{ad: {dropRate: 0, lag: 1, name: 'b', title: 'Beta'}, id: 'old', result: 0, type: 'AdInfo'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Service unavailable \u00b7 3/4 servers");
  const std::string rows =
      "Array.prototype.map.call(document.querySelectorAll('#servers .row'), function (r) {"
      "  return r.getAttribute('data-name') + (r.classList.contains('best') ? '*' : '') + ':' +"
      "         r.querySelector('.lag').textContent + ' ' + r.querySelector('.loss').textContent; }).join('|')";
  EXPECT_EQ(Eval(rows), "d*:45 ms |c:120 ms 20% loss|b:\u2026 |a:lost ");

  Post("{type: 'SetAdInfo', result: 3}");
  EXPECT_EQ(Eval("document.getElementById('serverStatus').textContent"),
            "The server list could not be decrypted or read (code 3).");
  Post("{ad: {name: 'x', status: 'MAINTAIN', title: 'X'}, id: 'm', result: 0, type: 'AdGlobal'}");
  Post(
      "{ads: [{name: 'x', status: 'MAINTAIN', title: 'X'}, {name: 'y', status: 'MAINTAIN', title: 'Y'}],"
      " id: 'm', result: 0, route: {}, type: 'SetAdGlobal'}");
  Post("{ad: {name: 'x', status: 'MAINTAIN', title: 'X'}, id: 'm', result: 0, type: 'AdGlobal'}");
  Post("{ad: {name: 'y', status: '', title: 'Y'}, id: 'm', result: 0, type: 'AdGlobal'}");
  EXPECT_EQ(Eval("Array.prototype.map.call(document.querySelectorAll('#media .status'),"
                 " function (s) { return s.textContent; }).join()"),
            "Unreachable,Reachable");
}

// Where a pointer lands, whatever the language: the header's buttons, the
// connect control (at least 120 across) and the measure button.
TEST_F(MainPageTest, ControlsSitWhereTheyAreAimedAtInEitherLanguage) {
  struct Spot {
    const char* selector;
    int x;
    int y;
  };
  const Spot spots[] = {{"#lang", 684, 24},       {"#minimise", 728, 24},         {"#close", 772, 24},
                        {"#connect", 200, 250},   {"#measure", 740, 80},          {"#addConfig", 341, 72},
                        {"#configFile", 341, 72}, {"#subscriptionUrl", 516, 418}, {"#subscribe", 659, 418}};
  for (const bool chinese : {false, true}) {
    if (chinese) Click("lang");
    for (const Spot& spot : spots) {
      wkeRect rect{};
      ASSERT_TRUE(page_.ElementRect(spot.selector, rect)) << spot.selector;
      EXPECT_NEAR(rect.x + rect.w / 2.0, spot.x, 1.0) << spot.selector << (chinese ? " zh" : " en");
      EXPECT_NEAR(rect.y + rect.h / 2.0, spot.y, 1.0) << spot.selector << (chinese ? " zh" : " en");
    }
  }
  wkeRect connect{};
  ASSERT_TRUE(page_.ElementRect("#connect", connect));
  EXPECT_GE(connect.w, 120);
  EXPECT_GE(connect.h, 120);
  wkeRect header{};
  ASSERT_TRUE(page_.ElementRect("#header", header));
  EXPECT_EQ(header.y, 0);
  EXPECT_GE(header.h, 48);

  // Chinese throughout, kept for the next start; a real click switches back.
  EXPECT_EQ(Title(), "QuorVPN \u00b7 \u670d\u52a1\u4e0d\u53ef\u7528");
  EXPECT_EQ(Eval("document.getElementById('connectLabel').textContent"), "\u8fde\u63a5");
  EXPECT_EQ(Eval("localStorage.getItem('quorvpn.language')"), "zh");
  ::wkeFireMouseEvent(page_.view(), WM_LBUTTONDOWN, 684, 24, MK_LBUTTON);
  ::wkeFireMouseEvent(page_.view(), WM_LBUTTONUP, 684, 24, 0);
  EXPECT_TRUE(WaitFor([&] { return Title() == "QuorVPN \u00b7 Service unavailable"; })) << Title();
}

// "Check for updates" says the check started only when the client said at
// load that its updater is there; otherwise it says the updater is missing
// and asks for nothing.
TEST_F(MainPageTest, CheckForUpdatesTellsWhetherTheUpdaterIsThere) {
  TakeCalls();
  Eval("HalyxUpdaterPresent = false");
  Click("checkUpdate");
  EXPECT_EQ(TakeCalls(), "");
  EXPECT_EQ(Eval("document.getElementById('deviceNote').textContent"),
            "Updates are not available: the updater is missing from this installation.");
  EXPECT_EQ(Eval("document.getElementById('deviceNote').className"), "note bad");

  Eval("HalyxUpdaterPresent = true");
  Click("checkUpdate");
  EXPECT_EQ(TakeCalls(), "CheckUpdate()");
  EXPECT_EQ(Eval("document.getElementById('deviceNote').textContent"),
            "The updater is checking for a new version; it shows its own window.");
}

// While connected the page offers a route trace to the server that the
// configuration in use names; a second press stops it, a refusal reads as a
// sentence, and nothing is offered once the tunnel is down.
TEST_F(MainPageTest, TraceRouteGoesToTheServerOfTheConfigurationInUse) {
  Eval("HalyxDispatch.StartTracing = function (h, p) { calls.push('StartTracing(' + h + ':' + p + ')'); }");
  auto note = [&] { return Eval("document.getElementById('deviceNote').textContent"); };
  auto button = [&] { return Eval("var b = document.getElementById('traceRoute'); b.hidden ? '' : b.textContent"); };
  auto running = [&](const char* config, bool up) {
    Post(std::string("{result: 0, status: {config: 'C:\\\\conf\\\\") + config +
         ".conf', outbound: '', running: " + (up ? "true" : "false") + "}, type: 'QueryTunnel'}");
  };
  running("tokyo", false);
  EXPECT_EQ(button(), "");
  running("tokyo", true);
  EXPECT_EQ(button(), "Trace route");
  // Beside Measure, clear of it and of the route's title, in either
  // language.
  for (const bool chinese : {false, true}) {
    if (chinese) Click("lang");
    wkeRect trace{}, measure{}, route{};
    ASSERT_TRUE(page_.ElementRect("#traceRoute", trace));
    ASSERT_TRUE(page_.ElementRect("#measure", measure));
    ASSERT_TRUE(page_.ElementRect("#route", route));
    EXPECT_LE(trace.x + trace.w, measure.x) << (chinese ? "zh" : "en");
    EXPECT_LE(route.x + route.w, trace.x) << (chinese ? "zh" : "en");
    EXPECT_EQ(trace.y, measure.y) << (chinese ? "zh" : "en");
  }
  Click("lang");
  TakeCalls();
  Click("traceRoute");
  EXPECT_EQ(TakeCalls(), "");
  EXPECT_EQ(note(), "The configuration in use names no server to trace to.");

  running("oslo", true);
  Click("traceRoute");
  EXPECT_EQ(TakeCalls(), "StartTracing(oslo.example.net:51820)");
  EXPECT_EQ(button(), "Stop tracing");
  EXPECT_EQ(note().rfind("Tracing the route to oslo.example.net.", 0), 0u) << note();
  Click("traceRoute");
  EXPECT_EQ(TakeCalls(), "StopTracing()");
  EXPECT_EQ(button(), "Trace route");

  Click("traceRoute");
  TakeCalls();
  Post("{type: 'StartTracing', result: 101}");
  EXPECT_EQ(button(), "Trace route");
  EXPECT_EQ(note(), "The tunnel is not running (code 101).");
  EXPECT_EQ(Eval("document.getElementById('deviceNote').className"), "note bad");
  running("oslo", false);
  EXPECT_EQ(button(), "");
}

// A subscription brings the provider's configurations (names made safe),
// its measured lists and its notice once every sealed part opened; a
// refresh that fails in any way keeps that copy in use and says why; the
// copy survives a restart, where the address is asked again; removing the
// subscription takes back all it brought.
TEST_F(MainPageTest, SubscriptionKeepsItsLastGoodCopyThroughFailedRefreshes) {
  const std::string url = "https://provider.example/sub.json";
  Eval("document.getElementById('subscriptionUrl').value = ' " + url + " '");
  TakeCalls();
  Click("subscribe");
  auto status = [&] { return Text("subscriptionStatus"); };
  ASSERT_TRUE(WaitFor([&] { return status().rfind("Example VPN: 2 configurations, 40 servers, 5", 0) == 0; }))
      << status();
  EXPECT_EQ(Eval("provider.requests.join()"), url);
  // Every sealed part is opened before any is handed on.
  EXPECT_EQ(TakeCalls(),
            "SetAdLocal(subscription-check),SetAdLocal(subscription-check),SetAdLocal(subscription-check),"
            "SetAdInfo(subscription),SetAdGlobal(subscription),SetAdLocal(subscription-notice)");
  EXPECT_EQ(Text("notice"), "Hello from Example VPN");
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo|Paris|evil");
  EXPECT_EQ(Text("subscribe"), "Remove");
  // The provider asked for a minute; it gets the floor of five.
  const std::string next = Eval("delays[delays.length - 1]");
  EXPECT_LE(std::stoi(next), 300000) << Eval("delays.join()");
  EXPECT_GE(std::stoi(next), 290000) << Eval("delays.join()");

  struct Failure {
    const char* setUp;
    const char* reason;
  };
  const Failure failures[] = {
      {"provider.status = 404", "the address answered with status 404."},
      {"provider.body = '<html>Moved</html>'", "the answer is not a subscription document."},
      {"provider.body = new Array(1024 * 1024 + 2).join('x')", "the document is larger than 1 MB."},
      {"provider.hang = true", "the provider did not answer within 20 seconds."},
      {"provider.body = subscriptionDocument(function (t) { return hex('other key:' + t); })",
       "its sealed lists do not open with this client\u2019s key."},
      {"provider.body = JSON.stringify({format: 'quorvpn-subscription', version: 1, provider: 'X', refresh: 60})",
       "the document is incomplete or malformed."},
      {"provider.refuse = 'refused by the origin rules'",
       "the provider could not be reached (refused by the origin rules)."},
  };
  for (const Failure& failure : failures) {
    Eval("provider.status = 200; provider.hang = false; provider.refuse = ''; provider.body = subscriptionDocument()");
    Eval(failure.setUp);
    TakeCalls();
    Click("refreshSubscription");
    ASSERT_TRUE(WaitFor([&] { return status().rfind("The refresh at ", 0) == 0; })) << failure.reason;
    EXPECT_NE(status().find(std::string(" failed: ") + failure.reason + " The copy from "), std::string::npos)
        << status();
    EXPECT_NE(status().find("Example VPN: 2 configurations, 40 servers"), std::string::npos) << status();
    EXPECT_EQ(Eval("document.getElementById('subscriptionStatus').className"), "note bad");
    EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo|Paris|evil") << failure.reason;
    // Nothing of the failed answer reached the measurements.
    EXPECT_EQ(TakeCalls().find("SetAdInfo"), std::string::npos) << failure.reason;
  }

  // The next start shows the kept copy and measures it at once, and asks
  // the address again; the failure stays told while that fails too.
  Restart("provider.status = 404;");
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo|Paris|evil");
  EXPECT_NE(TakeCalls().find("SetAdInfo(subscription),SetAdGlobal(subscription)"), std::string::npos);
  ASSERT_TRUE(WaitFor([&] { return Eval("provider.requests.length") == "1"; })) << Eval("provider.requests.join()");
  ASSERT_TRUE(WaitFor([&] { return status().find("status 404") != std::string::npos; })) << status();
  Eval("provider.status = 200; provider.body = subscriptionDocument()");
  Click("refreshSubscription");
  ASSERT_TRUE(WaitFor([&] { return status().rfind("Example VPN: ", 0) == 0; })) << status();
  EXPECT_EQ(Eval("document.getElementById('subscriptionStatus').className"), "note");

  // Removing takes back the configurations, the lists and the notice; a
  // list result of the removed subscription arriving late shows nothing.
  Eval("document.querySelectorAll('#configs .config')[2].click()");
  Click("subscribe");
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo");
  EXPECT_EQ(Eval("document.querySelector('#configs .chosen').textContent"), "Tokyo");
  EXPECT_EQ(Text("notice"), "");
  EXPECT_EQ(Eval("String(localStorage.getItem('quorvpn.subscription'))"), "null");
  Post(
      "{ads: [{dropRate: 0, lag: 0, name: 'a', title: 'Alpha'}], id: 'subscription', result: 0, route: {},"
      " type: 'SetAdInfo'}");
  EXPECT_EQ(Title(), "QuorVPN \u00b7 Service unavailable");
  EXPECT_EQ(Text("servers"), "No server list is available.");
  EXPECT_EQ(Text("subscribe"), "Subscribe");
}

// An address that is neither https nor this machine's, and a first answer
// that is no document, leave the page unsubscribed and say why.
TEST_F(MainPageTest, SubscribingRefusesBadAddressesAndBadFirstAnswers) {
  auto subscribeTo = [&](const std::string& url) {
    Eval("document.getElementById('subscriptionUrl').value = '" + url + "'");
    Click("subscribe");
  };
  for (const char* url : {"ftp://provider.example/sub", "http://provider.example/sub", "https://", "sub.json"}) {
    subscribeTo(url);
    EXPECT_EQ(Text("subscriptionStatus"), "Enter an https:// address (http:// only to this computer).") << url;
  }
  EXPECT_EQ(Eval("provider.requests.length"), "0");

  Eval("provider.status = 404");
  subscribeTo("http://127.0.0.1:8080/sub.json");
  ASSERT_TRUE(WaitFor([&] { return Text("subscriptionStatus").rfind("Not subscribed", 0) == 0; }));
  EXPECT_EQ(Text("subscriptionStatus"), "Not subscribed: the address answered with status 404.");
  EXPECT_EQ(Eval("document.getElementById('subscriptionStatus').className"), "note bad");
  EXPECT_EQ(Eval("String(localStorage.getItem('quorvpn.subscription'))"), "null");
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo");
  EXPECT_EQ(Text("refreshSubscription"), "Refresh");
  EXPECT_EQ(Eval("document.getElementById('refreshSubscription').hidden"), "true");

  // A kept copy this client can no longer open (sealed with a key it does
  // not have) is not used, but its address is asked again at the start.
  Eval(
      "localStorage.setItem('quorvpn.subscription', JSON.stringify({url: 'https://provider.example/sub.json',"
      " text: subscriptionDocument(function (t) { return hex('old key:' + t); }), fetchedAt: 1}))");
  Restart();
  ASSERT_TRUE(WaitFor([&] { return Text("subscriptionStatus").rfind("Example VPN: ", 0) == 0; }))
      << Text("subscriptionStatus");
  EXPECT_EQ(Eval("provider.requests.join()"), "https://provider.example/sub.json");
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo|Paris|evil");
}

// A configuration file is shown by name and size, refused with a reason
// when it is too large or not text, and otherwise handed to LoadConfig
// under a safe name, chosen, and still there at the next start.
TEST_F(MainPageTest, AddedConfigurationFileIsCheckedNamedSafelyAndKept) {
  auto pick = [&](const std::string& file) {
    Eval(
        "var input = document.getElementById('configFile');"
        "Object.defineProperty(input, 'files', {value: [" +
        file +
        "], configurable: true});"
        "input.dispatchEvent(new Event('change'))");
  };
  auto note = [&] { return Text("configNote"); };
  TakeCalls();
  pick("{name: 'huge.conf', size: 70000, text: 'x'}");
  EXPECT_EQ(note(), "huge.conf (68 KB) is too large for a configuration (at most 64 KB).");
  pick("{name: 'photo.conf', size: 6, text: 'PNG\\u0000\\u0001'}");
  ASSERT_TRUE(WaitFor([&] { return note().find("photo.conf") != std::string::npos; }));
  EXPECT_EQ(note(), "photo.conf (6 bytes) is not a text file, so it is no configuration.");
  EXPECT_EQ(Eval("document.getElementById('configNote').className"), "note bad");
  pick("{name: 'blank.conf', size: 3, text: ' \\n '}");
  ASSERT_TRUE(WaitFor([&] { return note().find("blank.conf") != std::string::npos; }));
  EXPECT_EQ(note(), "blank.conf (3 bytes) is empty.");
  EXPECT_EQ(TakeCalls(), "");

  pick("{name: '..Home & Away!.conf', size: 25, text: '\\ufeff[Interface]\\nA = 9\\n'}");
  ASSERT_TRUE(WaitFor([&] { return note().rfind("Added", 0) == 0; })) << note();
  EXPECT_EQ(note(), "Added ..Home & Away!.conf (25 bytes) as ..Home & Away! and handed it to the tunnel service.");
  EXPECT_EQ(TakeCalls(), "LoadConfig(Home - Away-)");
  EXPECT_EQ(Eval("document.querySelector('#configs .chosen').textContent"), "..Home & Away!");
  // A name that still looks like a file name after its extension went is
  // kept as it is, at the next start too.
  pick("{name: 'notes.txt.conf', size: 20, text: '[Interface]\\nA = 8\\n'}");
  ASSERT_TRUE(WaitFor([&] { return note().rfind("Added notes", 0) == 0; })) << note();
  EXPECT_EQ(TakeCalls(), "LoadConfig(notes.txt)");
  // A device's name would be no file at all; the tunnel manager refuses it.
  pick("{name: 'Com1 .conf', size: 20, text: '[Interface]\\nA = 7\\n'}");
  ASSERT_TRUE(WaitFor([&] { return note().rfind("Added Com1", 0) == 0; })) << note();
  EXPECT_EQ(TakeCalls(), "LoadConfig(_Com1)");
  Eval("document.querySelectorAll('#configs .config')[2].click()");
  Restart();
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo|..Home & Away!|notes.txt|Com1");
  EXPECT_EQ(Eval("document.querySelector('#configs .chosen').textContent"), "..Home & Away!");
  Post("{result: 0, status: {config: '', outbound: '', running: false}, type: 'QueryTunnel'}");
  TakeCalls();
  Click("connect");
  EXPECT_EQ(TakeCalls(), "SetConfig(Home - Away-)");
}

// "+ Add…" is where a person's click opens the open dialog; the file picked
// there is read by the engine and added under its name.
TEST_F(MainPageTest, AddOpensTheOpenDialogAndTakesThePickedFile) {
  Eval("FileReader = engineFileReader");
  const std::wstring path = page_.folder() + L"\\office.conf";
  {
    FileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), "[Interface]\nA = 5\n", 18, &written, nullptr));
  }
  TakeCalls();
  std::thread answer([&] { EXPECT_TRUE(AnswerFileDialog(path)); });
  ::wkeFireMouseEvent(page_.view(), WM_LBUTTONDOWN, 341, 72, MK_LBUTTON);
  ::wkeFireMouseEvent(page_.view(), WM_LBUTTONUP, 341, 72, 0);
  const bool added = WaitFor([&] { return Text("configNote").rfind("Added", 0) == 0; });
  answer.join();
  ASSERT_TRUE(added) << Text("configNote");
  EXPECT_EQ(Text("configNote"), "Added office.conf (18 bytes) as office and handed it to the tunnel service.");
  EXPECT_EQ(TakeCalls(), "LoadConfig(office)");
  EXPECT_EQ(ConfigTitles(), "Tokyo|Oslo|office");
}

// Other lists from a refresh while the servers are being measured are
// handed on once that measurement is over: the client refuses a list while
// it measures one, and the new list would be lost until Measure.
TEST_F(MainPageTest, ChangedListsFromARefreshWaitForTheRunningMeasurement) {
  Eval("document.getElementById('subscriptionUrl').value = 'https://provider.example/sub.json'");
  Click("subscribe");
  auto status = [&] { return Text("subscriptionStatus"); };
  ASSERT_TRUE(WaitFor([&] { return status().rfind("Example VPN: 2 configurations, 40 servers", 0) == 0; })) << status();
  Post(
      "{ads: [{dropRate: 0, lag: 0, name: 'a', title: 'A'}, {dropRate: 0, lag: 0, name: 'b', title: 'B'}],"
      " id: 'subscription', result: 0, route: {}, type: 'SetAdInfo'}");
  Eval("provider.body = subscriptionDocument(seal, 41)");
  TakeCalls();
  Click("refreshSubscription");
  ASSERT_TRUE(WaitFor([&] { return status().rfind("Example VPN: 2 configurations, 41 servers", 0) == 0; })) << status();
  EXPECT_EQ(TakeCalls().find("SetAdInfo"), std::string::npos);
  Post("{ad: {dropRate: 0, lag: 20, name: 'a', title: 'A'}, id: 'subscription', result: 0, type: 'AdInfo'}");
  EXPECT_EQ(TakeCalls(), "");
  Post("{ad: {dropRate: 1, lag: 0, name: 'b', title: 'B'}, id: 'subscription', result: 0, type: 'AdInfo'}");
  EXPECT_EQ(TakeCalls(), "SetAdInfo(subscription),SetAdGlobal(subscription),SetAdLocal(subscription-notice)");

  // Unchanged lists from a refresh are not measured again.
  Click("refreshSubscription");
  ASSERT_TRUE(WaitFor([&] { return Eval("provider.requests.length") == "3"; }));
  PumpMessagesFor(100);
  EXPECT_EQ(TakeCalls().find("SetAdInfo"), std::string::npos);
}

}  // namespace
}  // namespace halyx::testing
