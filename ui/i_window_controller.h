// What a window knows of the object that drives it: the window's notifier
// (it receives the window's framework notifications) and the owner of the
// window object, which it gives up when the window has received its final
// message.
//
// Thread: GUI thread.
#pragma once

#include "platform/duilib/notify_ui.h"

namespace halyx {

class BaseWnd;

class IWindowController : public DuiLib::INotifyUI {
 public:
  virtual ~IWindowController() = default;

  // The window is gone: drop the window object (this may delete it).
  virtual void ReleaseWindow() = 0;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  // Null once the window was released.
  virtual BaseWnd* GetWindow() const = 0;
};

}  // namespace halyx
