#include "ui/web_window_controller.h"

#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/utf8.h"
#include "base/window_messages.h"
#include "ui/halyx_dispatch.h"
#include "ui/page_storage.h"

namespace halyx {

WebWindowController::WebWindowController(std::shared_ptr<WebWnd> window, TunnelManager& tunnel)
    : WindowController(std::move(window)), tunnel_(tunnel) {}

WebWindowController::~WebWindowController() {
  if (WebWnd* window = webWindow()) {
    if (filterAdded_) window->GetPaintManager()->RemoveMessageFilter(this);
    window->onClose -= DuiLib::MakeDelegate(this, &WebWindowController::OnWindowClose);
  }
}

void WebWindowController::Notify(DuiLib::TNotifyUI& msg) {
  if (!window_) return;
  if (msg.type == L"windowinit") {
    OnWindowInit();
  } else if (msg.type == DuiLib::CWkeBrowserUI::kNotifyType && msg.sender != nullptr) {
    auto* browser = static_cast<DuiLib::CWkeBrowserUI*>(msg.sender->GetInterface(DuiLib::CWkeBrowserUI::kClassName));
    if (browser == nullptr || browser->GetView() == nullptr) return;
    const wkeWebView view = browser->GetView();
    if (msg.wParam == DuiLib::kWebNotifyDocumentReady) {
      ::wkeSetDragEnable(view, false);
      auto* dispatch = new HalyxDispatch(view, WindowHandle(), tunnel_);
      ::jsSetGlobal(::wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
    } else if (msg.wParam == DuiLib::kWebNotifyUrlChanged) {
      spdlog::debug("MainViewController: load url ({})", WideToUtf8(browser->GetUrl().str()));
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
