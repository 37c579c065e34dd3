#include "ui/base_wnd.h"

#include <shellapi.h>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

void BaseWnd::SetController(IWindowController* controller) {
  if (controller == controller_) return;
  if (controller_ != nullptr) paintManager_.RemoveNotifier(controller_);
  controller_ = controller;
  if (controller_ != nullptr) paintManager_.AddNotifier(controller_);
}

void BaseWnd::EnableFileDrop() {
  const HWND hwnd = GetHWND();
  if (hwnd == nullptr) return;
  ::DragAcceptFiles(hwnd, TRUE);
  // An elevated window refuses these from the (non-elevated) desktop unless
  // it lets them through; 0x0049 is WM_COPYGLOBALDATA, which drag and drop
  // uses to hand the file list over. Nothing else is let in: WM_COPYDATA,
  // which nothing here reads, would be one more door for any program of the
  // user.
  for (UINT message : {UINT{WM_DROPFILES}, UINT{0x0049}}) {
    if (!::ChangeWindowMessageFilterEx(hwnd, message, MSGFLT_ALLOW, nullptr)) {
      spdlog::debug("BaseWnd: ChangeWindowMessageFilterEx({:#x}) failed ({:#x})", message, LastError());
    }
  }
}

LRESULT BaseWnd::OnActivate(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (LOWORD(wParam) != WA_INACTIVE && browser_ != nullptr) {
    // The default handling first: it sets the keyboard focus to the window,
    // which the engine's focus then refines.
    ::CallWindowProcW(::DefWindowProcW, GetHWND(), msg, wParam, lParam);
    browser_->SetFocus();
    handled = true;
  }
  return 0;
}

LRESULT BaseWnd::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (msg == WM_GETOBJECT && browser_ != nullptr) {
    // The page answers for the client area; the frame's other objects are
    // the system's.
    const LRESULT answer = browser_->GetAccessibleObject(wParam, lParam);
    handled = answer != 0;
    return answer;
  }
  if (msg == WM_KEYDOWN && wParam == VK_RETURN) {
    const LRESULT answer = ResponseDefaultKeyEvent(VK_RETURN);
    handled = answer != FALSE;
    return answer;
  }
  return 0;
}

DuiLib::CControlUI* BaseWnd::CreateControl(LPCWSTR className) {
  if (className != nullptr && ::lstrcmpW(className, DuiLib::CWkeBrowserUI::kClassName) == 0) {
    return new DuiLib::CWkeBrowserUI;
  }
  return nullptr;
}

void BaseWnd::OnFinalMessage(HWND hwnd) {
  WindowImplBase::OnFinalMessage(hwnd);
  browser_ = nullptr;
  // Last: the controller may delete this object.
  if (IWindowController* controller = controller_) controller->ReleaseWindow();
}

LRESULT BaseWnd::OnGetMinMaxInfo(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  // Maximising (a double click on a caption area of the page) keeps the
  // window's place and size: the pages are laid out for one size.
  RECT rc;
  if (lParam != 0 && ::GetWindowRect(GetHWND(), &rc)) {
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    info->ptMaxPosition = {rc.left, rc.top};
    info->ptMaxSize = {rc.right - rc.left, rc.bottom - rc.top};
  }
  handled = false;
  return 0;
}

LRESULT BaseWnd::OnSize(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  const LRESULT result = WindowImplBase::OnSize(msg, wParam, lParam, handled);
  if (wParam == SIZE_MAXIMIZED) handled = true;
  return result;
}

LRESULT BaseWnd::HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (msg == WM_ACTIVATE) return OnActivate(msg, wParam, lParam, handled);
  return WindowImplBase::HandleCustomMessage(msg, wParam, lParam, handled);
}

void BaseWnd::FindBrowser() {
  DuiLib::CControlUI* control = paintManager_.FindControl(L"wke");
  browser_ = control != nullptr
                 ? static_cast<DuiLib::CWkeBrowserUI*>(control->GetInterface(DuiLib::CWkeBrowserUI::kClassName))
                 : nullptr;
}

}  // namespace halyx
