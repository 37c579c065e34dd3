// The main window: the frame of "app\main.html". Closing it (caption
// button, Alt+F4, the page's "CloseWindow") only hides it, so the page, its
// dispatch object and its measurements live on until the application quits;
// files can be dropped on it. It keeps its caption style (taskbar, Alt+Tab,
// system menu) but has no visible frame: the page fills all of the window,
// so window-relative points are page points, and the page draws its own
// header bar. Without a page to draw that bar the system frame comes back.
//
// Thread: GUI thread.
#pragma once

#include "ui/base_wnd.h"

namespace halyx {

class MainWnd : public BaseWnd {
 public:
  static constexpr const wchar_t* kClassName = L"QuorMainFrame";

  MainWnd() = default;
  ~MainWnd() override = default;

  // Gives the window its system frame back (caption, close button, border)
  // for when the page that would draw its header cannot be shown; the
  // page area shrinks to what the frame leaves. For good.
  void ShowSystemFrame();
  bool systemFrame() const { return systemFrame_; }

 protected:
  LPCWSTR GetWindowClassName() const override { return kClassName; }
  void InitWindow() override;
  DuiLib::CDuiString GetSkinFile() override { return L"main.xml"; }
  LRESULT OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;
  LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;

 private:
  bool systemFrame_ = false;
};

}  // namespace halyx
