// A button: sends "click" when the left button goes down and up on it, or
// when it has the focus and Space is pressed.
//
// Thread: the GUI thread of its window.
#pragma once

#include "platform/duilib/control_ui.h"

namespace DuiLib {

class CButtonUI : public CControlUI {
 public:
  // L"Button".
  LPCWSTR GetClass() const override;
  LPVOID GetInterface(LPCWSTR name) override;
  UINT GetControlFlags() const override { return kControlFlagTabStop; }
  void DoEvent(TEventUI& event) override;

  bool IsPressed() const { return pressed_; }

 private:
  bool pressed_ = false;
};

}  // namespace DuiLib
