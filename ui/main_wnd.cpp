#include "ui/main_wnd.h"

namespace halyx {

void MainWnd::InitWindow() {
  EnableFileDrop();
  FindBrowser();
}

LRESULT MainWnd::OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  ShowWindow(false, true);
  handled = true;
  return 0;
}

void MainWnd::ShowSystemFrame() {
  systemFrame_ = true;
  ::SetWindowPos(GetHWND(), nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

LRESULT MainWnd::HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (systemFrame_ && (msg == WM_NCCALCSIZE || msg == WM_NCACTIVATE)) {
    return BaseWnd::HandleCustomMessage(msg, wParam, lParam, handled);
  }
  switch (msg) {
    case WM_NCCALCSIZE:
      // The client area is the whole window rectangle: no caption strip or
      // border of the dialog frame takes room from the page. Creation asks
      // with wParam FALSE, later moves with TRUE; either way the rectangle
      // passed in is left as the client's.
      handled = true;
      return 0;
    case WM_NCACTIVATE:
      // Nothing of a frame to repaint on activation; the default handling
      // would draw the caption over the page. TRUE lets the change proceed.
      if (!::IsIconic(GetHWND())) {
        handled = true;
        return TRUE;
      }
      break;
    default:
      break;
  }
  return BaseWnd::HandleCustomMessage(msg, wParam, lParam, handled);
}

}  // namespace halyx
