#include "ui/web_window_controller.h"

#include <shellapi.h>

#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/utf8.h"
#include "base/window_messages.h"
#include "ui/halyx_dispatch.h"
#include "ui/page_storage.h"

namespace halyx {

WebWindowController::WebWindowController(std::shared_ptr<WebWnd> window, TunnelManager& tunnel, UrlPolicy policy)
    : WindowController(std::move(window)), tunnel_(tunnel), policy_(std::move(policy)) {}

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
      // The engine follows no redirect: the address it reports is the one
      // that answered.
      const std::wstring url = browser->GetUrl().str();
      UpdateCaption(*browser);
      if (policy_.WebPageAccess(url) == PageAccess::kNone) {
        spdlog::info(
            "WebWindowController: no HalyxDispatch for a page outside the application folder and the "
            "product's origins ({})",
            WideToUtf8(url));
        return;
      }
      auto* dispatch = new HalyxDispatch(view, WindowHandle(), tunnel_, PageAccess::kWindow);
      ::jsSetGlobal(::wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
    } else if (msg.wParam == DuiLib::kWebNotifyUrlChanged) {
      spdlog::debug("WebWindowController: load url ({})", WideToUtf8(browser->GetUrl().str()));
      UpdateCaption(*browser);
    } else if (msg.wParam == DuiLib::kWebNotifyTitleChanged) {
      UpdateCaption(*browser);
    }
  }
}

void WebWindowController::UpdateCaption(DuiLib::CWkeBrowserUI& browser) const {
  const HWND hwnd = WindowHandle();
  if (hwnd == nullptr) return;
  std::wstring caption = UrlPolicy::CaptionOrigin(browser.GetUrl().str());
  const std::wstring title = browser.GetTitle().str();
  if (!title.empty()) caption += caption.empty() ? title : L" \u2014 " + title;
  ::SetWindowTextW(hwnd, caption.c_str());
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
