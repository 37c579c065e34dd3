#include "ui/window_controller.h"

#include <string>
#include <utility>

namespace halyx {

WindowController::WindowController(std::shared_ptr<BaseWnd> window) : window_(std::move(window)) {
  if (window_) window_->SetController(this);
}

WindowController::~WindowController() {
  // The window object may outlive this controller (someone else may share
  // it): it must not notify a controller that is gone.
  if (window_ && window_->GetController() == this) window_->SetController(nullptr);
}

void WindowController::Notify(DuiLib::TNotifyUI& msg) { (void)msg; }

void WindowController::ReleaseWindow() {
  // Moved out first: the window object may be deleted by the reset, and it is
  // the caller of this function.
  std::shared_ptr<BaseWnd> window = std::move(window_);
  if (window) window->SetController(nullptr);
}

void WindowController::Show() {
  if (window_) window_->ShowWindow(true, true);
}

void WindowController::Hide() {
  if (window_) window_->ShowWindow(false, true);
}

HWND WindowController::WindowHandle() const { return window_ ? window_->GetHWND() : nullptr; }

void WindowController::CaptionFromTitle(DuiLib::CWkeBrowserUI& browser) const {
  // The caption is what the taskbar, Alt+Tab and the X server show (and
  // what scripts find the window by).
  const std::wstring title = browser.GetTitle().str();
  if (const HWND hwnd = WindowHandle(); hwnd != nullptr && !title.empty()) ::SetWindowTextW(hwnd, title.c_str());
}

}  // namespace halyx
