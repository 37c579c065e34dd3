// The client's window as a screen reader meets it, through the system's
// entry points: the product page's tree names its controls, configurations,
// server rows and state line in either language; the connect button's
// default action starts the tunnel through the stand-in service and the
// state line announces "Connected"; a focus move is announced.
#include <windows.h>

#include <oleacc.h>
#include <wrl/client.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "support/accessible_reader.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "support/tunnel_stand_ins.h"
#include "tunnel/tunnel_manager.h"
#include "ui/main_window_controller.h"
#include "ui/main_wnd.h"
#include "ui/url_policy.h"
#include "ui/wke_binding.h"

namespace halyx::testing {
namespace {

using Microsoft::WRL::ComPtr;
using Node = AccessibleReader::Node;

// Two configurations as if the person had added them: the page reads its
// added files from storage when it starts.
constexpr char kSeedConfigs[] =
    "localStorage.setItem('quorvpn.imported', JSON.stringify(["
    "{name: 'a11y-tokyo', title: 'Tokyo', text: '[Interface]\\nA = 1\\n'},"
    "{name: 'a11y-oslo', title: 'Oslo', text: '[Interface]\\nA = 2\\n'}]))";

class MainWindowAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_TRUE(tunnel_.installed());
    ASSERT_TRUE(dns_.installed());
    ASSERT_TRUE(::wkeInitialize());
    // The page as the person left it: whatever this prefix stored, then the
    // two configurations added, read at the page's next start.
    ASSERT_NO_FATAL_FAILURE(Open());
    importedBefore_ = Eval("JSON.stringify(localStorage.getItem('quorvpn.imported'))");
    Eval(kSeedConfigs);
    Close();
    ASSERT_NO_FATAL_FAILURE(Open());
    // The language this prefix's storage chose last; the test reads English.
    if (Eval("document.body.className") == "zh") Eval("document.getElementById('lang').click()");
    ASSERT_TRUE(RunUntil(
        manager_, [&] { return Eval("document.getElementById('state').textContent") == "Stopped"; }, 15000))
        << Eval("document.getElementById('state').textContent");
  }
  void Open() {
    window_ = std::make_shared<MainWnd>();
    ASSERT_NE(window_->Create(nullptr, L"QuorVPN", BaseWnd::kDialogStyle, 0, 0, 0, 800, 572), nullptr);
    controller_ = std::make_shared<MainWindowController>(window_, manager_, UrlPolicy(UrlPolicy::ProductSettings()));
    hwnd_ = window_->GetHWND();
    ASSERT_TRUE(RunUntil(
        manager_, [&] { return controller_->view() != nullptr && Eval("typeof HalyxDispatch") == "object"; }, 15000));
  }
  void Close() {
    controller_.reset();
    window_.reset();
    PumpMessagesFor(50);
  }
  void TearDown() override {
    if (manager_.running()) {
      manager_.Stop();
      RunUntil(manager_, [&] { return !manager_.running(); });
    }
    if (controller_ && controller_->view() != nullptr && !importedBefore_.empty()) {
      Eval(
          "(function (v) { if (v === null) localStorage.removeItem('quorvpn.imported');"
          " else localStorage.setItem('quorvpn.imported', v); })(" +
          importedBefore_ + ")");
    }
    Close();
    ::CoUninitialize();
  }

  std::string Eval(const std::string& script) const {
    jsExecState es = ::wkeGlobalExec(controller_->view());
    const char* text = ::jsToTempString(es, ::jsEval(es, script.c_str()));
    return text != nullptr ? text : "";
  }
  std::vector<Node> Walk() {
    ComPtr<IAccessible> root = AccessibleReader::ClientOf(hwnd_);
    return root ? AccessibleReader::Walk(root.Get()) : std::vector<Node>{};
  }
  // The nodes right under `parent` in a walk.
  static std::vector<const Node*> ChildrenOf(const std::vector<Node>& nodes, const Node* parent) {
    std::vector<const Node*> out;
    for (const Node* at = parent + 1; at < nodes.data() + nodes.size() && at->depth > parent->depth; ++at) {
      if (at->depth == parent->depth + 1) out.push_back(at);
    }
    return out;
  }
  void ShowServers() {
    ASSERT_TRUE(PostPayload(
        hwnd_, kSetAdInfoMessage,
        std::make_unique<std::string>(R"({"ads":[{"dropRate":0.0,"lag":0,"name":"hk","title":"Hong Kong"},)"
                                      R"({"dropRate":0.0,"lag":0,"name":"tk","title":"Tokyo"}],"id":"t","result":0,)"
                                      R"("route":{"name":"r","title":"Route"},"type":"SetAdInfo"})")));
    ASSERT_TRUE(
        PostPayload(hwnd_, kAdInfoMessage,
                    std::make_unique<std::string>(R"({"ad":{"dropRate":0.0,"lag":8,"name":"hk",)"
                                                  R"("title":"Hong Kong"},"id":"t","result":0,"type":"AdInfo"})")));
    ASSERT_TRUE(RunUntil(manager_, [&] { return Eval("document.querySelectorAll('#servers .row').length") == "2"; }));
  }

  std::string importedBefore_;  // a script literal of what storage held
  RegisteredService tunnel_{L"QuorTunnel", L""};
  RegisteredService dns_{L"DnsCache", L"--no-pipe"};
  ScopedTempDir configRoot_;
  TunnelManager manager_{StandInSettings("", configRoot_.path())};
  std::shared_ptr<MainWnd> window_;
  std::shared_ptr<MainWindowController> controller_;
  HWND hwnd_ = nullptr;
};

// The header's icon buttons, the connect button, the configurations (the
// chosen one pressed), the state line and the server rows read as a person
// hears them, and switch language with the page.
TEST_F(MainWindowAccessibilityTest, ProductPageNamesItsControlsListsAndStateLine) {
  ShowServers();
  std::vector<Node> nodes = Walk();
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes[0].role, ROLE_SYSTEM_DOCUMENT);
  EXPECT_EQ(nodes[0].name.rfind(L"QuorVPN", 0), 0u) << WideToUtf8(nodes[0].name);
  for (const wchar_t* name : {L"Switch to Chinese", L"Minimise", L"Close to the tray"}) {
    const Node* button = AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, name);
    ASSERT_NE(button, nullptr) << WideToUtf8(name);
    EXPECT_EQ(button->state & STATE_SYSTEM_FOCUSABLE, STATE_SYSTEM_FOCUSABLE);
  }

  const Node* connect = AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Connect");
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(connect->state & (STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_UNAVAILABLE | STATE_SYSTEM_INVISIBLE),
            STATE_SYSTEM_FOCUSABLE);
  long left = 0, top = 0, width = 0, height = 0;
  ASSERT_EQ(connect->object->accLocation(&left, &top, &width, &height, AccessibleReader::Self()), S_OK);
  RECT window{};
  ::GetWindowRect(hwnd_, &window);
  EXPECT_GE(left, window.left);
  EXPECT_LE(left + width, window.right);
  EXPECT_GE(width, 120);

  const Node* configs = AccessibleReader::Find(nodes, ROLE_SYSTEM_GROUPING, L"Configuration");
  ASSERT_NE(configs, nullptr);
  const auto choices = ChildrenOf(nodes, configs);
  ASSERT_EQ(choices.size(), 2u);
  EXPECT_EQ(choices[0]->name, L"Tokyo");
  EXPECT_EQ(choices[0]->role, ROLE_SYSTEM_PUSHBUTTON);
  EXPECT_EQ(choices[0]->state & STATE_SYSTEM_PRESSED, STATE_SYSTEM_PRESSED);
  EXPECT_EQ(choices[1]->name, L"Oslo");
  EXPECT_EQ(choices[1]->state & STATE_SYSTEM_PRESSED, 0);

  EXPECT_NE(AccessibleReader::Find(nodes, ROLE_SYSTEM_GROUPING, L"Stopped"), nullptr);

  const Node* servers = AccessibleReader::Find(nodes, ROLE_SYSTEM_LIST, L"Servers");
  ASSERT_NE(servers, nullptr);
  auto rows = ChildrenOf(nodes, servers);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]->role, ROLE_SYSTEM_LISTITEM);
  EXPECT_EQ(rows[0]->name, L"Hong Kong, 8 milliseconds, best");
  EXPECT_EQ(rows[1]->name, L"Tokyo, not measured yet");

  // The language button's own default action: every name follows.
  const Node* lang = AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Switch to Chinese");
  ASSERT_EQ(lang->object->accDoDefaultAction(AccessibleReader::Self()), S_OK);
  ASSERT_TRUE(RunUntil(manager_, [&] { return Eval("document.body.className") == "zh"; }));
  nodes = Walk();
  EXPECT_NE(AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"\u6700\u5c0f\u5316"), nullptr);
  EXPECT_NE(AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"\u8fde\u63a5"), nullptr);
  servers = AccessibleReader::Find(nodes, ROLE_SYSTEM_LIST, L"\u670d\u52a1\u5668");
  ASSERT_NE(servers, nullptr);
  rows = ChildrenOf(nodes, servers);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]->name, L"Hong Kong\uff0c8 \u6beb\u79d2\uff0c\u6700\u4f73");
  Eval("document.getElementById('lang').click()");
}

// A reader presses Connect: the tunnel starts through the stand-in
// service, and the state line's change is announced as a live region
// reading "Connected", the button's new name as a name change.
TEST_F(MainWindowAccessibilityTest, ConnectsByDefaultActionAndAnnouncesConnected) {
  AccessibleReader reader;
  std::vector<Node> nodes = Walk();
  const Node* connect = AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Connect");
  ASSERT_NE(connect, nullptr);
  BSTR action = nullptr;
  ASSERT_EQ(connect->object->get_accDefaultAction(AccessibleReader::Self(), &action), S_OK);
  EXPECT_STREQ(action, L"Press");
  ::SysFreeString(action);
  ASSERT_EQ(connect->object->accDoDefaultAction(AccessibleReader::Self()), S_OK);
  ASSERT_TRUE(RunUntil(
      manager_, [&] { return manager_.running(); }, 15000));

  auto announced = [&](DWORD event, const wchar_t* name) {
    for (const auto& e : reader.events()) {
      if (e.event != event || e.window != hwnd_) continue;
      ComPtr<IAccessible> object = AccessibleReader::ObjectOf(e);
      if (object && AccessibleReader::Read(object.Get(), 0).name == name) return true;
    }
    return false;
  };
  EXPECT_TRUE(RunUntil(manager_, [&] { return announced(0x8019, L"Connected"); }));
  EXPECT_TRUE(RunUntil(manager_, [&] { return announced(EVENT_OBJECT_NAMECHANGE, L"Disconnect"); }));
  EXPECT_EQ(AccessibleReader::Read(connect->object.Get(), 0).name, L"Disconnect");
}

// What a reader speaks for a node: the system's words for its role and
// states, then its name.
std::wstring Spoken(const Node& node) {
  wchar_t text[128] = {};
  ::GetRoleTextW(static_cast<DWORD>(node.role), text, 128);
  std::wstring out = text;
  for (const DWORD state : {STATE_SYSTEM_FOCUSED, STATE_SYSTEM_PRESSED, STATE_SYSTEM_CHECKED, STATE_SYSTEM_UNAVAILABLE,
                            STATE_SYSTEM_READONLY, STATE_SYSTEM_PROTECTED, STATE_SYSTEM_INVISIBLE}) {
    if ((static_cast<DWORD>(node.state) & state) == 0 || ::GetStateTextW(state, text, 128) == 0) continue;
    out += std::wstring(L", ") + text;
  }
  return out + L": \"" + node.name + L"\"";
}

// A keyboard user's way from start to "Connected": Tab visits every
// control once before it comes round again, each stop announced by its
// role and a name (the file input as the "+ Add" button it covers), and
// Return on Connect starts the tunnel, whose state line then announces
// "Connected". What was heard is the test's "heard" property.
TEST_F(MainWindowAccessibilityTest, TabReachesEveryControlAndReturnOnConnectIsAnnounced) {
  ShowServers();
  const std::vector<Node> nodes = Walk();
  ASSERT_FALSE(nodes.empty());
  // The page as a reader's cursor reads it through, before any key.
  std::wstring heard;
  for (const Node& node : nodes) heard += L"read: " + std::wstring(2 * node.depth, L' ') + Spoken(node) + L"\n";
  AccessibleReader reader;
  auto press = [&](WPARAM key) {
    ::PostMessageW(hwnd_, WM_KEYDOWN, key, 1);
    ::PostMessageW(hwnd_, WM_KEYUP, key, 0xC0000001);
  };
  // The next focus event, with the node's id (the event's child) and what
  // its object reads.
  auto nextFocus = [&](LONG& id, Node& node) {
    reader.Clear();
    press(VK_TAB);
    return RunUntil(manager_, [&] {
      for (const auto& e : reader.events()) {
        if (e.event != EVENT_OBJECT_FOCUS || e.window != hwnd_) continue;
        ComPtr<IAccessible> object = AccessibleReader::ObjectOf(e);
        if (object == nullptr) continue;
        id = e.child;
        node = AccessibleReader::Read(object.Get(), 0);
        return true;
      }
      return false;
    });
  };
  std::vector<LONG> ids;
  std::vector<std::wstring> stops;
  LONG connect = 0;
  for (int k = 0; k < 60; ++k) {
    LONG id = 0;
    Node node;
    ASSERT_TRUE(nextFocus(id, node)) << "no focus event after tab " << k;
    if (!ids.empty() && id == ids.front()) break;  // round again
    ASSERT_EQ(std::count(ids.begin(), ids.end(), id), 0) << "a stop came twice before the first again";
    EXPECT_NE(node.role, 0) << WideToUtf8(Spoken(node));
    EXPECT_FALSE(node.name.empty()) << "unnamed stop: " << WideToUtf8(Spoken(node));
    EXPECT_EQ(node.state & STATE_SYSTEM_FOCUSED, STATE_SYSTEM_FOCUSED) << WideToUtf8(Spoken(node));
    if (node.role == ROLE_SYSTEM_PUSHBUTTON && node.name == L"Connect") connect = id;
    ids.push_back(id);
    stops.push_back(Spoken(node));
    heard += L"tab " + std::to_wstring(ids.size()) + L": " + stops.back() + L"\n";
  }
  ASSERT_NE(connect, 0) << WideToUtf8(heard);
  // The first stops, in page order: the header, the configurations' add
  // button and the configurations, then Connect.
  const std::wstring first[] = {L"push button, focused: \"Switch to Chinese\"",
                                L"push button, focused: \"Minimise\"",
                                L"push button, focused: \"Close to the tray\"",
                                L"push button, focused: \"+ Add\u2026\"",
                                L"push button, focused, pressed: \"Tokyo\"",
                                L"push button, focused: \"Oslo\"",
                                L"push button, focused: \"Connect\""};
  ASSERT_GE(stops.size(), std::size(first)) << WideToUtf8(heard);
  for (std::size_t k = 0; k < std::size(first); ++k) EXPECT_EQ(stops[k], first[k]) << WideToUtf8(heard);

  // Round to Connect again, and Return.
  for (LONG id = ids.front(); id != connect;) {
    Node node;
    ASSERT_TRUE(nextFocus(id, node));
  }
  // The state line's texts as the page shows them, and each announcement
  // as a reader out of the process reads it: when the event arrives, which
  // may be after a later change.
  reader.Clear();
  press(VK_RETURN);
  std::wstring shown = L"Stopped";
  heard += L"state line shows: " + shown + L"\n";
  std::size_t delivered = 0;
  bool announced = false;
  EXPECT_TRUE(RunUntil(
      manager_,
      [&] {
        const std::wstring now = Utf8ToWide(Eval("document.getElementById('state').textContent"));
        if (now != shown) heard += L"state line shows: " + (shown = now) + L"\n";
        for (; delivered < reader.events().size(); ++delivered) {
          const auto& e = reader.events()[delivered];
          // 0x8019: EVENT_OBJECT_LIVEREGIONCHANGED
          if (e.window != hwnd_ || (e.event != 0x8019 && e.event != EVENT_OBJECT_NAMECHANGE)) continue;
          ComPtr<IAccessible> object = AccessibleReader::ObjectOf(e);
          if (object == nullptr) continue;
          const Node node = AccessibleReader::Read(object.Get(), 0);
          heard += std::wstring(e.event == 0x8019 ? L"live region: " : L"name change: ") + Spoken(node) + L"\n";
          announced = announced || (e.event == 0x8019 && node.name == L"Connected");
        }
        return announced && manager_.running();
      },
      15000))
      << WideToUtf8(heard);
  RecordProperty("heard", WideToUtf8(heard));
}

// A focus move inside the page is announced for the element that got it.
TEST_F(MainWindowAccessibilityTest, FocusMoveIsAnnouncedForTheFocusedButton) {
  AccessibleReader reader;
  ASSERT_FALSE(Walk().empty());
  reader.Clear();
  Eval("document.getElementById('measure').focus()");
  auto focused = [&] {
    for (const auto& e : reader.events()) {
      if (e.event != EVENT_OBJECT_FOCUS) continue;
      ComPtr<IAccessible> object = AccessibleReader::ObjectOf(e);
      if (object == nullptr) continue;
      const Node node = AccessibleReader::Read(object.Get(), 0);
      if (node.name == L"Measure" && (node.state & STATE_SYSTEM_FOCUSED) != 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(RunUntil(manager_, focused));
}

}  // namespace
}  // namespace halyx::testing
