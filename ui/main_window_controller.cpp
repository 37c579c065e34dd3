#include "ui/main_window_controller.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "platform/duilib/dpi.h"
#include "ui/halyx_dispatch.h"
#include "ui/page_script.h"
#include "ui/page_storage.h"

namespace halyx {

MainWindowController::MainWindowController(std::shared_ptr<MainWnd> window, TunnelManager& tunnel)
    : WindowController(std::move(window)), tunnel_(tunnel) {}

MainWindowController::~MainWindowController() {
  if (window_ && filterAdded_) window_->GetPaintManager()->RemoveMessageFilter(this);
  for (const auto& web : openWebWindows_)
    web->onClose -= DuiLib::MakeDelegate(this, &MainWindowController::OnWebWindowClosed);
  openWebWindows_.clear();
  closedWebWindows_.clear();
}

void MainWindowController::Notify(DuiLib::TNotifyUI& msg) {
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
      // The engine owns it from here; a reload makes a new one.
      auto* dispatch = new HalyxDispatch(view, WindowHandle(), tunnel_);
      ::jsSetGlobal(::wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
      break;
    }
    case DuiLib::kWebNotifyUrlChanged:
      spdlog::debug("MainViewController: load url ({})", WideToUtf8(browser->GetUrl().str()));
      break;
    case DuiLib::kWebNotifyDropFiles:
      OnDropFiles(msg.lParam);
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
  // A missing page leaves the window empty; nothing to report.
  if (!page.empty() && ::PathFileExistsW(page.c_str())) ::wkeLoadFileW(view_, page.c_str());
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
  // The page has no use for dropped files yet; the drop handle is freed.
  if (drop != 0) ::DragFinish(reinterpret_cast<HDROP>(drop));
}

void MainWindowController::OpenWebWindow(const std::wstring& url, int width, int height) {
  auto window = std::make_shared<WebWnd>();
  if (window->Create(nullptr, L"QuorVPNWeb", BaseWnd::kDialogStyle, 0, 0, 0, 375, 600) == nullptr) return;
  auto controller = std::make_shared<WebWindowController>(window, tunnel_);
  controller->SetSize(width, height);
  controller->SetUrl(url);
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
