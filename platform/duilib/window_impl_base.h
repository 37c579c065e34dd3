// A frame window built from a skin: on creation it loads the skin file from
// the skin archive beside the executable, builds and lays out its controls,
// then calls InitWindow; "windowinit" follows from the message queue once the
// creator has had the chance to register its notifiers.
//
//   class MainWnd : public WindowImplBase {
//     LPCWSTR GetWindowClassName() const override { return L"QuorMainFrame"; }
//     CDuiString GetSkinFolder() override { return L"skin\\"; }
//     CDuiString GetSkinFile() override { return L"main.xml"; }
//     CDuiString GetZIPFileName() const override { return L"main.dat"; }
//     UINT GetResourceType() const override { return kResourceTypeZip; }
//     CControlUI* CreateControl(LPCWSTR className) override;  // "WkeBrowser"
//   };
//
// The skin comes from GetSkinFolder() (relative to the executable's folder
// unless absolute) and, for kResourceTypeZip, from the archive
// GetZIPFileName() in it. A missing or broken skin makes Create fail: the
// window is destroyed again, OnFinalMessage runs, Create returns null.
//
// Message order: the paint manager's message filters (this window is the
// first of them) and framework; then OnClose, OnSize, OnGetMinMaxInfo and
// the rest of the On* handlers; then HandleCustomMessage; then the default
// window procedure. `handled` comes in true for the On* handlers, and their
// base versions set it false; it comes in false for HandleCustomMessage.
//
// The window is its own first notifier and message filter. Its MessageHandler
// passes Return and Escape key-downs to ResponseDefaultKeyEvent, which closes
// the window on Escape.
//
// Thread: the GUI thread that created the window.
#pragma once

#include <windows.h>

#include "platform/duilib/control_ui.h"
#include "platform/duilib/dialog_builder.h"
#include "platform/duilib/dui_string.h"
#include "platform/duilib/message_filter_ui.h"
#include "platform/duilib/notify_ui.h"
#include "platform/duilib/paint_manager_ui.h"
#include "platform/duilib/window_wnd.h"

namespace DuiLib {

// GetResourceType values.
constexpr UINT kResourceTypeFile = 1;  // GetSkinFile() in the skin folder
constexpr UINT kResourceTypeZip = 2;   // GetSkinFile() in the archive GetZIPFileName()

class WindowImplBase : public CWindowWnd, public INotifyUI, public IMessageFilterUI, public IDialogBuilderCallback {
 public:
  WindowImplBase() = default;
  ~WindowImplBase() override;

  // Called after the controls were built and laid out, before "windowinit".
  virtual void InitWindow() {}
  // Nothing by default.
  void Notify(TNotifyUI& msg) override;
  // Null by default: the skin's unknown classes are left out.
  CControlUI* CreateControl(LPCWSTR className) override;
  LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;
  // Escape closes the window (IDCANCEL) and answers TRUE; anything else
  // answers FALSE (not handled).
  virtual LRESULT ResponseDefaultKeyEvent(WPARAM key);

  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 protected:
  virtual CDuiString GetSkinFolder() { return CDuiString(); }
  virtual CDuiString GetSkinFile() = 0;
  virtual CDuiString GetZIPFileName() const { return CDuiString(); }
  virtual UINT GetResourceType() const { return kResourceTypeFile; }
  // CS_DBLCLKS, so that controls see double clicks.
  UINT GetClassStyle() const override { return CS_DBLCLKS; }
  // Removes the window from its own paint manager and deletes the controls.
  void OnFinalMessage(HWND hwnd) override;

  virtual LRESULT OnCreate(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);
  // Lets the window be destroyed.
  virtual LRESULT OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);
  virtual LRESULT OnDestroy(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);
  virtual LRESULT OnSize(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);
  virtual LRESULT OnGetMinMaxInfo(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);
  virtual LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);

  CPaintManagerUI paintManager_;

 private:
  bool LoadSkin();
  bool windowInitSent_ = false;
};

}  // namespace DuiLib
