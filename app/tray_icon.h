// The notification-area icon: its icon, tip text and popup menu, and the
// hidden window (TrayIconWnd) that receives its messages, turned into three
// events.
//
//   auto tray = std::make_shared<TrayIcon>();
//   tray->SetTipText(L"QuorVPN");
//   tray->SetIcon(icon);                 // owned from here on
//   tray->SetMenu(menu);                 // owned from here on
//   tray->OnDoubleClick += DuiLib::MakeDelegate(&app, &App::ShowMainWindow);
//   tray->SetVisible(true);              // creates the window, adds the icon
//
// Events (fired synchronously inside the window procedure):
//   OnDoubleClick  a double click on the icon; param: the TrayIcon
//   OnMenuCommand  a menu item chosen; param: pointer to the UINT command id
//   OnShowRequest  ShowRequestMessage from a second instance; param: the
//                  TrayIcon
//   OnQuitRequest  QuitRequestMessage (an installer replacing the program's
//                  files); param: the TrayIcon
// A right-button release opens the menu at the cursor; a single click does
// nothing. When the shell restarts ("TaskbarCreated") the icon is added
// again with the same id, tip and icon.
//
// Ownership: owns the icon, the menu and the window. Destruction deletes the
// icon from the notification area if it is there.
//
// Thread: GUI thread.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <string>

#include "app/tray_icon_wnd.h"
#include "base/unique_handle.h"
#include "platform/duilib/event_source.h"

namespace halyx {

class TrayIcon {
 public:
  // The callback message of the icon (TrayCallbackMessage).
  static constexpr UINT kCallbackMessage = 0x800;
  // What the shell's tip field holds, less its terminator.
  static constexpr std::size_t kMaxTipLength = 63;

  // Takes the next id of the process (the first icon's is 1).
  TrayIcon();
  virtual ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  DuiLib::CEventSource OnDoubleClick;
  DuiLib::CEventSource OnMenuCommand;
  DuiLib::CEventSource OnShowRequest;
  DuiLib::CEventSource OnQuitRequest;

  // Whether the owner wants the icon shown; true adds it (needs an icon).
  void SetVisible(bool visible);
  // Takes ownership; the previous icon is destroyed.
  void SetIcon(HICON icon);
  // More than kMaxTipLength characters: an error line, and the old text stays.
  void SetTipText(const std::wstring& text);
  // Takes ownership; the previous menu is destroyed.
  void SetMenu(HMENU menu);
  // The application's shutdown: empties the tip, deletes the icon from the
  // notification area, destroys the icon and the menu. Only where the window
  // exists.
  void RemoveFromNotificationArea();

  // The window's messages; `handled` comes in true.
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);

  UINT id() const { return id_; }
  HWND window() const { return window_.GetHWND(); }
  HMENU menu() const { return menu_.get(); }
  const std::wstring& tipText() const { return tipText_; }
  bool visible() const { return visible_; }
  // Whether the icon is in the notification area, as far as this object knows.
  bool added() const { return added_; }

 protected:
  virtual void HandleDoubleClick();
  // Opens the menu at the cursor, when there is one.
  virtual void HandleContextMenu();
  virtual void HandleCommand(WPARAM wParam, LPARAM lParam, bool& handled);
  // Owner-drawn menus are not used: these leave the messages unhandled.
  virtual void HandleDrawItem(bool& handled);
  virtual void HandleMeasureItem(bool& handled);
  virtual void HandleInitMenuPopup(bool& handled);
  // The window is going: the icon cannot stay without it.
  virtual void HandleDestroy();

 private:
  void UpdateNotifyIcon(bool show);
  NOTIFYICONDATAW ShellData() const;

  std::wstring tipText_;
  IconHandle icon_;
  MenuHandle menu_;
  bool visible_ = false;
  bool added_ = false;
  UINT id_;
  TrayIconWnd window_{*this};
};

}  // namespace halyx
