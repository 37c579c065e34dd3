#include "ui/web_wnd.h"

namespace halyx {

LRESULT WebWnd::OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  if (onClose) onClose(this);
  handled = false;  // the default handling destroys the window
  return 0;
}

}  // namespace halyx
