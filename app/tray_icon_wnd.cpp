#include "app/tray_icon_wnd.h"

#include "app/tray_icon.h"

namespace halyx {

LRESULT TrayIconWnd::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  bool handled = true;
  const LRESULT result = owner_.HandleMessage(msg, wParam, lParam, handled);
  if (handled) return result;
  return CWindowWnd::HandleMessage(msg, wParam, lParam);
}

}  // namespace halyx
