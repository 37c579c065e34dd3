// The client's page "app\main.html" as installed, in the real engine, over a
// stand-in HalyxDispatch written in script that records every call: the
// title tells the tunnel state as events arrive, one control connects
// (SetConfig, then StartTunnel once it is taken) and disconnects, failures
// read as sentences, servers sort as results arrive, the controls sit where
// people and scripts aim, and the language switch changes every text.
#include <windows.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "support/engine_page.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

// DEMO with two configurations and no server lists, then the stand-in
// dispatch object; it runs before the page's own scripts.
const char kDemo[] =
    "localStorage.clear();"
    "var DEMO = {configs: [{name: 'tokyo', title: 'Tokyo', text: '[Interface]\\nA = 1\\n'},"
    "                      {name: 'oslo', title: 'Oslo', text: '[Interface]\\nA = 2\\n'}]};"
    "var calls = [];"
    "var HalyxDispatch = {};"
    "['GetVersion', 'GetDeviceName', 'GetDeviceId', 'SetConfig', 'LoadConfig', 'StartTunnel', 'StopTunnel',"
    " 'SetAdInfo', 'SetAdGlobal', 'SetAdLocal', 'GetLogFiles', 'CheckUpdate', 'OpenUrl', 'NewWindow',"
    " 'MinimizeWindow', 'CloseWindow', 'MoveWindow', 'LogJSConsole'].forEach(function (name) {"
    "  HalyxDispatch[name] = function () {"
    "    if (name !== 'LogJSConsole') calls.push(name + '(' + Array.prototype.slice.call(arguments, 0, 1).join() + "
    "')');"
    "    return name === 'GetVersion' ? '6.0.8' : name === 'GetDeviceName' ? 'DESK-1' : undefined;"
    "  };"
    "});";

class MainPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(page_.view(), nullptr);
    ::wkeResize(page_.view(), 800, 572);
    const std::wstring app = BesideExecutable(L"app\\");
    for (const wchar_t* file : {L"main.css", L"strings.js", L"main.js"}) {
      const std::string text = ReadWholeFile(app + file);
      ASSERT_FALSE(text.empty()) << WideToUtf8(file);
      ASSERT_TRUE(page_.WriteFile(file, text));
    }
    const std::string html = ReadWholeFile(app + L"main.html");
    ASSERT_FALSE(html.empty());
    ASSERT_TRUE(page_.WriteFile(L"demo.js", kDemo));
    ASSERT_TRUE(page_.Load(html));
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

  EnginePage page_;
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
  const Spot spots[] = {
      {"#lang", 684, 24}, {"#minimise", 728, 24}, {"#close", 772, 24}, {"#connect", 200, 250}, {"#measure", 740, 80}};
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

}  // namespace
}  // namespace halyx::testing
