#include <windows.h>
#include <imm.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/duilib/window_impl_base.h"
#include "base/module_path.h"
#include "base/unique_handle.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "ui/wke_binding.h"
#include "ui/wke_browser_ui.h"

namespace halyx::testing {
namespace {

using DuiLib::CWkeBrowserUI;

// A frame window from the client's own skin archive, whose "WkeBrowser"
// control is the browser; it records every "webnotify", with the control's
// texts that go with it.
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
  void InitWindow() override { browser = static_cast<CWkeBrowserUI*>(paintManager_.FindControl(L"wke")); }
  void Notify(DuiLib::TNotifyUI& msg) override {
    if (msg.type != CWkeBrowserUI::kNotifyType) return;
    std::wstring text;
    switch (msg.wParam) {
      case DuiLib::kWebNotifyTitleChanged:
        text = browser->GetTitle().GetData();
        break;
      case DuiLib::kWebNotifyUrlChanged:
        text = browser->GetUrl().GetData();
        break;
      case DuiLib::kWebNotifyAlert:
      case DuiLib::kWebNotifyConfirm:
        text = browser->GetMessage().GetData();
        break;
      case DuiLib::kWebNotifyPrompt:
        text = std::wstring(browser->GetMessage().GetData()) + L"/" + browser->GetDefaultValue().GetData() + L"/" +
               browser->GetResultText().GetData();
        break;
      case DuiLib::kWebNotifyDocumentReady:
        ::wkeSetDragEnable(browser->GetView(), false);
        break;
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
    "window.onwheel = function (e) { seen.push('wheel ' + e.wheelDelta); };"
    "document.onkeydown = function (e) { seen.push(e.keyCode + ' ' + e.repeat); };"
    "var confirmed = confirm('Proceed?'); var named = prompt('Name?', 'guest'); alert('Hello');"
    "</script><style>h1 { margin: 0 } button { cursor: pointer }</style></head><body><h1>QuorVPN</h1><p>text</p>"
    "<button onclick=\"seen.push('click')\">Click</button></body></html>";

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
    return std::any_of(window_.notes.begin(), window_.notes.end(), [&](const auto& n) { return n.code == code; });
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
  void Send(UINT message, WPARAM wParam, LPARAM lParam) { ::SendMessageW(window_.GetHWND(), message, wParam, lParam); }

  ScopedTempDir dir_;
  BrowserWnd window_;
};

// In a real window the control runs the page and relays the engine's
// callbacks as "webnotify" 1 to 6, in the order they happen.
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
  // A delivered notification answers confirm and prompt with true; the
  // prompt's text is not written back.
  EXPECT_EQ(Eval("confirmed + ' ' + named"), "true guest");
}

// A click on the drawn button, wheel notches as -120 and +120 and keys with
// their repeat bit reach the page; the
// composition window sits at the caret, and F12 opens the developer tools
// only when the inspector page is there (the page gets the key either way).
TEST_F(BrowserWindowTest, MouseKeysImeAndF12ReachThePage) {
  ASSERT_TRUE(LoadPage());
  const POINT at = FindButton();
  ASSERT_GE(at.x, 0) << "no button drawn";
  Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));  // also focuses the browser
  Send(WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
  POINT screen{100, 100};
  ::ClientToScreen(window_.GetHWND(), &screen);
  Send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), MAKELPARAM(screen.x, screen.y));
  Send(WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(screen.x, screen.y));
  Send(WM_KEYDOWN, 'A', 0x001E0001);
  Send(WM_KEYDOWN, 'A', 0x401E0001);

  // The window gets an input context of the test's own, so that the
  // composition window's placement is checked wherever the test runs.
  HIMC own = ::ImmCreateContext();
  ASSERT_NE(own, nullptr);
  HIMC previous = ::ImmAssociateContext(window_.GetHWND(), own);
  Send(WM_IME_STARTCOMPOSITION, 0, 0);
  HIMC context = ::ImmGetContext(window_.GetHWND());
  ASSERT_EQ(context, own);
  COMPOSITIONFORM form{};
  EXPECT_TRUE(::ImmGetCompositionWindow(context, &form));
  ::ImmReleaseContext(window_.GetHWND(), context);
  ::ImmAssociateContext(window_.GetHWND(), previous);
  ::ImmDestroyContext(own);
  const wkeRect caret = ::wkeGetCaretRect(window_.browser->GetView());
  EXPECT_EQ(form.dwStyle, static_cast<DWORD>(CFS_FORCE_POSITION));
  EXPECT_EQ(form.ptCurrentPos.x, window_.browser->GetPos().left + caret.x);
  EXPECT_EQ(form.ptCurrentPos.y, window_.browser->GetPos().top + caret.y);

  const std::wstring folder = ModuleFolder() + L"\\inspector";
  const std::wstring inspector = folder + L"\\inspector.html";
  ASSERT_FALSE(::PathFileExistsW(inspector.c_str())) << "left over from an earlier run";
  Send(WM_KEYDOWN, VK_F12, 1);
  EXPECT_EQ(::FindWindowW(WKE_DEVTOOLS_WINDOW_CLASS, nullptr), nullptr);
  const bool madeFolder = ::CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
  ASSERT_TRUE(WriteWholeFile(inspector, "<title>inspector</title>"));
  Send(WM_KEYDOWN, VK_F12, 1);
  const bool opened = ::FindWindowW(WKE_DEVTOOLS_WINDOW_CLASS, nullptr) != nullptr;
  ::DeleteFileW(inspector.c_str());
  if (madeFolder) ::RemoveDirectoryW(folder.c_str());
  EXPECT_TRUE(opened);
  EXPECT_EQ(Eval("seen.join()"), "click,wheel -120,wheel 120,65 false,65 true,123 false,123 false");
}

// The window's cursor is the page's for what the pointer last moved over:
// the hand on the button (CSS "pointer"), the arrow on plain text.
TEST_F(BrowserWindowTest, TheCursorIsThePagesUnderThePointer) {
  ASSERT_TRUE(LoadPage());
  const POINT button = FindButton();
  ASSERT_GE(button.x, 0) << "no button drawn";
  const RECT pos = window_.browser->GetPos();
  const WPARAM window = reinterpret_cast<WPARAM>(window_.GetHWND());
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(button.x, button.y));
  Send(WM_SETCURSOR, window, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_HAND));
  Send(WM_MOUSEMOVE, 0, MAKELPARAM(pos.left + 3, pos.top + 3));
  Send(WM_SETCURSOR, window, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_ARROW));
}

// Dropped files become "webnotify" 7 carrying the drop itself.
TEST_F(BrowserWindowTest, DroppedFilesBecomeWebNotifySevenWithTheDrop) {
  ASSERT_TRUE(LoadPage());
  const std::wstring file = L"C:\\dropped.log";
  HGLOBAL memory = ::GlobalAlloc(GHND, sizeof(DROPFILES) + (file.size() + 2) * sizeof(wchar_t));
  ASSERT_NE(memory, nullptr);
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->pt = POINT{50, 50};
  drop->fWide = TRUE;
  ::memcpy(drop + 1, file.c_str(), file.size() * sizeof(wchar_t));
  ::GlobalUnlock(memory);
  Send(WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
  ASSERT_TRUE(Has(DuiLib::kWebNotifyDropFiles));
  EXPECT_EQ(window_.notes.back().text, file);
  EXPECT_EQ(window_.notes.back().lParam, reinterpret_cast<LPARAM>(memory));
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
    Send(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc.get()), PRF_CLIENT);
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y) {
      for (int x = area.left; x < area.right; ++x) count += ::GetPixel(dc.get(), x, y) != RGB(255, 255, 255);
    }
    return count;
  };
  const RECT title{12, 12, 40, 34};     // the start of the heading
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
