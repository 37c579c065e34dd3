// The tray icon against the real notification area of Wine's shell: added
// when shown, back after "TaskbarCreated", gone at shutdown; its window's
// messages turned into events; the menu opened by a right-button release.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "app/process_values.h"
#include "app/tray_icon.h"
#include "platform/duilib/event_source.h"
#include "support/log_capture.h"
#include "support/message_pump.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;

// An icon of the test's own, owned by the tray once set.
HICON TestIcon() { return ::CopyIcon(::LoadIconW(nullptr, IDI_APPLICATION)); }

// The shell answers NIM_MODIFY only for an icon it holds.
bool InNotificationArea(HWND window, UINT id) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = id;
  return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// Counts the events and keeps the last command id.
struct Listener {
  int doubleClicks = 0;
  int showRequests = 0;
  std::vector<UINT> commands;
  bool OnDoubleClick(void*) { return ++doubleClicks, true; }
  bool OnShowRequest(void*) { return ++showRequests, true; }
  bool OnMenuCommand(void* id) { return commands.push_back(*static_cast<UINT*>(id)), true; }
};

TEST(TrayIconTest, AddedWhenShownBackAfterTaskbarCreatedGoneAtShutdown) {
  TrayIcon tray;
  tray.SetTipText(L"QuorVPN");
  tray.SetIcon(TestIcon());
  EXPECT_EQ(tray.window(), nullptr);  // nothing before it is shown
  tray.SetVisible(true);
  ASSERT_NE(tray.window(), nullptr);
  EXPECT_FALSE(::IsWindowVisible(tray.window()));
  EXPECT_EQ(::GetParent(tray.window()), nullptr);
  EXPECT_TRUE(InNotificationArea(tray.window(), tray.id()));

  // A restarted shell has lost every icon; its "TaskbarCreated" brings ours
  // back.
  NOTIFYICONDATAW lost{};
  lost.cbSize = sizeof lost;
  lost.hWnd = tray.window();
  lost.uID = tray.id();
  ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &lost));
  ASSERT_FALSE(InNotificationArea(tray.window(), tray.id()));
  ::PostMessageW(tray.window(), TaskbarCreatedMessage, 0, 0);
  EXPECT_TRUE(testing::PumpMessagesUntil([&] { return InNotificationArea(tray.window(), tray.id()); }));
  EXPECT_TRUE(tray.added());

  tray.RemoveFromNotificationArea();
  EXPECT_FALSE(InNotificationArea(tray.window(), tray.id()));
  EXPECT_FALSE(tray.added());
  EXPECT_EQ(tray.tipText(), L"");
  EXPECT_EQ(tray.menu(), nullptr);
}

TEST(TrayIconTest, ClicksCommandsAndTheShowRequestBecomeEvents) {
  TrayIcon tray;
  tray.SetIcon(TestIcon());
  tray.SetVisible(true);
  Listener listener;
  tray.OnDoubleClick += DuiLib::MakeDelegate(&listener, &Listener::OnDoubleClick);
  tray.OnShowRequest += DuiLib::MakeDelegate(&listener, &Listener::OnShowRequest);
  tray.OnMenuCommand += DuiLib::MakeDelegate(&listener, &Listener::OnMenuCommand);
  const HWND window = tray.window();
  const auto callback = [&](UINT mouse) { ::SendMessageW(window, TrayIcon::kCallbackMessage, tray.id(), mouse); };

  for (UINT ignored : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MOUSEMOVE}) callback(ignored);
  callback(WM_LBUTTONDBLCLK);
  EXPECT_EQ(listener.doubleClicks, 1);

  ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(13, 0), 0);
  ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(12, 1), 0);                                 // an accelerator
  ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(11, 0), reinterpret_cast<LPARAM>(window));  // a control
  EXPECT_EQ(listener.commands, std::vector<UINT>{13});

  // Posted here rather than broadcast: other tests' clients would show up.
  // (The client's process test has a second instance broadcast it.)
  ::PostMessageW(window, ShowRequestMessage, 0, 0);
  EXPECT_TRUE(testing::PumpMessagesUntil([&] { return listener.showRequests == 1; }));
  EXPECT_EQ(listener.doubleClicks, 1);
}

TEST(TrayIconTest, ATipOver63CharactersKeepsTheOldOne) {
  TrayIcon tray;
  tray.SetIcon(TestIcon());
  tray.SetVisible(true);
  tray.SetTipText(L"QuorVPN");
  LogCapture log;
  tray.SetTipText(std::wstring(64, L'x'));
  EXPECT_EQ(tray.tipText(), L"QuorVPN");
  EXPECT_TRUE(log.Has(spdlog::level::err, "TrayIcon: tip text too long"));
  tray.SetTipText(std::wstring(63, L'y'));
  EXPECT_EQ(tray.tipText(), std::wstring(63, L'y'));
  EXPECT_EQ(log.Records().size(), 1u);
}

// The menu opens on the right button's release and nothing else. It is
// modal: a timer inside its loop looks for it and closes it. With
// QUOR_TRAY_MENU_HOLD_MS set, the menu stays open that long, for a
// screenshot (scripts/tray-menu-screenshot.sh).
bool menuSeen = false;
UINT holdMs = 0;
DWORD menuOpenedAt = 0;
void CALLBACK LookForMenu(HWND, UINT, UINT_PTR, DWORD now) {
  const HWND popup = ::FindWindowW(L"#32768", nullptr);
  if (popup == nullptr || !::IsWindowVisible(popup)) return;
  if (!menuSeen) menuOpenedAt = now;
  menuSeen = true;
  if (now - menuOpenedAt >= holdMs) ::EndMenu();
}

TEST(TrayIconTest, TheRightButtonsReleaseOpensTheMenu) {
  if (const char* hold = std::getenv("QUOR_TRAY_MENU_HOLD_MS")) holdMs = static_cast<UINT>(std::atoi(hold));
  TrayIcon tray;
  tray.SetIcon(TestIcon());
  tray.SetMenu(App::BuildTrayMenu());
  tray.SetVisible(true);
  ::SetCursorPos(320, 48);  // near the tray window Wine shows at the top left
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, &LookForMenu);

  menuSeen = false;
  ::SendMessageW(tray.window(), TrayIcon::kCallbackMessage, tray.id(), WM_RBUTTONDOWN);
  testing::PumpMessagesFor(200);
  EXPECT_FALSE(menuSeen);
  ::SendMessageW(tray.window(), TrayIcon::kCallbackMessage, tray.id(), WM_RBUTTONUP);  // returns when it closes
  EXPECT_TRUE(menuSeen);
  ::KillTimer(nullptr, timer);
}

}  // namespace
}  // namespace halyx
