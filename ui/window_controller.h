// The common part of the window controllers: shared ownership of the window
// it drives, and the show, hide and release operations.
//
//   auto window = std::make_shared<MainWnd>();
//   window->Create(nullptr, L"QuorVPN", kDialogStyle, 0, 0, 0, 800, 572);
//   MainWindowController controller(window, TunnelManager::Instance());
//
// Construction makes the controller the window's notifier. The window object
// lives as long as the controller holds it; when the native window receives
// its final message the window calls ReleaseWindow(), and the controller lets
// go of it (which may delete it).
//
// Thread: GUI thread.
#pragma once

#include <memory>

#include "ui/base_wnd.h"
#include "ui/i_window_controller.h"
#include "ui/wke_browser_ui.h"

namespace halyx {

class WindowController : public IWindowController {
 public:
  explicit WindowController(std::shared_ptr<BaseWnd> window);
  ~WindowController() override;
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  // Nothing by default.
  void Notify(DuiLib::TNotifyUI& msg) override;
  void ReleaseWindow() override;
  void Show() override;
  void Hide() override;
  BaseWnd* GetWindow() const override { return window_.get(); }

 protected:
  // The window's handle, or null when there is no window (any more).
  HWND WindowHandle() const;
  // Makes the caption the page's title; a page without one keeps the
  // caption it has.
  void CaptionFromTitle(DuiLib::CWkeBrowserUI& browser) const;

  std::shared_ptr<BaseWnd> window_;
};

}  // namespace halyx
