// The main window and its controller over the real page "app\main.html":
// worker results reach the page, closing only hides, and the web windows the
// page opens are kept, released, and free what is posted to them.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/window_messages.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "support/tunnel_stand_ins.h"
#include "tunnel/tunnel_manager.h"
#include "ui/main_window_controller.h"
#include "ui/main_wnd.h"
#include "ui/wke_binding.h"

namespace halyx::testing {
namespace {

std::string EvalIn(wkeWebView view, const std::string& script) {
  const char* text = ::jsToTempString(::wkeGlobalExec(view), ::jsEval(::wkeGlobalExec(view), script.c_str()));
  return text != nullptr ? text : "";
}

// Committed private memory, summed over the address space (the process
// counters are not kept up to date under Wine).
SIZE_T PrivateBytes() {
  SIZE_T total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (auto* at = static_cast<char*>(nullptr); ::VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
       at = static_cast<char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    if (info.RegionSize == 0) break;
  }
  return total;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::wkeInitialize());
    window_ = std::make_shared<MainWnd>();
    ASSERT_NE(window_->Create(nullptr, L"QuorVPN", BaseWnd::kDialogStyle, 0, 0, 0, 800, 572), nullptr);
    controller_ = std::make_shared<MainWindowController>(window_, manager_);
    hwnd_ = window_->GetHWND();
    ASSERT_TRUE(PumpMessagesUntil(
        [&] { return controller_->view() != nullptr && Eval("typeof HalyxDispatch") == "object"; }, 15000));
  }
  void TearDown() override {
    controller_.reset();
    window_.reset();
    PumpMessagesFor(50);
  }

  std::string Eval(const std::string& script) const { return EvalIn(controller_->view(), script); }
  HWND WebWindow() const { return ::FindWindowW(WebWnd::kClassName, nullptr); }

  ScopedTempDir configRoot_;
  TunnelManager manager_{StandInSettings(UniquePipeName(), configRoot_.path())};
  std::shared_ptr<MainWnd> window_;
  std::shared_ptr<MainWindowController> controller_;
  HWND hwnd_ = nullptr;
};

// Each custom message is consumed with or without its payload; payloads
// reach the page, empty ones nothing (the log archive says result 3).
TEST_F(MainWindowTest, WorkerResultsReachThePageAndCloseOnlyHides) {
  const std::string before = Eval("String(counts.events)");
  ASSERT_TRUE(PostPayload(hwnd_, kSetAdInfoMessage, std::make_unique<std::string>(R"({"type":"SetAdInfo","n":1})")));
  ASSERT_TRUE(::PostMessageW(hwnd_, kAdInfoMessage, 0, 0));
  ASSERT_TRUE(PostPayload(hwnd_, kAdGlobalMessage, std::make_unique<std::string>(R"({"type":"AdGlobal","n":2})")));
  ASSERT_TRUE(PostPayload(hwnd_, kLogArchiveMessage, std::make_unique<std::vector<uint8_t>>()));
  ASSERT_TRUE(
      PumpMessagesUntil([&] { return Eval("String(counts.events)") == std::to_string(std::stoi(before) + 3); }));
  EXPECT_EQ(Eval("shown.slice(-3).join('|')"),
            R"(event: {"type":"SetAdInfo","n":1}|event: {"type":"AdGlobal","n":2}|event: GetLogFiles result 3)");

  // The page's CloseWindow acts on its own window, which only hides.
  Eval("call('CloseWindow')");
  ASSERT_TRUE(PumpMessagesUntil([&] { return !::IsWindowVisible(hwnd_); }));
  EXPECT_TRUE(::IsWindow(hwnd_));
  EXPECT_EQ(Eval("shown[shown.length - 1]"), "CloseWindow() = undefined");
  controller_->Show();
  EXPECT_TRUE(::IsWindowVisible(hwnd_));
}

// NewWindow opens a web window; a closed one is kept until the next request;
// whatever is posted to a web window is freed there.
TEST_F(MainWindowTest, WebWindowsAreKeptReleasedAndFreeTheirMessages) {
  Eval("HalyxDispatch.NewWindow('about:blank', 300, 200)");
  ASSERT_TRUE(PumpMessagesUntil([&] { return WebWindow() != nullptr; }));
  const HWND web = WebWindow();
  EXPECT_EQ(controller_->openWebWindowCount(), 1u);
  RECT client{};
  ::GetClientRect(web, &client);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 200);

  // 64 MiB a time: what a web window leaked would show in the private bytes.
  constexpr std::size_t kChunk = 64u << 20;
  const SIZE_T base = PrivateBytes();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(PostPayload(web, kLogArchiveMessage, std::make_unique<std::vector<uint8_t>>(kChunk, uint8_t{1})));
    ASSERT_TRUE(PostPayload(web, kSetAdInfoMessage, std::make_unique<std::string>(kChunk / 2, 'x')));
    ASSERT_TRUE(PostPayloads(web, kNewWindowMessage, std::make_unique<std::wstring>(kChunk / 4, L'u'),
                             std::make_unique<std::pair<int, int>>(1, 1)));
    PumpMessagesFor(20);
  }
  EXPECT_LT(PrivateBytes(), base + kChunk) << "payloads posted to a web window were not freed";
  EXPECT_EQ(controller_->openWebWindowCount(), 1u);  // its own NewWindow messages open nothing

  ::PostMessageW(web, WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_TRUE(PumpMessagesUntil([&] { return !::IsWindow(web); }));
  EXPECT_EQ(controller_->openWebWindowCount(), 0u);
  EXPECT_EQ(controller_->closedWebWindowCount(), 1u);
  Eval("HalyxDispatch.NewWindow('about:blank', 300, 200)");
  ASSERT_TRUE(PumpMessagesUntil([&] { return WebWindow() != nullptr; }));
  EXPECT_EQ(controller_->closedWebWindowCount(), 0u);
  EXPECT_EQ(controller_->openWebWindowCount(), 1u);
}

}  // namespace
}  // namespace halyx::testing
