// Builds a window's controls from a skin document (the format is described
// in docs/skin-format.md) and hands them to its paint manager.
//
// Control classes the builder does not know itself ("Control", "Button")
// are asked of the IDialogBuilderCallback; a class nobody knows is logged and
// left out, the rest of the skin still loads.
//
// Thread: the GUI thread of the window being built.
#pragma once

#include <windows.h>

#include <string>

#include "platform/duilib/control_ui.h"

namespace DuiLib {

class CPaintManagerUI;

class IDialogBuilderCallback {
 public:
  // A new control for `className`, or null. The paint manager takes
  // ownership and deletes it with `delete`.
  virtual CControlUI* CreateControl(LPCWSTR className) = 0;

 protected:
  ~IDialogBuilderCallback() = default;
};

class CDialogBuilder {
 public:
  // Parses `xml` (UTF-8), applies the Window element's attributes to
  // `manager` and adds one control per child element, in document order.
  // False, after one error line naming `source`, when the text is not a
  // skin; the manager is then left unchanged.
  static bool Build(const std::string& xml, const std::wstring& source, IDialogBuilderCallback* callback,
                    CPaintManagerUI* manager);
};

}  // namespace DuiLib
