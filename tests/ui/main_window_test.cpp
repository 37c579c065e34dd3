// The main window and its controller over the real page "app\main.html":
// worker results reach the page, closing only hides, dropped files arrive
// exactly, and the web windows the page opens are kept, released, free what
// is posted to them and get a dispatch object only for trusted pages.
#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "support/log_capture.h"
#include "support/message_pump.h"
#include "support/net_stand_ins.h"
#include "support/scoped_temp_dir.h"
#include "support/tunnel_stand_ins.h"
#include "tunnel/tunnel_manager.h"
#include "ui/main_window_controller.h"
#include "ui/main_wnd.h"
#include "ui/page_script.h"
#include "ui/updater.h"
#include "ui/url_policy.h"
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

std::wstring FileUrl(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return L"file:///" + path;
}

// An HDROP as the shell builds it: DROPFILES, then the wide names, each
// ended by a null, and one more null (two for no names).
HGLOBAL MakeDrop(const std::vector<std::wstring>& paths, POINT at) {
  std::wstring names;
  for (const auto& path : paths) names += path + L'\0';
  names += paths.empty() ? std::wstring(2, L'\0') : std::wstring(1, L'\0');
  const SIZE_T bytes = sizeof(DROPFILES) + names.size() * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GHND, bytes);
  if (memory == nullptr) return nullptr;
  auto* header = static_cast<DROPFILES*>(::GlobalLock(memory));
  header->pFiles = sizeof(DROPFILES);
  header->pt = at;
  header->fWide = TRUE;
  std::memcpy(header + 1, names.data(), names.size() * sizeof(wchar_t));
  ::GlobalUnlock(memory);
  return memory;
}

// DragFinish frees the handle: the heap no longer knows it.
bool Released(HGLOBAL drop) { return ::GlobalSize(drop) == 0; }

bool MakeLink(const std::wstring& link, const std::wstring& target) {
  Microsoft::WRL::ComPtr<IShellLinkW> shellLink;
  Microsoft::WRL::ComPtr<IPersistFile> file;
  return SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(shellLink.GetAddressOf()))) &&
         SUCCEEDED(shellLink->SetPath(target.c_str())) && SUCCEEDED(shellLink.As(&file)) &&
         SUCCEEDED(file->Save(link.c_str(), TRUE));
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// The functions of the page's "HalyxDispatch", in table order.
std::string Offered(wkeWebView view) {
  return EvalIn(view,
                "typeof HalyxDispatch !== 'object' ? 'none' : ['GetVersion', 'SetConfig', 'StartTunnel', "
                "'StopTunnel', 'OpenUrl', 'LogJSConsole', 'GetLogFiles', 'PostNotification', 'MinimizeWindow', "
                "'CloseWindow', 'MoveWindow', 'GetDeviceName', 'GetDeviceId', 'StartTracing', 'StopTracing', "
                "'SetAdInfo', 'SetAdGlobal', 'SetAdLocal', 'NewWindow', 'CheckUpdate', 'LoadConfig']"
                ".filter(function (n) { return typeof HalyxDispatch[n] === 'function'; }).join()");
}

constexpr const char* kWindowFunctions = "GetVersion,MinimizeWindow,CloseWindow,MoveWindow";

// The header drags that reach this thread's queue while it lives: each
// WM_SYSCOMMAND SC_MOVE, its window and command, turned into WM_NULL before
// it is dispatched. Wine's move loop follows the real pointer, which no
// test has, so the drag is seen starting, never run.
class HeaderDrags {
 public:
  HeaderDrags() : hook_(::SetWindowsHookExW(WH_GETMESSAGE, &HeaderDrags::Proc, nullptr, ::GetCurrentThreadId())) {
    Seen().clear();
  }
  ~HeaderDrags() {
    if (hook_ != nullptr) ::UnhookWindowsHookEx(hook_);
    Seen().clear();
  }
  HeaderDrags(const HeaderDrags&) = delete;
  HeaderDrags& operator=(const HeaderDrags&) = delete;

  bool hooked() const { return hook_ != nullptr; }
  static std::vector<std::pair<HWND, WPARAM>>& Seen() {
    static std::vector<std::pair<HWND, WPARAM>> seen;
    return seen;
  }

 private:
  static LRESULT CALLBACK Proc(int code, WPARAM removed, LPARAM param) {
    auto* msg = reinterpret_cast<MSG*>(param);
    if (code == HC_ACTION && (removed & PM_REMOVE) != 0 && msg->message == WM_SYSCOMMAND &&
        (msg->wParam & 0xFFF0) == SC_MOVE) {
      Seen().emplace_back(msg->hwnd, msg->wParam);
      msg->message = WM_NULL;
    }
    return ::CallNextHookEx(nullptr, code, removed, param);
  }

  HHOOK hook_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::wkeInitialize());
    window_ = std::make_shared<MainWnd>();
    ASSERT_NE(window_->Create(nullptr, L"QuorVPN", BaseWnd::kDialogStyle, 0, 0, 0, 800, 572), nullptr);
    controller_ = std::make_shared<MainWindowController>(window_, manager_, UrlPolicy(policy_));
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
  // Pumped in slices: every evaluation posts the engine a task, and a wait
  // that evaluates between single messages would never see the queue run
  // dry (nor time out), so a condition never met would hang, not fail.
  static bool Settles(const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) PumpMessagesFor(50);
    return done();
  }
  HWND WebWindow() const { return ::FindWindowW(WebWnd::kClassName, nullptr); }
  static std::string Caption(HWND hwnd) {
    wchar_t text[512] = {};
    ::GetWindowTextW(hwnd, text, 512);
    return WideToUtf8(text);
  }

  // Asks the main page for a web window and waits until the web page ran its
  // scripts, which define the global `marker` (by then the controller has
  // decided about the page's dispatch object).
  std::shared_ptr<WebWindowController> OpenLoaded(const std::wstring& url, const std::string& marker = "pageLoaded") {
    const std::size_t before = controller_->openWebWindowCount();
    Eval("HalyxDispatch.NewWindow('" + WideToUtf8(url) + "', 300, 200)");
    if (!PumpMessagesUntil([&] { return controller_->openWebWindowCount() == before + 1; })) return nullptr;
    auto web = controller_->openWebWindows().back();
    if (!PumpMessagesUntil(
            [&] { return web->view() != nullptr && EvalIn(web->view(), "typeof " + marker) != "undefined"; }, 10000)) {
      return nullptr;
    }
    return web;
  }

  // Drops `paths` on the middle of the main page; the page's last
  // DragAndDrop event as "files.join('\n')", or "none".
  std::string Drop(const std::vector<std::wstring>& paths, HGLOBAL* handle = nullptr) {
    Eval("lastDrop = null");
    HGLOBAL drop = MakeDrop(paths, POINT{400, 300});
    if (handle != nullptr) *handle = drop;
    if (drop == nullptr || !::PostMessageW(hwnd_, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0)) return "none";
    if (!PumpMessagesUntil([&] { return Eval("String(lastDrop !== null)") == "true"; })) return "none";
    return Eval("lastDrop.files.join('\\n')");
  }

  // Which page gets which object; set before SetUp to trust other origins.
  UrlPolicy::Settings policy_ = UrlPolicy::ProductSettings();
  ScopedTempDir configRoot_;
  TunnelManager manager_{StandInSettings(UniquePipeName(), configRoot_.path())};
  std::shared_ptr<MainWnd> window_;
  std::shared_ptr<MainWindowController> controller_;
  HWND hwnd_ = nullptr;
};

// Each custom message is consumed with or without its payload; payloads
// reach the page, empty ones nothing (the log archive says result 3).
TEST_F(MainWindowTest, WorkerResultsReachThePageAndCloseOnlyHides) {
  // Without a subscription in this prefix's storage (a demo's run removes
  // its own) the page measures nothing by itself; whatever started is over.
  PumpMessagesFor(600);
  ASSERT_TRUE(PostPayload(
      hwnd_, kSetAdInfoMessage,
      std::make_unique<std::string>(R"({"ads":[{"dropRate":0.0,"lag":0,"name":"a","title":"Alpha"},)"
                                    R"({"dropRate":0.0,"lag":0,"name":"b","title":"Beta"}],"id":"t","result":0,)"
                                    R"("route":{"name":"r","title":"Route"},"type":"SetAdInfo"})")));
  ASSERT_TRUE(::PostMessageW(hwnd_, kAdInfoMessage, 0, 0));
  ASSERT_TRUE(PostPayload(
      hwnd_, kAdInfoMessage,
      std::make_unique<std::string>(
          R"({"ad":{"dropRate":0.0,"lag":20,"name":"b","title":"Beta"},"id":"t","result":0,"type":"AdInfo"})")));
  ASSERT_TRUE(PostPayload(hwnd_, kAdGlobalMessage, std::make_unique<std::string>(R"({"type":"AdGlobal","n":2})")));
  ASSERT_TRUE(PostPayload(hwnd_, kLogArchiveMessage, std::make_unique<std::vector<uint8_t>>()));
  // The log archive's failure is the page's only note marked bad here;
  // its wording follows the language chosen in this prefix's storage.
  ASSERT_TRUE(Settles([&] { return Eval("document.getElementById('deviceNote').className") == "note bad"; }));
  EXPECT_EQ(Eval("document.querySelector('#servers .row').getAttribute('data-name')"), "b");
  EXPECT_NE(Eval("document.title").find(" \u00b7 1/2 "), std::string::npos) << Eval("document.title");

  // The page's close button acts on its own window, which only hides.
  Eval("document.getElementById('close').click()");
  ASSERT_TRUE(PumpMessagesUntil([&] { return !::IsWindowVisible(hwnd_); }));
  EXPECT_TRUE(::IsWindow(hwnd_));
  controller_->Show();
  EXPECT_TRUE(::IsWindowVisible(hwnd_));
}

// The caption is the page's title, from the first one on and after every
// change the page makes.
TEST_F(MainWindowTest, CaptionFollowsThePageTitle) {
  auto caption = [&] {
    wchar_t text[256] = {};
    ::GetWindowTextW(hwnd_, text, 256);
    return WideToUtf8(text);
  };
  ASSERT_TRUE(Settles([&] { return caption() == Eval("document.title"); })) << caption();
  EXPECT_EQ(caption().rfind("QuorVPN \u00b7 ", 0), 0u) << caption();
  Eval("document.title = 'QuorVPN \u00b7 \u6d4b\u8bd5 \u00b7 3/4 servers'");
  EXPECT_TRUE(Settles([&] { return caption() == "QuorVPN \u00b7 \u6d4b\u8bd5 \u00b7 3/4 servers"; })) << caption();
}

// Escape does not close or hide the main window (a dialog's habit), and
// Return is not swallowed as a default button: both reach the page.
TEST_F(MainWindowTest, EscapeAndReturnGoToThePage) {
  Eval("var keys = []; document.addEventListener('keydown', function (e) { keys.push(e.keyCode); })");
  for (const WPARAM key : {WPARAM{VK_ESCAPE}, WPARAM{VK_RETURN}}) {
    ASSERT_TRUE(::PostMessageW(hwnd_, WM_KEYDOWN, key, 1));
    ASSERT_TRUE(::PostMessageW(hwnd_, WM_KEYUP, key, 0xC0000001));
  }
  EXPECT_TRUE(Settles([&] { return Eval("keys.join()") == "27,13"; })) << Eval("keys.join()");
  EXPECT_TRUE(::IsWindow(hwnd_));
  EXPECT_TRUE(::IsWindowVisible(hwnd_));
}

// The page has all of the 800 x 572 window: no frame or caption strip takes
// room, so points relative to the window are points of the page.
TEST_F(MainWindowTest, ThePageFillsTheWholeWindow) {
  RECT window{};
  RECT client{};
  ASSERT_TRUE(::GetWindowRect(hwnd_, &window));
  ASSERT_TRUE(::GetClientRect(hwnd_, &client));
  POINT origin{0, 0};
  ASSERT_TRUE(::ClientToScreen(hwnd_, &origin));
  EXPECT_EQ(window.right - window.left, 800);
  EXPECT_EQ(window.bottom - window.top, 572);
  EXPECT_EQ(client.right, 800);
  EXPECT_EQ(client.bottom, 572);
  EXPECT_EQ(origin.x, window.left);
  EXPECT_EQ(origin.y, window.top);
}

// Each NewWindow opens a window of its own; a page from the application
// folder gets its own dispatch object, whose CloseWindow destroys that window
// only (and stops its own I/O loop); a closed window is kept until the next
// request; whatever is posted to a web window is freed there.
TEST_F(MainWindowTest, WebWindowsAreKeptReleasedAndFreeTheirMessages) {
  LogCapture started;
  auto first = OpenLoaded(FileUrl(BesideExecutable(MainWindowController::kPage)), "HalyxBridge");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(EvalIn(first->view(), "typeof HalyxDispatch"), "object");
  Eval("HalyxDispatch.NewWindow('about:blank', 300, 200)");
  ASSERT_TRUE(PumpMessagesUntil([&] { return controller_->openWebWindowCount() == 2; }));
  const HWND web = first->GetWindow()->GetHWND();
  // Its caption is its own page's origin and title.
  EXPECT_TRUE(Settles([&] { return Caption(web) == "file:// \u2014 " + EvalIn(first->view(), "document.title"); }))
      << Caption(web);
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
  // The window frees each payload when it handles its message, which may
  // queue behind the pages' own work.
  EXPECT_TRUE(PumpMessagesUntil([&] { return PrivateBytes() < base + kChunk; }))
      << "payloads posted to a web window were not freed";
  EXPECT_EQ(controller_->openWebWindowCount(), 2u);  // its own NewWindow messages open nothing

  EvalIn(first->view(), "HalyxDispatch.CloseWindow()");
  ASSERT_TRUE(PumpMessagesUntil([&] { return !::IsWindow(web); }));
  EXPECT_TRUE(::IsWindowVisible(hwnd_));
  EXPECT_NE(WebWindow(), nullptr);
  EXPECT_EQ(controller_->openWebWindowCount(), 1u);
  EXPECT_EQ(controller_->closedWebWindowCount(), 1u);
  // A web page's object measures nothing: no loop thread was started for it.
  EXPECT_FALSE(started.Has(spdlog::level::info, "IoLoop: start"));
  first.reset();

  Eval("HalyxDispatch.NewWindow('about:blank', 300, 200)");
  ASSERT_TRUE(PumpMessagesUntil([&] { return controller_->openWebWindowCount() == 2; }));
  EXPECT_EQ(controller_->closedWebWindowCount(), 0u);
}

// Real drops: files in drop order, names exact whatever they hold (an
// apostrophe, a line separator, letters beyond ASCII), folders left out,
// links replaced by their targets, an empty drop an empty array, and the
// handle released on every path.
TEST_F(MainWindowTest, DroppedFilesReachThePageExactly) {
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ScopedTempDir dir;
  const std::wstring report = dir.path() + L"\\Report.TXT";
  const std::wstring quote = dir.path() + L"\\it's mine.conf";
  const std::wstring foreign = dir.path() + L"\\z\u00fcrich \u6771\u4eac\u2028line.conf";
  const std::wstring target = dir.path() + L"\\Target File.conf";
  const std::wstring link = dir.path() + L"\\Shortcut.LNK";
  const std::wstring folder = dir.path() + L"\\Folder";
  for (const auto& file : {report, quote, foreign, target}) ASSERT_TRUE(WriteWholeFile(file, "x"));
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(MakeLink(link, target));
  Eval(
      "var lastDrop = null; var pagePostResult = HalyxBridge.PostResult;"
      "HalyxBridge.PostResult = function (o) { if (o.type === 'DragAndDrop') lastDrop = o; pagePostResult(o); }");

  LogCapture log;
  HGLOBAL drop = nullptr;
  const std::string files = Drop({report, folder, quote, link, foreign}, &drop);
  EXPECT_EQ(files, WideToUtf8(Lower(report) + L"\n" + Lower(quote) + L"\n" + target + L"\n" + Lower(foreign)));
  // One line for the drop, names as dropped (a line separator escaped).
  const std::string names = WideToUtf8(report + L" | " + folder + L" | " + quote + L" | " + link) + " -> " +
                            WideToUtf8(target) + " | " + WideToUtf8(dir.path() + L"\\z\u00fcrich \u6771\u4eac") +
                            "\\u2028line.conf";
  EXPECT_TRUE(log.Has(spdlog::level::info,
                      "Drag & Drop: 5 names, 4 delivered, 1 folders, 0 links unresolved, 0 refused: " + names));
  std::size_t dropLines = 0;
  for (const auto& record : log.Records()) dropLines += record.text.rfind("Drag & Drop", 0) == 0 ? 1 : 0;
  EXPECT_EQ(dropLines, 1u);
  EXPECT_TRUE(Released(drop));

  EXPECT_EQ(Drop({}, &drop), "");
  EXPECT_EQ(Eval("JSON.stringify(lastDrop)"), R"({"type":"DragAndDrop","files":[]})");
  EXPECT_TRUE(Released(drop));

  // No page yet: nothing to tell, but the handle is still released.
  MainWindowController pageless(nullptr, manager_);
  drop = MakeDrop({report}, POINT{0, 0});
  pageless.OnDropFiles(reinterpret_cast<LPARAM>(drop));
  EXPECT_TRUE(Released(drop));
  if (SUCCEEDED(com)) ::CoUninitialize();
}

// Any process of the user can post the main window a drop. What it names
// stays bounded and local: a block over 64 KiB is refused unread, names past
// the 64th are left out, shares, device names, relative names and links to
// shares are never opened, and the log gets one line with control
// characters escaped.
TEST_F(MainWindowTest, ForgedDropsStayBoundedAndLocal) {
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ScopedTempDir dir;
  const std::wstring file = dir.path() + L"\\a.conf";
  const std::wstring shareLink = dir.path() + L"\\share.lnk";
  ASSERT_TRUE(WriteWholeFile(file, "x"));
  ASSERT_TRUE(MakeLink(shareLink, L"\\\\quor-test-host\\share\\b.conf"));
  Eval(
      "var lastDrop = null; var pagePostResult = HalyxBridge.PostResult;"
      "HalyxBridge.PostResult = function (o) { if (o.type === 'DragAndDrop') lastDrop = o; pagePostResult(o); }");
  const auto dropLine = [](const LogCapture& log) {
    std::vector<std::string> lines;
    for (const auto& record : log.Records()) {
      if (record.text.rfind("Drag & Drop", 0) == 0) lines.push_back(record.text);
    }
    return lines;
  };

  {  // 100 names: the first 64 arrive
    std::vector<std::wstring> many(100, file);
    LogCapture log;
    HGLOBAL drop = nullptr;
    const std::string files = Drop(many, &drop);
    EXPECT_EQ(Eval("String(lastDrop.files.length)"), "64");
    EXPECT_TRUE(Released(drop));
    ASSERT_EQ(dropLine(log).size(), 1u);
    EXPECT_EQ(
        dropLine(log)[0].rfind("Drag & Drop: 100 names, 64 delivered, 0 folders, 0 links unresolved, 36 refused: ", 0),
        0u);
  }
  {  // a block of more than 64 KiB: nothing reaches the page
    std::vector<std::wstring> huge(300, dir.path() + L"\\" + std::wstring(200, L'n'));
    LogCapture log;
    HGLOBAL drop = nullptr;
    EXPECT_EQ(Drop(huge, &drop), "none");
    EXPECT_TRUE(Released(drop));
    ASSERT_EQ(dropLine(log).size(), 1u);
    EXPECT_EQ(dropLine(log)[0].rfind("Drag & Drop: refused, ", 0), 0u);
  }
  {  // a shortcut whose target is gone is skipped, the rest delivered
    const std::wstring gone = dir.path() + L"\\gone.conf";
    const std::wstring deadLink = dir.path() + L"\\dead.lnk";
    ASSERT_TRUE(WriteWholeFile(gone, "x"));
    ASSERT_TRUE(MakeLink(deadLink, gone));
    ASSERT_TRUE(::DeleteFileW(gone.c_str()));
    LogCapture log;
    HGLOBAL drop = nullptr;
    EXPECT_EQ(Drop({deadLink, file}, &drop), WideToUtf8(Lower(file)));
    EXPECT_TRUE(Released(drop));
    ASSERT_EQ(dropLine(log).size(), 1u);
    EXPECT_EQ(dropLine(log)[0].rfind("Drag & Drop: 2 names, 1 delivered, 0 folders, 1 links unresolved", 0), 0u)
        << dropLine(log)[0];
  }
  {  // shares, device names, relative names, a link to a share, a name with a line break
    LogCapture log;
    HGLOBAL drop = nullptr;
    const std::string files = Drop(
        {L"\\\\quor-test-host\\share\\c.conf", L"\\\\?\\C:\\x.conf", L"\\\\.\\pipe\\x", L"//quor-test-host/share/d.lnk",
         L"e.lnk", L"C:\\\\quor-test-host\\f.conf", shareLink, file + L"\r\n[error] forged"},
        &drop);
    EXPECT_EQ(files, WideToUtf8(Lower(file)) + "\r\n[error] forged");
    EXPECT_TRUE(Released(drop));
    const auto lines = dropLine(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Drag & Drop: 8 names, 1 delivered, 0 folders, 1 links unresolved, 6 refused: ", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find(WideToUtf8(file) + "\\r\\n[error] forged"), std::string::npos) << lines[0];
    for (const auto& record : log.Records()) EXPECT_EQ(record.text.find('\n'), std::string::npos) << record.text;
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
}

// Real web windows: the main page keeps all 21 functions; the help page gets
// its window commands and the version only; a page of an untrusted origin or
// from outside the application folder runs without the object (one info
// line each); a URL that is not http, https or a local file, or that is
// absurdly long, opens nothing; a drop on a web window is released unread.
TEST_F(MainWindowTest, WebWindowsGiveTheDispatchObjectOnlyToTrustedPages) {
  const std::string main = Offered(controller_->view());
  EXPECT_EQ(std::count(main.begin(), main.end(), ',') + 1, 21) << main;
  // The stand-in updater lies beside the tests, so the main page is told
  // that a check for updates can start.
  ASSERT_TRUE(Updater::Available());
  EXPECT_EQ(Eval("String(HalyxUpdaterPresent)"), "true");
  auto help = OpenLoaded(FileUrl(BesideExecutable(L"app\\help.html")), "HELP");
  ASSERT_NE(help, nullptr);
  EXPECT_EQ(Offered(help->view()), kWindowFunctions);
  // What the client posts to its pages reaches the help page without a
  // script error.
  EXPECT_EQ(
      EvalIn(help->view(), "try { " + PageScript::PostResultScript(std::string(R"({"type":"TunnelEvent","event":1})")) +
                               "; 'taken' } catch (e) { String(e) }"),
      "taken");
  // The window functions act on the window of the page that calls them.
  const HWND helpWindow = help->GetWindow()->GetHWND();
  EvalIn(help->view(), "HalyxDispatch.MinimizeWindow()");
  EXPECT_TRUE(PumpMessagesUntil([&] { return ::IsIconic(helpWindow) != FALSE; }));
  EXPECT_FALSE(::IsIconic(hwnd_));
  ::ShowWindow(helpWindow, SW_RESTORE);
  {
    // A press on either page's header drags that page's window by its
    // caption (SC_MOVE | HTCAPTION), as a press on a real caption would.
    const HeaderDrags drags;
    ASSERT_TRUE(drags.hooked());
    EvalIn(help->view(), "HalyxDispatch.MoveWindow()");
    Eval("HalyxDispatch.MoveWindow()");
    EXPECT_TRUE(PumpMessagesUntil([&] { return HeaderDrags::Seen().size() >= 2; }));
    const std::vector<std::pair<HWND, WPARAM>> expected{{helpWindow, SC_MOVE | HTCAPTION},
                                                        {hwnd_, SC_MOVE | HTCAPTION}};
    EXPECT_EQ(HeaderDrags::Seen(), expected);
  }

  const std::string page = "<html><body><script>var pageLoaded = 1;</script></body></html>";
  HttpEndpoint http({"--status", "200", "--body", page});
  ASSERT_TRUE(http.ok());
  ScopedTempDir elsewhere;
  ASSERT_TRUE(WriteWholeFile(elsewhere.path() + L"\\page.html", page));
  LogCapture log;

  for (const std::wstring& url : {Utf8ToWide(http.Url()) + L"/page.html", FileUrl(elsewhere.path()) + L"/page.html"}) {
    auto web = OpenLoaded(url);
    ASSERT_NE(web, nullptr) << WideToUtf8(url);
    EXPECT_EQ(EvalIn(web->view(), "typeof HalyxDispatch"), "undefined") << WideToUtf8(url);
  }
  std::size_t refusals = 0;
  for (const auto& record : log.Records()) {
    refusals +=
        record.level == spdlog::level::info && record.text.rfind("WebWindowController: no HalyxDispatch", 0) == 0;
  }
  EXPECT_EQ(refusals, 2u);

  HWND web = WebWindow();
  HGLOBAL drop = MakeDrop({elsewhere.path() + L"\\page.html"}, POINT{150, 100});
  ASSERT_TRUE(::PostMessageW(web, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0));
  PumpMessagesFor(100);
  EXPECT_TRUE(Released(drop));

  const std::size_t open = controller_->openWebWindowCount();
  Eval("HalyxDispatch.NewWindow('javascript:HalyxDispatch.StartTunnel()', 300, 200)");
  Eval("HalyxDispatch.NewWindow('https://example.com/' + new Array(10000).join('a'), 300, 200)");
  const std::string refused = "MainWindowController: NewWindow not opened: ";
  EXPECT_TRUE(PumpMessagesUntil([&] {
    return log.Has(spdlog::level::warn, refused + "only http, https and local file URLs open") &&
           log.Has(spdlog::level::warn, refused + "the URL is longer than 8192 characters");
  }));
  EXPECT_EQ(controller_->openWebWindowCount(), open);
}

// A web window trusts exact origins: a trusted origin's page gets the
// window commands and its caption names that origin; a trusted origin that
// redirects elsewhere hands over nothing (the redirect is not followed, the
// page it points to is never asked for).
class MainWindowOriginTest : public MainWindowTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(trusted_.ok() && elsewhere_.ok());
    redirector_ = std::make_unique<HttpEndpoint>(
        std::vector<std::string>{"--status", "302", "--location", elsewhere_.Url() + "/page.html", "--body", ""});
    ASSERT_TRUE(redirector_->ok());
    policy_.trustedOrigins = {Utf8ToWide(trusted_.Url()), Utf8ToWide(redirector_->Url())};
    MainWindowTest::SetUp();
  }

  static constexpr const char* kPageText = "<html><body><script>var pageLoaded = 1;</script></body></html>";
  HttpEndpoint trusted_{{"--status", "200", "--body", kPageText}};
  HttpEndpoint elsewhere_{{"--status", "200", "--body", kPageText}};
  std::unique_ptr<HttpEndpoint> redirector_;
};

TEST_F(MainWindowOriginTest, TrustIsForExactOriginsThatAnswerThemselves) {
  auto trusted = OpenLoaded(Utf8ToWide(trusted_.Url()) + L"/page.html");
  ASSERT_NE(trusted, nullptr);
  EXPECT_EQ(Offered(trusted->view()), kWindowFunctions);
  const HWND trustedWindow = trusted->GetWindow()->GetHWND();
  EXPECT_TRUE(Settles([&] { return Caption(trustedWindow) == trusted_.Url(); })) << Caption(trustedWindow);

  auto redirected = OpenLoaded(Utf8ToWide(redirector_->Url()) + L"/start.html", "document.body");
  ASSERT_NE(redirected, nullptr);
  EXPECT_TRUE(Settles([&] {
    return EvalIn(redirected->view(), "document.body.textContent").find("cannot be shown") != std::string::npos;
  }));
  EXPECT_EQ(EvalIn(redirected->view(), "typeof pageLoaded"), "undefined");
  EXPECT_EQ(elsewhere_.Stats().requests, 0);
  const HWND redirectedWindow = redirected->GetWindow()->GetHWND();
  EXPECT_TRUE(Settles([&] { return Caption(redirectedWindow) == redirector_->Url(); })) << Caption(redirectedWindow);
}

}  // namespace
}  // namespace halyx::testing
