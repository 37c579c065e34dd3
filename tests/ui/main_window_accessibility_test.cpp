// The client's window as a screen reader meets it, through the system's
// entry points: the product page's tree names its controls, configurations,
// server rows and state line in either language; the connect button's
// default action starts the tunnel through the stand-in service and the
// state line announces "Connected"; a focus move is announced.
#include <windows.h>

#include <oleacc.h>
#include <wrl/client.h>

#include <memory>
#include <string>

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

VARIANT Self() {
  VARIANT self;
  ::VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  return self;
}

// The page's optional demo.js beside it, holding two configurations while
// the test runs; whatever was there before is put back.
class DemoConfigs {
 public:
  DemoConfigs() : path_(BesideExecutable(L"app\\demo.js")) {
    had_ = ::GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (had_) before_ = ReadWholeFile(path_);
    written_ =
        WriteWholeFile(path_,
                       "var DEMO = {configs: [{name: 'a11y-tokyo', title: 'Tokyo', text: '[Interface]\\nA = 1\\n'},"
                       " {name: 'a11y-oslo', title: 'Oslo', text: '[Interface]\\nA = 2\\n'}]};");
  }
  ~DemoConfigs() {
    if (had_) {
      WriteWholeFile(path_, before_);
    } else {
      ::DeleteFileW(path_.c_str());
    }
  }
  bool written() const { return written_; }

 private:
  std::wstring path_;
  bool had_ = false;
  bool written_ = false;
  std::string before_;
};

class MainWindowAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_TRUE(demo_.written());
    ASSERT_TRUE(tunnel_.installed());
    ASSERT_TRUE(dns_.installed());
    ASSERT_TRUE(::wkeInitialize());
    window_ = std::make_shared<MainWnd>();
    ASSERT_NE(window_->Create(nullptr, L"QuorVPN", BaseWnd::kDialogStyle, 0, 0, 0, 800, 572), nullptr);
    controller_ = std::make_shared<MainWindowController>(window_, manager_, UrlPolicy(UrlPolicy::ProductSettings()));
    hwnd_ = window_->GetHWND();
    ASSERT_TRUE(RunUntil(
        manager_, [&] { return controller_->view() != nullptr && Eval("typeof HalyxDispatch") == "object"; }, 15000));
    // The language this prefix's storage chose last; the test reads English.
    if (Eval("document.body.className") == "zh") Eval("document.getElementById('lang').click()");
    ASSERT_TRUE(RunUntil(
        manager_, [&] { return Eval("document.getElementById('state').textContent") == "Stopped"; }, 15000))
        << Eval("document.getElementById('state').textContent");
  }
  void TearDown() override {
    if (manager_.running()) {
      manager_.Stop();
      RunUntil(manager_, [&] { return !manager_.running(); });
    }
    controller_.reset();
    window_.reset();
    PumpMessagesFor(50);
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

  DemoConfigs demo_;
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
  ASSERT_EQ(connect->object->accLocation(&left, &top, &width, &height, Self()), S_OK);
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
  ASSERT_EQ(lang->object->accDoDefaultAction(Self()), S_OK);
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
  ASSERT_EQ(connect->object->get_accDefaultAction(Self(), &action), S_OK);
  EXPECT_STREQ(action, L"Press");
  ::SysFreeString(action);
  ASSERT_EQ(connect->object->accDoDefaultAction(Self()), S_OK);
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
