// The tray icon's hidden top-level window: it receives the icon's callback
// messages, the menu's commands, "TaskbarCreated" and a second instance's
// show request, and hands every message to its TrayIcon.
//
// Top-level and hidden rather than message-only: broadcasts
// (HWND_BROADCAST) reach top-level windows only, and both "TaskbarCreated"
// and the show request come as broadcasts.
//
// Ownership: a member of its TrayIcon, which outlives it; destroying it
// destroys the window without calling back.
//
// Thread: GUI thread.
#pragma once

#include <windows.h>

#include "platform/duilib/window_wnd.h"

namespace halyx {

class TrayIcon;

class TrayIconWnd : public DuiLib::CWindowWnd {
 public:
  static constexpr const wchar_t* kClassName = L"TrayIconWindow";

  explicit TrayIconWnd(TrayIcon& owner) : owner_(owner) {}

  // TrayIcon::HandleMessage with `handled` preset to true; what it leaves
  // unhandled gets the default handling.
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 protected:
  LPCWSTR GetWindowClassName() const override { return kClassName; }

 private:
  TrayIcon& owner_;
};

}  // namespace halyx
