// Notifications: what controls and the frame tell the window's listeners
// ("windowinit" after the first layout, "click" from buttons, "webnotify"
// from the browser control), and the interface of those listeners.
//
//   class Controller : public DuiLib::INotifyUI {
//     void Notify(DuiLib::TNotifyUI& msg) override {
//       if (msg.type == L"windowinit") OnWindowInit();
//     }
//   };
//   manager.AddNotifier(&controller);
//
// Thread: the GUI thread that owns the window.
#pragma once

#include <windows.h>

#include "platform/duilib/dui_string.h"

namespace DuiLib {

class CControlUI;

struct TNotifyUI {
  CDuiString type;
  // The control that sends it; null for notifications of the window itself
  // ("windowinit").
  CControlUI* sender = nullptr;
  // GetTickCount() when it was delivered, never 0 once delivered: a sender
  // may test it after a synchronous send to learn whether anyone got it.
  DWORD timestamp = 0;
  // Cursor position in the paint window's client coordinates at delivery.
  POINT mouse{0, 0};
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

class INotifyUI {
 public:
  virtual void Notify(TNotifyUI& msg) = 0;

 protected:
  ~INotifyUI() = default;
};

}  // namespace DuiLib
