#include "platform/duilib/button_ui.h"

#include <cwchar>

#include "platform/duilib/paint_manager_ui.h"

namespace DuiLib {

LPCWSTR CButtonUI::GetClass() const { return L"Button"; }

LPVOID CButtonUI::GetInterface(LPCWSTR name) {
  if (name != nullptr && std::wcscmp(name, L"Button") == 0) return this;
  return CControlUI::GetInterface(name);
}

void CButtonUI::DoEvent(TEventUI& event) {
  CPaintManagerUI* manager = GetManager();
  switch (event.type) {
    case UiEventType::kLeftButtonDown:
    case UiEventType::kDoubleClick:
      if (!IsEnabled()) break;
      pressed_ = true;
      // Keep hearing the mouse when it leaves the button, so that the
      // release outside can cancel the click.
      if (manager != nullptr) manager->SetCapture();
      Invalidate();
      return;
    case UiEventType::kLeftButtonUp: {
      if (!pressed_) break;
      pressed_ = false;
      if (manager != nullptr) manager->ReleaseCapture();
      Invalidate();
      if (IsEnabled() && CDuiRect(GetPos()).Contains(event.mouse) && manager != nullptr) {
        manager->SendNotify(this, L"click");
      }
      return;
    }
    case UiEventType::kKeyDown:
      if (event.key == VK_SPACE && IsEnabled() && manager != nullptr) {
        manager->SendNotify(this, L"click");
        return;
      }
      break;
    case UiEventType::kKillFocus:
      if (pressed_) {
        pressed_ = false;
        if (manager != nullptr) manager->ReleaseCapture();
      }
      break;
    default:
      break;
  }
  CControlUI::DoEvent(event);
}

}  // namespace DuiLib
