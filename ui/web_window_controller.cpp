#include "ui/web_window_controller.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "ui/halyx_dispatch.h"
#include "ui/page_storage.h"

namespace halyx {
namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  return ::StrCmpNIW(text.c_str(), prefix, static_cast<int>(wcslen(prefix))) == 0;
}

// The absolute form of `path` ("." and ".." resolved); empty when it cannot
// be had.
std::wstring FullPath(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (written == 0 || written >= size) return {};
  full.resize(written);
  return full;
}

}  // namespace

bool WebWindowController::IsTrustedPage(const std::wstring& url, const std::wstring& appFolder) {
  if (StartsWithNoCase(url, L"https://")) {
    const std::size_t hostEnd = url.find_first_of(L"/\\?#", 8);
    return (hostEnd == std::wstring::npos ? url.size() : hostEnd) > 8;
  }
  // "file://host/..." would be a share: its files are anybody's.
  if (!StartsWithNoCase(url, L"file:///") || appFolder.empty()) return false;
  wchar_t path[MAX_PATH * 4] = {};
  DWORD size = static_cast<DWORD>(std::size(path));
  if (FAILED(::PathCreateFromUrlW(url.c_str(), path, &size, 0))) return false;
  const std::wstring full = FullPath(path);
  std::wstring folder = FullPath(appFolder);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  if (full.empty() || folder.empty() || full.size() <= folder.size() + 1) return false;
  if (::PathIsUNCW(full.c_str()) || full[folder.size()] != L'\\') return false;
  if (::CompareStringOrdinal(full.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                             static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL) {
    return false;
  }
  // The engine names a page it failed to read by a file URL as well.
  return ::PathFileExistsW(full.c_str()) && !::PathIsDirectoryW(full.c_str());
}

WebWindowController::WebWindowController(std::shared_ptr<WebWnd> window, TunnelManager& tunnel)
    : WindowController(std::move(window)), tunnel_(tunnel) {}

WebWindowController::~WebWindowController() {
  if (WebWnd* window = webWindow()) {
    if (filterAdded_) window->GetPaintManager()->RemoveMessageFilter(this);
    window->onClose -= DuiLib::MakeDelegate(this, &WebWindowController::OnWindowClose);
  }
}

void WebWindowController::Notify(DuiLib::TNotifyUI& msg) {
  if (msg.type == DuiLib::CWkeBrowserUI::kNotifyType && msg.wParam == DuiLib::kWebNotifyDropFiles) {
    // Only the main page takes drops; the handle is the receiver's to free.
    if (msg.lParam != 0) ::DragFinish(reinterpret_cast<HDROP>(msg.lParam));
    return;
  }
  if (!window_) return;
  if (msg.type == L"windowinit") {
    OnWindowInit();
  } else if (msg.type == DuiLib::CWkeBrowserUI::kNotifyType && msg.sender != nullptr) {
    auto* browser = static_cast<DuiLib::CWkeBrowserUI*>(msg.sender->GetInterface(DuiLib::CWkeBrowserUI::kClassName));
    if (browser == nullptr || browser->GetView() == nullptr) return;
    const wkeWebView view = browser->GetView();
    if (msg.wParam == DuiLib::kWebNotifyDocumentReady) {
      ::wkeSetDragEnable(view, false);
      const std::wstring url = browser->GetUrl().str();
      if (!IsTrustedPage(url, ModuleFolder())) {
        spdlog::info(
            "WebWindowController: no HalyxDispatch for a page outside the application folder and not "
            "over https ({})",
            WideToUtf8(url));
        return;
      }
      auto* dispatch = new HalyxDispatch(view, WindowHandle(), tunnel_);
      ::jsSetGlobal(::wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
    } else if (msg.wParam == DuiLib::kWebNotifyUrlChanged) {
      spdlog::debug("WebWindowController: load url ({})", WideToUtf8(browser->GetUrl().str()));
    } else if (msg.wParam == DuiLib::kWebNotifyTitleChanged) {
      CaptionFromTitle(*browser);
    }
  }
}

void WebWindowController::Show() {
  WindowController::Show();
  if (const HWND hwnd = WindowHandle()) ::SetForegroundWindow(hwnd);
}

void WebWindowController::SetUrl(const std::wstring& url) {
  url_ = url;
  if (view_ != nullptr) ::wkeLoadURLW(view_, url_.c_str());
}

void WebWindowController::SetSize(int width, int height) {
  width_ = width;
  height_ = height;
  if (window_) {
    window_->ResizeClient(width_, height_);
    window_->CenterWindow();
  }
}

void WebWindowController::OnWindowInit() {
  WebWnd* window = webWindow();
  if (window == nullptr) return;
  window->SetIcon(100);
  if (!filterAdded_) filterAdded_ = window->GetPaintManager()->AddMessageFilter(this);
  window->onClose += DuiLib::MakeDelegate(this, &WebWindowController::OnWindowClose);
  DuiLib::CWkeBrowserUI* browser = window->GetBrowser();
  if (browser == nullptr) return;
  view_ = browser->GetView();
  ApplyPageStorage(view_, "WebWindowController");
  if (!url_.empty() && view_ != nullptr) ::wkeLoadURLW(view_, url_.c_str());
}

bool WebWindowController::OnWindowClose(void* param) {
  (void)param;
  if (onClose) onClose(this);
  return true;
}

LRESULT WebWindowController::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  // Only the main page shows measurement results, log archives and new
  // windows; what the web page's dispatch object posted here is freed.
  switch (msg) {
    case kLogArchiveMessage:
      TakePayload<std::vector<uint8_t>>(wParam);
      break;
    case kSetAdInfoMessage:
    case kAdInfoMessage:
    case kSetAdGlobalMessage:
    case kAdGlobalMessage:
      TakePayload<std::string>(wParam);
      break;
    case kNewWindowMessage:
      TakePayload<std::wstring>(wParam);
      TakePayload<std::pair<int, int>>(lParam);
      break;
    default:
      return 0;
  }
  handled = true;
  return 0;
}

}  // namespace halyx
