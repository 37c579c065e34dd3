#include "ui/main_window_controller.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/log_text.h"
#include "base/module_path.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "platform/duilib/dpi.h"
#include "ui/halyx_dispatch.h"
#include "ui/page_script.h"
#include "ui/page_storage.h"
#include "ui/updater.h"

namespace halyx {
namespace {

using DropHandle = UniqueHandle<NullHandleTraits<HDROP, ::DragFinish>>;

// Longer dropped paths are left out.
constexpr UINT kMaxDroppedPath = 258;
// Any process of the desktop's user can post the main window a drop (the
// message is let through the integrity filter so that Explorer can), so a
// drop is bounded before it is read: its memory block, then its names.
constexpr std::size_t kMaxDropNames = 64;
constexpr SIZE_T kMaxDropBytes = 64 * 1024;
// Resolving a link: no dialog, no search for a moved target, no link
// tracking or network volume information, and no writing the link back (this
// process is elevated and the file is the user's). The high word of the
// flags is the time-out in milliseconds that SLR_NO_UI takes.
constexpr DWORD kResolveFlags = DWORD{SLR_NO_UI} | DWORD{SLR_NOSEARCH} | DWORD{SLR_NOTRACK} | DWORD{SLR_NOLINKINFO} |
                                DWORD{SLR_NOUPDATE} | (1000u << 16);
constexpr int kMaxWebWindowSide = 4096;

// What one drop held and what became of it, for its one log line.
struct DropSummary {
  std::size_t names = 0;      // names in the drop
  std::size_t delivered = 0;  // handed to the page
  std::size_t folders = 0;
  std::size_t unresolved = 0;  // links without a local target
  std::size_t refused = 0;     // over the caps, over-long, not a local path
  std::string list;            // the names as dropped, escaped for the log
};

// The first kMaxDropNames names of the drop that are at most kMaxDroppedPath
// characters, in drop order.
std::vector<std::wstring> DroppedPaths(HDROP drop, DropSummary& summary) {
  std::vector<std::wstring> paths;
  const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  summary.names = count;
  for (UINT i = 0; i < count && i < kMaxDropNames; ++i) {
    const UINT length = ::DragQueryFileW(drop, i, nullptr, 0);
    if (length < 1 || length > kMaxDroppedPath) continue;
    std::wstring path(length + 1, L'\0');
    path.resize(::DragQueryFileW(drop, i, path.data(), length + 1));
    paths.push_back(std::move(path));
  }
  summary.refused = count - paths.size();
  return paths;
}

// `text` as the inside of a JSON string. Surrogates go as \u escapes, so
// that a name the file system holds with an unpaired one still arrives unit
// for unit; the single-quoted literal around the JSON is escaped after.
std::wstring JsonStringBody(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + 8);
  for (const wchar_t c : text) {
    if (c == L'\\' || c == L'"') {
      out += L'\\';
      out += c;
    } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
      static constexpr wchar_t kHex[] = L"0123456789abcdef";
      out += L"\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// True once the main page's script has defined HalyxBridge.PostResult,
// through which every answer reaches it.
bool ScriptStarted(wkeWebView view) {
  const jsExecState es = ::wkeGlobalExec(view);
  const char* answer = ::jsToTempString(es, ::jsEval(es,
                                                     "typeof HalyxBridge === 'object' && HalyxBridge !== null && "
                                                     "typeof HalyxBridge.PostResult === 'function' ? 'yes' : 'no'"));
  return answer != nullptr && std::string(answer) == "yes";
}

}  // namespace

MainWindowController::MainWindowController(std::shared_ptr<MainWnd> window, TunnelManager& tunnel, UrlPolicy policy)
    : WindowController(std::move(window)), tunnel_(tunnel), policy_(std::move(policy)) {}

MainWindowController::~MainWindowController() {
  if (window_ && filterAdded_) window_->GetPaintManager()->RemoveMessageFilter(this);
  for (const auto& web : openWebWindows_)
    web->onClose -= DuiLib::MakeDelegate(this, &MainWindowController::OnWebWindowClosed);
  openWebWindows_.clear();
  closedWebWindows_.clear();
}

void MainWindowController::Notify(DuiLib::TNotifyUI& msg) {
  if (msg.type == DuiLib::CWkeBrowserUI::kNotifyType && msg.wParam == DuiLib::kWebNotifyDropFiles) {
    OnDropFiles(msg.lParam);  // consumes the drop on every path
    return;
  }
  if (!window_) return;
  if (msg.type == L"windowinit") {
    OnWindowInit();
    return;
  }
  if (msg.type != DuiLib::CWkeBrowserUI::kNotifyType || msg.sender == nullptr) return;
  auto* browser = static_cast<DuiLib::CWkeBrowserUI*>(msg.sender->GetInterface(DuiLib::CWkeBrowserUI::kClassName));
  if (browser == nullptr || browser->GetView() == nullptr) return;
  const wkeWebView view = browser->GetView();
  switch (msg.wParam) {
    case DuiLib::kWebNotifyDocumentReady: {
      ::wkeSetDragEnable(view, false);
      if (policy_.MainPageAccess(browser->GetUrl().str()) != PageAccess::kFull) {
        spdlog::warn("MainWindowController: no HalyxDispatch for a page other than the main page ({})",
                     WideToUtf8(browser->GetUrl().str()));
        break;
      }
      // The page's script defines its bridge first thing; without it the
      // script did not run (a file missing, an error before it drew) and
      // the frameless window would be a blank rectangle with no way to
      // close it.
      if (!ScriptStarted(view)) {
        ShowPageFailure(L"the page's script did not start");
        break;
      }
      // The engine owns it from here; a reload makes a new one.
      auto* dispatch = new HalyxDispatch(view, WindowHandle(), tunnel_, PageAccess::kFull);
      ::jsSetGlobal(::wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
      // "CheckUpdate" returns nothing either way; this is how the page
      // knows whether the check it asks for can start at all.
      ::jsEval(::wkeGlobalExec(view),
               Updater::Available() ? "var HalyxUpdaterPresent = true;" : "var HalyxUpdaterPresent = false;");
      // The page shows nothing of the tunnel until an answer reaches it, and
      // answers raised before it subscribed went to no one: without this it
      // would wait for the next tick, up to a second (the first connection
      // attempt itself comes a tick after the manager was made). From the
      // loop, not from here: the page can be ready while the window is still
      // being shown, before the tray icon exists, and a connection attempt
      // may wait for the service to start.
      tunnel_.RequestQuery();
      break;
    }
    case DuiLib::kWebNotifyUrlChanged:
      spdlog::debug("MainViewController: load url ({})", WideToUtf8(browser->GetUrl().str()));
      break;
    case DuiLib::kWebNotifyTitleChanged:
      CaptionFromTitle(*browser);
      break;
    default:
      break;
  }
}

void MainWindowController::Show() {
  WindowController::Show();
  if (const HWND hwnd = WindowHandle()) ::SetForegroundWindow(hwnd);
}

void MainWindowController::OnWindowInit() {
  MainWnd* window = mainWindow();
  if (window == nullptr) return;
  window->SetIcon(100);
  if (!filterAdded_) filterAdded_ = window->GetPaintManager()->AddMessageFilter(this);
  const std::wstring page = BesideExecutable(kPage);
  DuiLib::CWkeBrowserUI* browser = window->GetBrowser();
  if (browser == nullptr || browser->GetView() == nullptr) return;
  view_ = browser->GetView();
  ApplyPageStorage(view_, "MainWindowController");
  // The client's own page is the one that may offer files for saving (the
  // log archive); web windows' pages may not.
  ::wkeSetDebugConfig(view_, "mainView", "1");
  if (page.empty() || !::PathFileExistsW(page.c_str())) {
    ShowPageFailure(L"app\\main.html is missing");
    return;
  }
  ::wkeLoadFileW(view_, page.c_str());
}

void MainWindowController::ShowPageFailure(const wchar_t* what) {
  MainWnd* window = mainWindow();
  if (window == nullptr || window->systemFrame()) return;
  spdlog::error("MainWindowController: the page cannot be shown: {}", WideToUtf8(what));
  window->ShowSystemFrame();
  ::SetWindowTextW(window->GetHWND(), (std::wstring(L"QuorVPN \u00b7 The window could not be shown: ") + what).c_str());
}

LRESULT MainWindowController::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  switch (msg) {
    case kLogArchiveMessage: {
      const auto archive = TakePayload<std::vector<uint8_t>>(wParam);
      if (view_ != nullptr) {
        PageScript::PostLogArchive(view_, archive ? archive->data() : nullptr, archive ? archive->size() : 0);
      }
      break;
    }
    case kSetAdInfoMessage:
    case kAdInfoMessage:
    case kSetAdGlobalMessage:
    case kAdGlobalMessage: {
      static constexpr const char* kTypes[] = {"AppSetAdInfo", "AppAdInfo", "AppSetAdGlobal", "AppAdGlobal"};
      if (const auto text = TakePayload<std::string>(wParam)) PostJsonToPage(*text, kTypes[msg - kSetAdInfoMessage]);
      break;
    }
    case kNewWindowMessage: {
      const auto url = TakePayload<std::wstring>(wParam);
      const auto size = TakePayload<std::pair<int, int>>(lParam);
      closedWebWindows_.clear();
      if (url && size) OpenWebWindow(*url, size->first, size->second);
      break;
    }
    default:
      return 0;
  }
  handled = true;
  return 0;
}

void MainWindowController::OnDropFiles(LPARAM drop) {
  // Consumed on every path: without a page the handle is still released.
  DropHandle owned(reinterpret_cast<HDROP>(drop));
  if (view_ == nullptr || !owned) return;
  // The block's size first: counting the names of a huge forged block would
  // already walk all of it.
  const SIZE_T bytes = ::GlobalSize(reinterpret_cast<HGLOBAL>(owned.get()));
  if (bytes > sizeof(DROPFILES) + kMaxDropBytes) {
    spdlog::warn("Drag & Drop: refused, {} bytes of names are more than {}", bytes, kMaxDropBytes);
    return;
  }
  DropSummary summary;
  const std::vector<std::wstring> dropped = DroppedPaths(owned.get(), summary);
  owned.reset();

  std::wstring files;
  for (std::wstring path : dropped) {
    summary.list += summary.list.empty() ? "" : " | ";
    summary.list += LogText(WideToUtf8(path));
    if (!IsLocalPath(path)) {
      ++summary.refused;
      continue;
    }
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, L".lnk") == 0) {
      if (!ResolveLink(path)) {
        spdlog::warn("Unable to resolve LNK, skip it.");
        ++summary.unresolved;
        continue;
      }
      summary.list += " -> " + LogText(WideToUtf8(path));
    }
    if (::PathIsDirectoryW(path.c_str())) {
      ++summary.folders;
      continue;
    }
    files += files.empty() ? L"\"" : L",\"";
    files += JsonStringBody(path);
    files += L'"';
    ++summary.delivered;
  }
  spdlog::info("Drag & Drop: {} names, {} delivered, {} folders, {} links unresolved, {} refused: {}", summary.names,
               summary.delivered, summary.folders, summary.unresolved, summary.refused, summary.list);
  const std::wstring json = L"{\"type\":\"DragAndDrop\",\"files\":[" + files + L"]}";
  // The shell may have run a message loop while it resolved a link.
  if (view_ == nullptr) return;
  // Escaped for the single-quoted literal as every other text to the page:
  // an apostrophe or a line separator in a name would end the literal.
  ::jsEvalW(::wkeGlobalExec(view_), PageScript::PostResultScript(json).c_str());
}

bool MainWindowController::IsLocalPath(const std::wstring& path) {
  // "X:\..." only. A share (\\host\...) would have this elevated process
  // open a connection to any host a forged drop names, and hand it the
  // user's credentials; "\\?\" and "\\.\" names reach devices and skip
  // the path rules; a relative name means whatever the current folder is.
  const auto isLetter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
  return path.size() >= 3 && isLetter(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/') &&
         path.find(L"\\\\") == std::wstring::npos && path.find(L"//") == std::wstring::npos;
}

bool MainWindowController::ResolveLink(std::wstring& path) {
  using Microsoft::WRL::ComPtr;
  ComPtr<IShellLinkW> link;
  HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.GetAddressOf()));
  if (FAILED(hr)) {
    spdlog::warn("CoCreateInstance CLSID_ShellLink failed: {:#x}", HResult(hr));
    return false;
  }
  ComPtr<IPersistFile> file;
  hr = link.As(&file);
  if (FAILED(hr)) {
    spdlog::warn("IShellLink::QueryInterface IID_IPersistFile failed: {:#x}", HResult(hr));
    return false;
  }
  hr = file->Load(path.c_str(), STGM_READ);
  if (FAILED(hr)) {
    spdlog::warn("IPersistFile::Load failed: {:#x}", HResult(hr));
    return false;
  }
  // The stored target first: resolving checks that the target exists, and
  // for a share that is a connection to a host the link names.
  wchar_t target[MAX_PATH] = {};
  hr = link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
  // The raw path may still hold environment references ("%USERPROFILE%\..."),
  // so only its start is judged here.
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (hr != S_OK || target[0] == L'\0' || (separator(target[0]) && separator(target[1]))) {
    spdlog::warn("IShellLink::GetPath failed: {:#x}", HResult(hr == S_OK ? S_FALSE : hr));
    return false;
  }
  hr = link->Resolve(WindowHandle(), kResolveFlags);
  if (FAILED(hr)) {
    spdlog::warn("IShellLink::Resolve failed: {:#x}", HResult(hr));
    return false;
  }
  hr = link->GetPath(target, MAX_PATH, nullptr, 0);
  // S_FALSE: the link has no file-system target (a shell folder).
  if (hr != S_OK || !IsLocalPath(target)) {
    spdlog::warn("IShellLink::GetPath failed: {:#x}", HResult(hr == S_OK ? S_FALSE : hr));
    return false;
  }
  // Resolving without a search keeps a target that is gone; the page would
  // be handed a name it cannot use.
  if (::GetFileAttributesW(target) == INVALID_FILE_ATTRIBUTES) {
    spdlog::warn("IShellLink target is gone: {:#x}", LastError());
    return false;
  }
  path = target;
  return true;
}

void MainWindowController::OpenWebWindow(const std::wstring& url, int width, int height) {
  const std::wstring page = url == L"about:blank" ? std::wstring() : url;
  std::string why;
  if (!UrlPolicy::MayOpenWebWindow(page, why)) {
    spdlog::warn("MainWindowController: NewWindow not opened: {}", why);
    return;
  }
  auto window = std::make_shared<WebWnd>();
  if (window->Create(nullptr, L"QuorVPNWeb", BaseWnd::kDialogStyle, 0, 0, 0, 375, 600) == nullptr) return;
  auto controller = std::make_shared<WebWindowController>(window, tunnel_, policy_);
  // A page's numbers, not the window system's: no side beyond a large screen.
  controller->SetSize(std::clamp(width, 1, kMaxWebWindowSide), std::clamp(height, 1, kMaxWebWindowSide));
  controller->SetUrl(page);
  window->SetDPI(DuiLib::CDPI::GetMainMonitorDPI());
  window->CenterWindow();
  controller->Show();
  controller->onClose += DuiLib::MakeDelegate(this, &MainWindowController::OnWebWindowClosed);
  openWebWindows_.push_back(std::move(controller));
}

bool MainWindowController::OnWebWindowClosed(void* param) {
  auto* closed = static_cast<WebWindowController*>(param);
  if (closed == nullptr) return true;
  closed->onClose -= DuiLib::MakeDelegate(this, &MainWindowController::OnWebWindowClosed);
  const auto found = std::find_if(openWebWindows_.begin(), openWebWindows_.end(),
                                  [closed](const auto& open) { return open.get() == closed; });
  if (found != openWebWindows_.end()) {
    // Kept until the next new window: it is inside its own close handling now.
    closedWebWindows_.push_back(*found);
    openWebWindows_.erase(found);
  }
  return true;
}

void MainWindowController::PostJsonToPage(const std::string& json, const char* type) {
  if (json.empty() || view_ == nullptr) return;
  spdlog::warn("QuorDispatch: {}:\n{}", type, json);
  PageScript::PostJson(view_, json);
}

}  // namespace halyx
