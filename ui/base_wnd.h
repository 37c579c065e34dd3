// The frame window of every page: a skinned window from the archive
// "skin\main.dat" whose skin holds one browser control named "wke", driven
// by a controller (IWindowController) that it notifies.
//
// What all of them share: double clicks, a maximise that keeps the window
// where it is, the browser control taking the focus whenever the window is
// activated, Return passed to the default key response and Escape ignored
// (a page window is never closed by a stray key), and drops from the
// non-elevated desktop let through to the elevated client (EnableFileDrop).
//
// Ownership: shared by the controller, which this window does not own; when
// the native window has gone (OnFinalMessage) the window tells the
// controller, which may delete the window object from inside that call.
//
// Thread: GUI thread.
#pragma once

#include <windows.h>

#include "platform/duilib/paint_manager_ui.h"
#include "platform/duilib/window_impl_base.h"
#include "ui/i_window_controller.h"
#include "ui/wke_browser_ui.h"

namespace halyx {

class BaseWnd : public DuiLib::WindowImplBase {
 public:
  // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION |
  // WS_SYSMENU: the framework's dialog frame, the style of every page window.
  static constexpr DWORD kDialogStyle = 0x96C80000;

  BaseWnd() = default;
  ~BaseWnd() override = default;

  // Replaces the notifier; null leaves the window without one.
  virtual void SetController(IWindowController* controller);
  virtual IWindowController* GetController() const { return controller_; }
  virtual DuiLib::CPaintManagerUI* GetPaintManager() { return &paintManager_; }
  virtual void SetDPI(int dpi) { paintManager_.SetDPI(dpi); }
  // Accepts dropped files, also from processes of lower integrity.
  virtual void EnableFileDrop();
  virtual LRESULT OnActivate(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);

  // The skin's browser control; null before InitWindow or without one.
  DuiLib::CWkeBrowserUI* GetBrowser() const { return browser_; }

  LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;
  DuiLib::CControlUI* CreateControl(LPCWSTR className) override;

 protected:
  void OnFinalMessage(HWND hwnd) override;
  DuiLib::CDuiString GetSkinFolder() override { return L"skin\\"; }
  UINT GetResourceType() const override { return DuiLib::kResourceTypeZip; }
  DuiLib::CDuiString GetZIPFileName() const override { return L"main.dat"; }
  LRESULT OnGetMinMaxInfo(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;
  LRESULT OnSize(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;
  LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;

  // Finds the control "wke" of the skin.
  void FindBrowser();

  IWindowController* controller_ = nullptr;
  DuiLib::CWkeBrowserUI* browser_ = nullptr;
};

}  // namespace halyx
