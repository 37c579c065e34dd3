// Skin windows are built from their archive, laid out, announced once, and
// torn down cleanly when the skin is missing or the window closes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "duilib_test_support.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace DuiLib::testing {
namespace {

using halyx::testing::LogCapture;
using halyx::testing::ScopedTempDir;

constexpr char kSkin[] = R"(<?xml version="1.0" encoding="utf-8"?>
<Window size="300,200" bkcolor="#FF102030">
  <Recording name="top" height="50" />
  <Control name="rest" />
  <Mystery name="lost" />
  <Button name="ok" float="true" pos="10,10,60,30" />
</Window>)";

RECT PosOf(TestWindow& w, const wchar_t* name) {
  CControlUI* control = w.manager().FindControl(name);
  return control != nullptr ? control->GetPos() : RECT{-1, -1, -1, -1};
}

bool SameRect(const RECT& a, const RECT& b) { return CDuiRect(a) == b; }

BOOL CALLBACK CountWindow(HWND, LPARAM counter) {
  ++*reinterpret_cast<int*>(counter);
  return TRUE;
}

// Windows of this thread only: other suites run beside us on the display.
int ThreadWindowCount() {
  int count = 0;
  ::EnumThreadWindows(::GetCurrentThreadId(), &CountWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

class WindowImplBaseTest : public ::testing::Test {
 protected:
  std::wstring Folder() const { return dir_.path() + L"\\"; }
  void WriteSkin(const std::string& xml) { ASSERT_TRUE(WriteZip(Folder() + L"skin.dat", {{"w.xml", xml}})); }
  ScopedTempDir dir_;
};

TEST_F(WindowImplBaseTest, BuildsLaysOutAndAnnouncesTheWindowOnce) {
  WriteSkin(kSkin);
  TestWindow w(Folder(), L"skin.dat", L"w.xml");
  ASSERT_NE(w.CreateDefault(), nullptr);

  RECT client{};
  ::GetClientRect(w.GetHWND(), &client);
  EXPECT_TRUE(SameRect(client, {0, 0, 300, 200}));  // the skin's size
  EXPECT_TRUE(SameRect(PosOf(w, L"top"), {0, 0, 300, 50}));
  EXPECT_TRUE(SameRect(PosOf(w, L"rest"), {0, 50, 300, 200}));
  EXPECT_TRUE(SameRect(PosOf(w, L"ok"), {10, 10, 60, 30}));
  EXPECT_EQ(w.manager().FindControl(L"lost"), nullptr);
  EXPECT_EQ(w.asked, (std::vector<std::wstring>{L"Recording", L"Mystery"}));
  EXPECT_EQ(static_cast<RecordingControl*>(w.manager().FindControl(L"top"))->inits, 1);
  EXPECT_EQ(w.initWindowCalls, std::vector<int>{0});

  // A notifier registered after Create, as a controller does, still hears it.
  struct Late : INotifyUI {
    void Notify(TNotifyUI& msg) override { types.push_back(msg.type); }
    std::vector<CDuiString> types;
  } late;
  w.manager().AddNotifier(&late);
  RECT atInit{};
  w.onNotify = [&](TNotifyUI& msg) {
    if (msg.type == L"windowinit") atInit = PosOf(w, L"rest");
  };
  EXPECT_EQ(CountNotifications(w.notifications, L"windowinit"), 0);
  ASSERT_TRUE(PumpUntil([&] { return CountNotifications(w.notifications, L"windowinit") == 1; }));
  EXPECT_TRUE(SameRect(atInit, {0, 50, 300, 200}));
  ASSERT_EQ(late.types.size(), 1u);

  w.ResizeClient(400, 250);
  PumpUntil([] { return false; }, 200);
  EXPECT_TRUE(SameRect(PosOf(w, L"rest"), {0, 50, 400, 250}));
  EXPECT_EQ(CountNotifications(w.notifications, L"windowinit"), 1);
  w.manager().RemoveNotifier(&late);
  ::DestroyWindow(w.GetHWND());
  EXPECT_EQ(w.finalMessages, 1);
  EXPECT_EQ(w.manager().GetControlCount(), 0);
}

// The archive the build makes holds both skins, each with the browser
// control that fills the window.
TEST_F(WindowImplBaseTest, BuiltSkinArchiveGivesTheBrowserControlTheWholeWindow) {
  for (const wchar_t* skin : {L"main.xml", L"web.xml"}) {
    SCOPED_TRACE(CDuiString(skin).ToUtf8());
    TestWindow w(L"skin\\", L"main.dat", skin);
    ASSERT_NE(w.Create(nullptr, L"QuorVPN", 0x96C80000, 0, 0, 0, 800, 572), nullptr);
    EXPECT_TRUE(::IsWindowVisible(w.GetHWND()));
    EXPECT_EQ(w.asked, std::vector<std::wstring>{L"WkeBrowser"});
    CControlUI* browser = w.manager().FindControl(L"wke");
    ASSERT_NE(browser, nullptr);
    EXPECT_STREQ(browser->GetClass(), L"WkeBrowser");
    RECT client{};
    ::GetClientRect(w.GetHWND(), &client);
    EXPECT_GT(client.right, 0);
    EXPECT_TRUE(SameRect(browser->GetPos(), client));
    ASSERT_TRUE(PumpUntil([&] { return CountNotifications(w.notifications, L"windowinit") == 1; }));
  }
}

TEST_F(WindowImplBaseTest, MissingOrBrokenSkinFailsCreationAndCleansUp) {
  struct Case {
    const char* what;
    std::wstring zip;
    std::string content;  // written as the archive's w.xml unless empty
    bool writeGarbage;
  };
  const std::vector<Case> cases = {
      {"no archive", L"absent.dat", "", false},
      {"not a zip", L"garbage.dat", "", true},
      {"skin file missing", L"skin.dat", "", false},
      {"malformed xml", L"skin.dat", "<Window><Control></Window>", false},
      {"root is not Window", L"skin.dat", "<Dialog><Control/></Dialog>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.writeGarbage) {
      halyx::FileHandle file(
          ::CreateFileW((Folder() + c.zip).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      DWORD written = 0;
      ::WriteFile(file.get(), "not a zip at all", 16, &written, nullptr);
    } else if (c.zip == L"skin.dat") {
      ASSERT_TRUE(
          WriteZip(Folder() + c.zip, c.content.empty()
                                         ? std::vector<std::pair<std::string, std::string>>{{"other.xml", "<Window/>"}}
                                         : std::vector<std::pair<std::string, std::string>>{{"w.xml", c.content}}));
    }
    LogCapture log;
    const int windowsBefore = ThreadWindowCount();
    TestWindow w(Folder(), c.zip, L"w.xml");
    EXPECT_EQ(w.CreateDefault(), nullptr);
    EXPECT_EQ(w.GetHWND(), nullptr);
    EXPECT_EQ(w.finalMessages, 1);
    EXPECT_GE(log.CountAtLeast(spdlog::level::err), 1u);
    EXPECT_EQ(ThreadWindowCount(), windowsBefore);
  }
}

TEST_F(WindowImplBaseTest, OnCloseHandledKeepsTheWindowOtherwiseItGoesOnce) {
  WriteSkin(kSkin);
  TestWindow w(Folder(), L"skin.dat", L"w.xml");
  ASSERT_NE(w.CreateDefault(), nullptr);
  const HWND hwnd = w.GetHWND();
  w.keepOnClose = true;
  ::SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_TRUE(::IsWindow(hwnd));
  EXPECT_EQ(w.finalMessages, 0);

  // Return is not a default key; Escape closes through the same OnClose.
  ::SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
  ::SendMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
  PumpUntil([] { return false; }, 100);
  EXPECT_TRUE(::IsWindow(hwnd));

  w.keepOnClose = false;
  ::SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0);
  PumpUntil([] { return false; }, 100);
  EXPECT_TRUE(::IsWindow(hwnd));
  w.Close();
  ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(hwnd); }));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(w.finalMessages, 1);
  EXPECT_EQ(w.GetHWND(), nullptr);
}

// Filters run before the window's own handlers, in the order they were
// added, and one that consumes a message ends it.
TEST_F(WindowImplBaseTest, MessageFiltersSeeMessagesFirstAndCanConsumeThem) {
  WriteSkin(kSkin);
  TestWindow w(Folder(), L"skin.dat", L"w.xml");
  ASSERT_NE(w.CreateDefault(), nullptr);
  struct Filter : IMessageFilterUI {
    Filter(std::vector<std::string>& log, std::string name, UINT consumes)
        : log(log), name(std::move(name)), consumes(consumes) {}
    LRESULT MessageHandler(UINT msg, WPARAM, LPARAM, bool& handled) override {
      if (msg == WM_CLOSE || msg == WM_LBUTTONDOWN || msg == WM_APP + 7) log.push_back(name);
      if (msg == consumes) {
        handled = true;
        return 42;
      }
      return 0;
    }
    std::vector<std::string>& log;
    std::string name;
    UINT consumes;
  };
  std::vector<std::string> seen;
  Filter first(seen, "first", WM_CLOSE), second(seen, "second", WM_APP + 7);
  w.manager().AddMessageFilter(&first);
  w.manager().AddMessageFilter(&second);

  EXPECT_EQ(::SendMessageW(w.GetHWND(), WM_CLOSE, 0, 0), 42);
  EXPECT_TRUE(::IsWindow(w.GetHWND()));
  EXPECT_EQ(::SendMessageW(w.GetHWND(), WM_APP + 7, 0, 0), 42);
  auto* top = static_cast<RecordingControl*>(w.manager().FindControl(L"top"));
  ::SendMessageW(w.GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 20));
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "first", "second", "first", "second"}));
  EXPECT_EQ(top->Count(UiEventType::kLeftButtonDown), 1);

  Filter eater(seen, "eater", WM_LBUTTONDOWN);
  w.manager().RemoveMessageFilter(&first);
  w.manager().AddMessageFilter(&eater);
  ::SendMessageW(w.GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 20));
  EXPECT_EQ(top->Count(UiEventType::kLeftButtonDown), 1);  // eaten before the framework
  w.manager().RemoveMessageFilter(&second);
  w.manager().RemoveMessageFilter(&eater);
}

TEST_F(WindowImplBaseTest, DeletingTheObjectDestroysItsWindow) {
  WriteSkin(kSkin);
  auto* w = new TestWindow(Folder(), L"skin.dat", L"w.xml");
  const HWND hwnd = w->CreateDefault();
  ASSERT_NE(hwnd, nullptr);
  delete w;
  EXPECT_FALSE(::IsWindow(hwnd));
  PumpPending();  // the queued windowinit finds no window and no object
}

}  // namespace
}  // namespace DuiLib::testing
