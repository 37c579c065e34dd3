#include <windows.h>
#include <imm.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/duilib/window_impl_base.h"
#include "platform/win32/unique_handle.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "ui/bridge_function.h"
#include "ui/bridge_object.h"
#include "ui/page_script.h"
#include "ui/wke_binding.h"
#include "ui/wke_browser_ui.h"

namespace halyx::testing {
namespace {

using DuiLib::CWkeBrowserUI;

std::wstring ExecutableFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// Answers the page at once and, through PostResult, later.
class AskBridge : public BridgeObject {
 public:
  AskBridge(jsExecState es, wkeWebView view) : BridgeObject(es, "AskBridge"), view_(view) {
    AddFunction(es, *new BridgeFunction<AskBridge>(es, "Ask", this, &AskBridge::Ask));
  }
  jsValue Ask(jsExecState es, jsValue* args, int argc) {
    const std::string question = argc > 0 ? ::jsToTempString(es, args[0]) : "";
    PageScript::PostJson(view_, "{\"type\":\"Ask\",\"answer\":\"native heard '" + question + "'\"}");
    return ::jsUndefined();
  }

 private:
  wkeWebView view_;
};

// A frame window from the client's own skin archive, whose "WkeBrowser"
// control is the browser; it records every "webnotify" and, like the window
// controllers, publishes a bridge object on document-ready.
class BrowserWnd : public DuiLib::WindowImplBase {
 public:
  struct Note {
    WPARAM code;
    std::wstring text;
    LPARAM lParam;
  };

  LPCWSTR GetWindowClassName() const override { return L"QuorTestBrowserFrame"; }
  DuiLib::CControlUI* CreateControl(LPCWSTR className) override {
    return std::wstring(className) == CWkeBrowserUI::kClassName ? new CWkeBrowserUI : nullptr;
  }
  void InitWindow() override {
    browser = static_cast<CWkeBrowserUI*>(paintManager_.FindControl(L"wke"));
  }
  void Notify(DuiLib::TNotifyUI& msg) override {
    if (msg.type != CWkeBrowserUI::kNotifyType) return;
    std::wstring text;
    switch (msg.wParam) {
      case DuiLib::kWebNotifyTitleChanged: text = browser->GetTitle().GetData(); break;
      case DuiLib::kWebNotifyUrlChanged: text = browser->GetUrl().GetData(); break;
      case DuiLib::kWebNotifyAlert:
      case DuiLib::kWebNotifyConfirm:
        text = browser->GetMessage().GetData();
        break;
      case DuiLib::kWebNotifyPrompt:
        text = std::wstring(browser->GetMessage().GetData()) + L"/" + browser->GetDefaultValue().GetData() + L"/" +
               browser->GetResultText().GetData();
        break;
      case DuiLib::kWebNotifyDocumentReady: {
        wkeWebView view = browser->GetView();
        ::wkeSetDragEnable(view, false);
        ::jsSetGlobal(::wkeGlobalExec(view), "Native", (new AskBridge(::wkeGlobalExec(view), view))->value());
        break;
      }
      case DuiLib::kWebNotifyDropFiles: {
        wchar_t file[MAX_PATH] = {};
        ::DragQueryFileW(reinterpret_cast<HDROP>(msg.lParam), 0, file, MAX_PATH);
        text = file;
        ::DragFinish(reinterpret_cast<HDROP>(msg.lParam));
        break;
      }
      default:
        break;
    }
    notes.push_back(Note{msg.wParam, text, msg.lParam});
  }

  CWkeBrowserUI* browser = nullptr;
  std::vector<Note> notes;

 protected:
  DuiLib::CDuiString GetSkinFolder() override { return L"skin\\"; }
  DuiLib::CDuiString GetSkinFile() override { return L"main.xml"; }
  DuiLib::CDuiString GetZIPFileName() const override { return L"main.dat"; }
  UINT GetResourceType() const override { return DuiLib::kResourceTypeZip; }
};

const char kPage[] =
    "<html><head><title>Bridge page</title><script>"
    "var seen = [];"
    "var HalyxBridge = { PostResult: function (o) {"
    "  document.getElementById('answer').textContent = o.answer; } };"
    "window.onwheel = function (e) { seen.push('wheel ' + e.wheelDelta); };"
    "document.onkeydown = function (e) { seen.push('key ' + e.keyCode); };"
    "var confirmed = confirm('Proceed?'); var named = prompt('Name?', 'guest'); alert('Hello');"
    "</script></head><body><h1>QuorVPN</h1><p id=\"answer\">no answer yet</p>"
    "<button onclick=\"Native.Ask('ping')\">Ask native</button></body></html>";

class BrowserWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::wkeInitialize());
    window_.Create(nullptr, L"Browser test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 0, 800, 600);
    ASSERT_NE(window_.GetHWND(), nullptr);
    ASSERT_NE(window_.browser, nullptr);
    ASSERT_NE(window_.browser->GetView(), nullptr);
    ASSERT_TRUE(WriteWholeFile(dir_.path() + L"\\main.html", kPage));
  }
  void TearDown() override {
    if (::IsWindow(window_.GetHWND())) ::DestroyWindow(window_.GetHWND());
  }

  bool LoadPage() {
    ::wkeLoadFileW(window_.browser->GetView(), (dir_.path() + L"\\main.html").c_str());
    return PumpMessagesUntil([&] { return Has(DuiLib::kWebNotifyDocumentReady); });
  }
  bool Has(WPARAM code) const {
    for (const auto& note : window_.notes) {
      if (note.code == code) return true;
    }
    return false;
  }
  std::string Eval(const char* script) {
    jsExecState es = ::wkeGlobalExec(window_.browser->GetView());
    return ::jsToTempString(es, ::jsEval(es, script));
  }
  // The first pixel of a drawn button, in the window's client coordinates.
  POINT FindButton() {
    wkeWebView view = window_.browser->GetView();
    ::wkeRepaintIfNeeded(view);
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    const RECT pos = window_.browser->GetPos();
    for (int y = 0; y < pos.bottom - pos.top; y += 2) {
      for (int x = 0; x < 300; x += 2) {
        if (::GetPixel(::wkeGetViewDC(view), x, y) == face) return POINT{pos.left + x + 4, pos.top + y + 4};
      }
    }
    return POINT{-1, -1};
  }
  void Key(WPARAM key) {
    ::SendMessageW(window_.GetHWND(), WM_KEYDOWN, key, 1);
    ::SendMessageW(window_.GetHWND(), WM_KEYUP, key, 0xC0000001);
  }

  ScopedTempDir dir_;
  BrowserWnd window_;
};

// In a real window the control runs the page, relays the engine's callbacks
// as "webnotify" 1 to 6, and a click on a drawn button reaches native code
// and comes back through PostResult.
TEST_F(BrowserWindowTest, CallbacksBecomeWebNotifyInTheOrderTheyHappen) {
  ASSERT_TRUE(LoadPage());
  std::vector<WPARAM> codes;
  for (const auto& note : window_.notes) codes.push_back(note.code);
  EXPECT_EQ(codes, (std::vector<WPARAM>{4, 5, 3, 1, 2, 6}));
  EXPECT_EQ(window_.notes[0].text, L"Proceed?");
  EXPECT_EQ(window_.notes[1].text, L"Name?/guest/guest");
  EXPECT_EQ(window_.notes[2].text, L"Hello");
  EXPECT_EQ(window_.notes[3].text, L"Bridge page");
  EXPECT_EQ(window_.notes[4].text.substr(0, 8), L"file:///");
  EXPECT_EQ(window_.browser->GetTitle(), L"Bridge page");
  // A delivered notification answers confirm and prompt with true; the
  // prompt's text is not written back.
  EXPECT_EQ(Eval("confirmed + ' ' + named"), "true guest");
}

TEST_F(BrowserWindowTest, AClickOnTheDrawnButtonReachesNativeAndTheAnswerComesBack) {
  ASSERT_TRUE(LoadPage());
  const POINT at = FindButton();
  ASSERT_GE(at.x, 0) << "no button drawn";
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
  EXPECT_EQ(Eval("document.getElementById('answer').textContent"), "native heard 'ping'");
}

TEST_F(BrowserWindowTest, WheelNotchesArriveAsMinusAndPlus120) {
  ASSERT_TRUE(LoadPage());
  POINT screen{100, 100};
  ::ClientToScreen(window_.GetHWND(), &screen);
  ::SendMessageW(window_.GetHWND(), WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)),
                 MAKELPARAM(screen.x, screen.y));
  ::SendMessageW(window_.GetHWND(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(screen.x, screen.y));
  EXPECT_EQ(Eval("seen.join()"), "wheel -120,wheel 120");
}

TEST_F(BrowserWindowTest, F12OpensDeveloperToolsOnlyWithTheInspectorPage) {
  ASSERT_TRUE(LoadPage());
  const POINT at{20, 300};
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));  // focus the browser
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
  const std::wstring folder = ExecutableFolder() + L"\\inspector";
  const std::wstring inspector = folder + L"\\inspector.html";
  ASSERT_FALSE(::PathFileExistsW(inspector.c_str())) << "left over from an earlier run";

  Key(VK_F12);
  EXPECT_EQ(::FindWindowW(WKE_DEVTOOLS_WINDOW_CLASS, nullptr), nullptr);

  const bool made_folder = ::CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
  ASSERT_TRUE(WriteWholeFile(inspector, "<title>inspector</title>"));
  Key(VK_F12);
  const bool opened = ::FindWindowW(WKE_DEVTOOLS_WINDOW_CLASS, nullptr) != nullptr;
  ::DeleteFileW(inspector.c_str());
  if (made_folder) ::RemoveDirectoryW(folder.c_str());
  EXPECT_TRUE(opened);
  // The page received the key either way.
  EXPECT_EQ(Eval("seen.join()"), "key 123,key 123");
}

TEST_F(BrowserWindowTest, DroppedFilesBecomeWebNotifySevenWithTheDrop) {
  ASSERT_TRUE(LoadPage());
  const std::wstring file = L"C:\\dropped.log";
  const SIZE_T size = sizeof(DROPFILES) + (file.size() + 2) * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GHND, size);
  ASSERT_NE(memory, nullptr);
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->pt = POINT{50, 50};
  drop->fWide = TRUE;
  ::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), file.c_str(), file.size() * sizeof(wchar_t));
  ::GlobalUnlock(memory);
  ::SendMessageW(window_.GetHWND(), WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
  ASSERT_TRUE(Has(DuiLib::kWebNotifyDropFiles));
  EXPECT_EQ(window_.notes.back().text, file);
  EXPECT_EQ(window_.notes.back().lParam, reinterpret_cast<LPARAM>(memory));
}

TEST_F(BrowserWindowTest, TheKeyRepeatBitReachesThePage) {
  ASSERT_TRUE(LoadPage());
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 300));
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONUP, 0, MAKELPARAM(20, 300));
  Eval("document.onkeydown = function (e) { seen.push(e.keyCode + ' ' + e.repeat); };");
  ::SendMessageW(window_.GetHWND(), WM_KEYDOWN, 'A', 0x001E0001);
  ::SendMessageW(window_.GetHWND(), WM_KEYDOWN, 'A', 0x401E0001);
  EXPECT_EQ(Eval("seen.join()"), "65 false,65 true");
}

TEST_F(BrowserWindowTest, CompositionWindowIsPlacedAtTheCaret) {
  ASSERT_TRUE(LoadPage());
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 300));
  ::SendMessageW(window_.GetHWND(), WM_LBUTTONUP, 0, MAKELPARAM(20, 300));
  ::SendMessageW(window_.GetHWND(), WM_IME_STARTCOMPOSITION, 0, 0);
  HIMC context = ::ImmGetContext(window_.GetHWND());
  if (context == nullptr) GTEST_SKIP() << "no input context for the window";
  COMPOSITIONFORM form{};
  const BOOL got = ::ImmGetCompositionWindow(context, &form);
  ::ImmReleaseContext(window_.GetHWND(), context);
  ASSERT_TRUE(got);
  const wkeRect caret = ::wkeGetCaretRect(window_.browser->GetView());
  EXPECT_EQ(form.dwStyle, static_cast<DWORD>(CFS_FORCE_POSITION));
  EXPECT_EQ(form.ptCurrentPos.x, window_.browser->GetPos().left + caret.x);
  EXPECT_EQ(form.ptCurrentPos.y, window_.browser->GetPos().top + caret.y);
}

// Painting: the view's rendering is copied into the window at the control's
// corner, and a rounded border clips the corners away.
TEST_F(BrowserWindowTest, PaintingCopiesThePageAndRoundedCornersClipIt) {
  ASSERT_TRUE(LoadPage());
  ::wkeRepaintIfNeeded(window_.browser->GetView());
  RECT client{};
  ::GetClientRect(window_.GetHWND(), &client);
  HDC screen = ::GetDC(window_.GetHWND());
  MemoryDcHandle dc(::CreateCompatibleDC(screen));
  BitmapHandle bitmap(::CreateCompatibleBitmap(screen, client.right, client.bottom));
  ::ReleaseDC(window_.GetHWND(), screen);
  HGDIOBJ previous = ::SelectObject(dc.get(), bitmap.get());
  auto ink = [&](RECT area) {
    ::FillRect(dc.get(), &client, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::SendMessageW(window_.GetHWND(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc.get()), PRF_CLIENT);
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y) {
      for (int x = area.left; x < area.right; ++x) count += ::GetPixel(dc.get(), x, y) != RGB(255, 255, 255);
    }
    return count;
  };
  const RECT title{12, 12, 40, 34};    // the start of the page title
  const RECT button{16, 110, 60, 160};  // part of the button below
  EXPECT_GT(ink(title), 0);
  window_.browser->SetBorderRound(SIZE{300, 300});
  EXPECT_EQ(ink(title), 0);
  EXPECT_GT(ink(button), 0);
  ::SelectObject(dc.get(), previous);
}

TEST_F(BrowserWindowTest, ResizingTheWindowResizesTheView) {
  ::SetWindowPos(window_.GetHWND(), nullptr, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
  PumpMessagesFor(50);
  const RECT pos = window_.browser->GetPos();
  BITMAP bitmap{};
  ::GetObjectW(::GetCurrentObject(::wkeGetViewDC(window_.browser->GetView()), OBJ_BITMAP), sizeof(bitmap), &bitmap);
  EXPECT_EQ(bitmap.bmWidth, pos.right - pos.left);
  EXPECT_EQ(bitmap.bmHeight, pos.bottom - pos.top);
}

}  // namespace
}  // namespace halyx::testing
