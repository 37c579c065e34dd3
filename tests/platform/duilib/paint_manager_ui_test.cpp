// The paint manager delivers notifications to every notifier in order and
// turns window messages into events for the right control.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include <memory>
#include <string>
#include <vector>

#include "duilib_test_support.h"
#include "platform/duilib/paint_manager_ui.h"
#include "support/scoped_temp_dir.h"

namespace DuiLib::testing {
namespace {

using halyx::testing::ScopedTempDir;

// Two floating recorders and a button on a 300 x 200 client area.
constexpr char kSkin[] = R"(<Window size="300,200">
  <Recording name="a" float="true" pos="20,30,120,80" />
  <Recording name="b" float="true" pos="150,30,250,80" />
  <Button name="ok" float="true" pos="20,120,120,160" />
</Window>)";

class PaintManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteZip(dir_.path() + L"\\skin.dat", {{"w.xml", kSkin}}));
    window_ = std::make_unique<TestWindow>(dir_.path(), L"skin.dat", L"w.xml");
    ASSERT_NE(window_->CreateDefault(WS_POPUP), nullptr);
    a_ = static_cast<RecordingControl*>(manager().FindControl(L"a"));
    b_ = static_cast<RecordingControl*>(manager().FindControl(L"b"));
    ASSERT_TRUE(a_ != nullptr && b_ != nullptr);
    PumpPending();
  }
  CPaintManagerUI& manager() { return window_->manager(); }
  LRESULT Send(UINT msg, WPARAM wParam, int x, int y) {
    return ::SendMessageW(window_->GetHWND(), msg, wParam, MAKELPARAM(x, y));
  }

  ScopedTempDir dir_;
  std::unique_ptr<TestWindow> window_;
  RecordingControl* a_ = nullptr;
  RecordingControl* b_ = nullptr;
};

struct Listener : INotifyUI {
  Listener(std::vector<std::string>& log, std::string name) : log(log), name(std::move(name)) {}
  void Notify(TNotifyUI& msg) override {
    log.push_back(name + ":" + msg.type.ToUtf8());
    stamps.push_back(msg.timestamp);
    if (removeFrom != nullptr) removeFrom->RemoveNotifier(removing);
  }
  std::vector<std::string>& log;
  std::string name;
  std::vector<DWORD> stamps;
  CPaintManagerUI* removeFrom = nullptr;
  INotifyUI* removing = nullptr;
};

TEST_F(PaintManagerTest, SyncNotifyReachesEveryNotifierInOrderAndIsStamped) {
  std::vector<std::string> log;
  Listener first(log, "first"), second(log, "second");
  manager().AddNotifier(&first);
  manager().AddNotifier(&second);
  EXPECT_FALSE(manager().AddNotifier(&first));  // once only

  TNotifyUI msg;
  msg.type = L"webnotify";
  msg.sender = a_;
  msg.wParam = 7;
  manager().SendNotify(msg, false, true);
  EXPECT_NE(msg.timestamp, 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"first:webnotify", "second:webnotify"}));
  EXPECT_NE(first.stamps.at(0), 0u);
  EXPECT_EQ(window_->notifications.back().wParam, 7u);  // the window is a notifier too

  // A notifier removed by an earlier one during delivery is skipped.
  log.clear();
  first.removeFrom = &manager();
  first.removing = &second;
  manager().SendNotify(a_, L"again");
  EXPECT_EQ(log, std::vector<std::string>{"first:again"});
  manager().RemoveNotifier(&first);

  CPaintManagerUI alone;  // no window, nobody listening
  TNotifyUI unheard;
  unheard.type = L"webnotify";
  alone.SendNotify(unheard, false, true);
  EXPECT_EQ(unheard.timestamp, 0u);
}

TEST_F(PaintManagerTest, AsyncNotifyArrivesLaterAndRepeatsOnlyWhenAllowed) {
  std::vector<std::string> log;
  Listener listener(log, "l");
  manager().AddNotifier(&listener);
  TNotifyUI msg;
  msg.type = L"later";
  msg.sender = a_;
  manager().SendNotify(msg, true, false);
  manager().SendNotify(msg, true, false);  // dropped: the first is still queued
  EXPECT_EQ(msg.timestamp, 0u);
  EXPECT_TRUE(log.empty());
  manager().SendNotify(msg, true, true);
  PumpUntil([&] { return log.size() >= 2; }, 300);
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(log, (std::vector<std::string>{"l:later", "l:later"}));
  manager().RemoveNotifier(&listener);
}

// Each message becomes its event type at the control under the cursor, with
// the point relative to that control; keys follow the focus.
TEST_F(PaintManagerTest, InputMessagesBecomeEventsForTheRightControl) {
  struct Case {
    UINT msg;
    WPARAM wParam;
    UiEventType type;
  };
  const Case cases[] = {
      {WM_MOUSEMOVE, 0, UiEventType::kMouseMove},
      {WM_LBUTTONDOWN, MK_LBUTTON, UiEventType::kLeftButtonDown},
      {WM_LBUTTONUP, 0, UiEventType::kLeftButtonUp},
      {WM_LBUTTONDBLCLK, MK_LBUTTON, UiEventType::kDoubleClick},
      {WM_RBUTTONDOWN, MK_RBUTTON | MK_SHIFT, UiEventType::kRightButtonDown},
      {WM_RBUTTONUP, 0, UiEventType::kRightButtonUp},
  };
  for (const Case& c : cases) {
    Send(c.msg, c.wParam, 170, 45);  // in b, 20 right and 15 below its corner
    const TEventUI* event = b_->Last(c.type);
    ASSERT_NE(event, nullptr) << static_cast<int>(c.type);
    EXPECT_EQ(event->sender, b_);
    EXPECT_EQ(event->local.x, 20);
    EXPECT_EQ(event->local.y, 15);
    EXPECT_EQ(event->mouse.x, 170);
    EXPECT_EQ(event->lParam, MAKELPARAM(170, 45));
    EXPECT_EQ(event->wParam, c.wParam);
  }
  EXPECT_EQ(a_->Count(UiEventType::kMouseMove) + a_->Count(UiEventType::kLeftButtonDown), 0);
  EXPECT_TRUE(b_->IsFocused());

  ::SendMessageW(window_->GetHWND(), WM_KEYDOWN, VK_F12, 0x00010001);
  ::SendMessageW(window_->GetHWND(), WM_CHAR, L'x', 0);
  ::SendMessageW(window_->GetHWND(), WM_KEYUP, VK_F12, 0xC0010001);
  ::SendMessageW(window_->GetHWND(), WM_IME_STARTCOMPOSITION, 0, 0);
  ASSERT_NE(b_->Last(UiEventType::kKeyDown), nullptr);
  EXPECT_EQ(b_->Last(UiEventType::kKeyDown)->key, VK_F12);
  EXPECT_EQ(b_->Last(UiEventType::kKeyDown)->lParam, 0x00010001);
  EXPECT_EQ(b_->Last(UiEventType::kChar)->key, L'x');
  EXPECT_EQ(b_->Count(UiEventType::kKeyUp), 1);
  EXPECT_EQ(b_->Count(UiEventType::kImeComposition), 1);

  // Clicking a moves the focus: b hears it go, a hears it come.
  Send(WM_LBUTTONDOWN, MK_LBUTTON, 30, 40);
  Send(WM_LBUTTONUP, 0, 30, 40);
  EXPECT_EQ(b_->Count(UiEventType::kKillFocus), 1);
  EXPECT_GE(a_->Count(UiEventType::kSetFocus), 1);

  window_->ResizeClient(320, 220);
  const TEventUI* size = a_->Last(UiEventType::kWindowSize);
  ASSERT_NE(size, nullptr);
  EXPECT_EQ(LOWORD(size->lParam), 320);
  EXPECT_EQ(HIWORD(size->lParam), 220);
}

TEST_F(PaintManagerTest, WheelTowardsTheUserIsLineDown) {
  POINT screen{60, 50};  // inside a
  ::ClientToScreen(window_->GetHWND(), &screen);
  for (short delta : {-120, 120}) {
    ::SendMessageW(window_->GetHWND(), WM_MOUSEWHEEL, MAKEWPARAM(0, delta), MAKELPARAM(screen.x, screen.y));
    const TEventUI* wheel = a_->Last(UiEventType::kScrollWheel);
    ASSERT_NE(wheel, nullptr);
    EXPECT_EQ(LOWORD(wheel->wParam), delta < 0 ? SB_LINEDOWN : SB_LINEUP);
    EXPECT_EQ(static_cast<short>(HIWORD(wheel->wParam)), delta);
    EXPECT_EQ(wheel->mouse.x, 60);
    EXPECT_EQ(wheel->local.y, 20);
  }
}

TEST_F(PaintManagerTest, CaptureRoutesTheMouseToTheCapturingControl) {
  a_->captureOnDown = true;
  Send(WM_LBUTTONDOWN, MK_LBUTTON, 30, 40);
  EXPECT_TRUE(manager().IsCaptured());
  Send(WM_MOUSEMOVE, MK_LBUTTON, 200, 60);  // over b
  EXPECT_EQ(b_->Count(UiEventType::kMouseMove), 0);
  const TEventUI* move = a_->Last(UiEventType::kMouseMove);
  ASSERT_NE(move, nullptr);
  EXPECT_EQ(move->local.x, 180);  // relative to a, outside it
  Send(WM_LBUTTONUP, 0, 200, 60);
  EXPECT_EQ(a_->Count(UiEventType::kLeftButtonUp), 1);
  EXPECT_FALSE(manager().IsCaptured());
  Send(WM_MOUSEMOVE, 0, 200, 60);
  EXPECT_EQ(b_->Count(UiEventType::kMouseMove), 1);
  EXPECT_EQ(b_->Count(UiEventType::kMouseEnter), 1);
}

TEST_F(PaintManagerTest, ButtonClicksOnlyWhenReleasedOverItself) {
  Send(WM_LBUTTONDOWN, MK_LBUTTON, 40, 130);
  Send(WM_LBUTTONUP, 0, 40, 130);
  ASSERT_EQ(CountNotifications(window_->notifications, L"click"), 1);
  EXPECT_EQ(window_->notifications.back().sender, manager().FindControl(L"ok"));
  Send(WM_LBUTTONDOWN, MK_LBUTTON, 40, 130);
  Send(WM_LBUTTONUP, 0, 200, 60);  // let go over b
  EXPECT_EQ(CountNotifications(window_->notifications, L"click"), 1);
  EXPECT_EQ(b_->Count(UiEventType::kLeftButtonUp), 0);
}

HDROP MakeDrop(POINT pt) {
  const wchar_t files[] = L"C:\\a.txt\0";
  HGLOBAL memory = ::GlobalAlloc(GHND, sizeof(DROPFILES) + sizeof files + sizeof(wchar_t));
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->pt = pt;
  drop->fWide = TRUE;
  std::memcpy(drop + 1, files, sizeof files);
  ::GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

TEST_F(PaintManagerTest, DroppedFilesGoToTheControlUnderThePointAndAreReleased) {
  HDROP onA = MakeDrop(POINT{30, 40});
  ::SendMessageW(window_->GetHWND(), WM_DROPFILES, reinterpret_cast<WPARAM>(onA), 0);
  const TEventUI* drop = a_->Last(UiEventType::kDropFiles);
  ASSERT_NE(drop, nullptr);
  EXPECT_EQ(drop->mouse.y, 40);
  EXPECT_EQ(::GlobalSize(onA), 0u);  // the base control released it

  HDROP nowhere = MakeDrop(POINT{290, 190});  // no control there, none focused
  ::SendMessageW(window_->GetHWND(), WM_DROPFILES, reinterpret_cast<WPARAM>(nowhere), 0);
  EXPECT_EQ(::GlobalSize(nowhere), 0u);
}

TEST_F(PaintManagerTest, TranslateMessageConsumesOnlyWhatAPreFilterTakes) {
  struct Eater : IMessageFilterUI {
    LRESULT MessageHandler(UINT msg, WPARAM, LPARAM, bool& handled) override {
      handled = msg == WM_KEYDOWN;
      return 0;
    }
  } eater;
  MSG key{window_->GetHWND(), WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
  MSG other{window_->GetHWND(), WM_MOUSEMOVE, 0, 0, 0, {0, 0}};
  EXPECT_FALSE(CPaintManagerUI::TranslateMessage(nullptr));
  EXPECT_FALSE(CPaintManagerUI::TranslateMessage(&key));
  manager().AddPreMessageFilter(&eater);
  EXPECT_TRUE(CPaintManagerUI::TranslateMessage(&key));
  EXPECT_FALSE(CPaintManagerUI::TranslateMessage(&other));
  MSG foreign = key;
  foreign.hwnd = ::GetDesktopWindow();
  EXPECT_FALSE(CPaintManagerUI::TranslateMessage(&foreign));
  manager().RemovePreMessageFilter(&eater);
  EXPECT_FALSE(CPaintManagerUI::TranslateMessage(&key));
}

TEST_F(PaintManagerTest, SetDPIScalesTheClientAreaAndTheLayout) {
  manager().SetDPI(192);
  RECT client{};
  ::GetClientRect(window_->GetHWND(), &client);
  EXPECT_EQ(client.right, 600);
  EXPECT_EQ(client.bottom, 400);
  EXPECT_TRUE((CDuiRect(a_->GetPos()) == RECT{40, 60, 240, 160}));
  EXPECT_EQ(manager().GetDefaultFontInfo()->size, 24);  // 12 design units
  manager().SetDPI(0);                                  // unknown: back to 96
  ::GetClientRect(window_->GetHWND(), &client);
  EXPECT_EQ(client.right, 300);
  EXPECT_TRUE((CDuiRect(a_->GetPos()) == RECT{20, 30, 120, 80}));
}

// A move to a monitor of another DPI: the window takes the rectangle Windows
// suggests (not a size of its own, which would make it jump between the two
// monitors' DPIs), and the layout and fonts follow the new DPI at once, even
// when the suggested size is the one the window already has.
TEST_F(PaintManagerTest, DpiChangeTakesTheSuggestedRectangleAndLaysOutAgain) {
  RECT suggested{40, 30, 40 + 450, 30 + 300};
  Send(CPaintManagerUI::kDpiChangedMessage, MAKEWPARAM(144, 144), 0, 0);  // no rectangle: nothing moves
  ::SendMessageW(window_->GetHWND(), CPaintManagerUI::kDpiChangedMessage, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
  RECT frame{};
  ::GetWindowRect(window_->GetHWND(), &frame);
  EXPECT_TRUE((CDuiRect(frame) == suggested));
  EXPECT_EQ(manager().GetDPI(), 144);
  EXPECT_TRUE((CDuiRect(a_->GetPos()) == RECT{30, 45, 180, 120}));
  EXPECT_EQ(manager().GetDefaultFontInfo()->size, 18);
  // The same size at another DPI: no WM_SIZE comes, the layout changes all
  // the same.
  RECT same = frame;
  ::SendMessageW(window_->GetHWND(), CPaintManagerUI::kDpiChangedMessage, MAKEWPARAM(192, 192),
                 reinterpret_cast<LPARAM>(&same));
  EXPECT_TRUE((CDuiRect(a_->GetPos()) == RECT{40, 60, 240, 160}));
  EXPECT_EQ(manager().GetDefaultFontInfo()->size, 24);
}

// What the window shows: the window colour, and each control's colour
// inside its rounded corners.
TEST(PaintManagerPaint, PaintsControlsInsideTheirRoundedCorners) {
  ScopedTempDir dir;
  ASSERT_TRUE(WriteZip(dir.path() + L"\\skin.dat", {{"w.xml", R"(<Window size="200,150" bkcolor="#FF0000FF">
  <Control name="red" float="true" pos="20,20,120,120" bkcolor="#FFFF0000" borderround="40,40" />
</Window>)"}}));
  TestWindow w(dir.path(), L"skin.dat", L"w.xml");
  ASSERT_NE(w.CreateDefault(WS_POPUP), nullptr);
  // Painted through WM_PRINTCLIENT into a bitmap of our own, so that other
  // windows on the shared display cannot get in the way.
  halyx::MemoryDcHandle dc(::CreateCompatibleDC(nullptr));
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), 200, 150, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  halyx::BitmapHandle bitmap(::CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  ::SelectObject(dc.get(), bitmap.get());
  ::SendMessageW(w.GetHWND(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc.get()), PRF_CLIENT);
  const COLORREF centre = ::GetPixel(dc.get(), 70, 70);
  const COLORREF corner = ::GetPixel(dc.get(), 21, 21);
  const COLORREF outside = ::GetPixel(dc.get(), 150, 140);
  EXPECT_EQ(centre, RGB(255, 0, 0));
  EXPECT_EQ(corner, RGB(0, 0, 255));
  EXPECT_EQ(outside, RGB(0, 0, 255));
  ::DestroyWindow(w.GetHWND());
}

}  // namespace
}  // namespace DuiLib::testing
