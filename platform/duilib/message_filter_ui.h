// A message filter sees a window's messages before the framework does. It
// sets `handled` to consume one; the framework then returns its result
// from the window procedure and nobody else sees the message.
//
//   LRESULT MessageHandler(UINT msg, WPARAM wp, LPARAM lp, bool& handled) override {
//     if (msg != kMyMessage) return 0;
//     handled = true;
//     ...
//   }
//
// Thread: the GUI thread that owns the window.
#pragma once

#include <windows.h>

namespace DuiLib {

class IMessageFilterUI {
 public:
  // `handled` comes in false.
  virtual LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) = 0;

 protected:
  ~IMessageFilterUI() = default;
};

}  // namespace DuiLib
