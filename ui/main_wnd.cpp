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

}  // namespace halyx
