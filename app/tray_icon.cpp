#include "app/tray_icon.h"

#include <algorithm>
#include <iterator>

#include <spdlog/spdlog.h>

#include "app/process_values.h"

namespace halyx {
namespace {

// Icon ids of the process: the shell tells icons of one window apart by them.
UINT lastTrayIconId = 0;

}  // namespace

TrayIcon::TrayIcon() : id_(++lastTrayIconId) { UpdateNotifyIcon(false); }

TrayIcon::~TrayIcon() {
  // The window goes with its member without calling back, so its WM_DESTROY
  // cannot take the icon out; without this, the shell would keep showing it
  // until the mouse passes over it.
  if (added_) {
    NOTIFYICONDATAW data = ShellData();
    ::Shell_NotifyIconW(NIM_DELETE, &data);
    added_ = false;
  }
}

void TrayIcon::SetVisible(bool visible) {
  if (visible == visible_) return;
  UpdateNotifyIcon(visible);
  visible_ = visible;
}

void TrayIcon::SetIcon(HICON icon) {
  if (icon == icon_.get()) return;
  icon_.reset(icon);
  UpdateNotifyIcon(visible_);
}

void TrayIcon::SetTipText(const std::wstring& text) {
  if (text == tipText_) return;
  if (text.size() > kMaxTipLength) {
    spdlog::error("TrayIcon: tip text too long");
    return;
  }
  tipText_ = text;
  if (added_) UpdateNotifyIcon(true);
}

void TrayIcon::SetMenu(HMENU menu) {
  if (menu == menu_.get()) return;
  menu_.reset(menu);
}

void TrayIcon::RemoveFromNotificationArea() {
  if (window() == nullptr) return;
  SetTipText(L"");
  if (added_) {
    NOTIFYICONDATAW data = ShellData();
    ::Shell_NotifyIconW(NIM_DELETE, &data);
    added_ = false;
  }
  icon_.reset();
  menu_.reset();
}

NOTIFYICONDATAW TrayIcon::ShellData() const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window();
  data.uID = id_;
  data.uCallbackMessage = kCallbackMessage;
  data.uFlags = NIF_MESSAGE | NIF_TIP;
  if (icon_) {
    data.uFlags |= NIF_ICON;
    data.hIcon = icon_.get();
  }
  const std::size_t length = std::min(tipText_.size(), std::size(data.szTip) - 1);
  std::copy_n(tipText_.c_str(), length, data.szTip);
  return data;
}

void TrayIcon::UpdateNotifyIcon(bool show) {
  if (show && window() == nullptr) {
    if (window_.Create(nullptr, L"", 0, 0) == nullptr) return;
    // The process runs elevated, and User Interface Privilege Isolation
    // drops messages that a process of lower integrity sends it. Explorer
    // runs at medium integrity; its "TaskbarCreated" must still get through.
    ::ChangeWindowMessageFilterEx(window(), TaskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
  }
  NOTIFYICONDATAW data = ShellData();
  // The shell's answers are not relied on: after a failed add, the next
  // "TaskbarCreated" adds again anyway.
  if (show && icon_) {
    if (added_) {
      ::Shell_NotifyIconW(NIM_MODIFY, &data);
    } else {
      ::Shell_NotifyIconW(NIM_ADD, &data);
      added_ = true;
    }
  } else if (added_) {
    ::Shell_NotifyIconW(NIM_DELETE, &data);
    added_ = false;
  }
}

LRESULT TrayIcon::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (msg == kCallbackMessage) {
    // Without NIM_SETVERSION the shell passes the plain mouse message.
    if (lParam == WM_LBUTTONDBLCLK) {
      HandleDoubleClick();
    } else if (lParam == WM_RBUTTONUP) {
      HandleContextMenu();
    }
  } else if (msg == WM_COMMAND) {
    HandleCommand(wParam, lParam, handled);
  } else if (msg == WM_DESTROY) {
    HandleDestroy();
  } else if (msg == WM_DRAWITEM) {
    HandleDrawItem(handled);
  } else if (msg == WM_MEASUREITEM) {
    HandleMeasureItem(handled);
  } else if (msg == WM_INITMENUPOPUP) {
    HandleInitMenuPopup(handled);
  } else if (msg == TaskbarCreatedMessage) {
    // The new shell knows no icons: add ours again, under the same id.
    added_ = false;
    UpdateNotifyIcon(visible_);
    handled = false;
  } else if (msg == ShowRequestMessage) {
    OnShowRequest(this);
  } else if (msg == QuitRequestMessage) {
    OnQuitRequest(this);
  } else {
    handled = false;
  }
  return 0;
}

void TrayIcon::HandleDoubleClick() { OnDoubleClick(this); }

void TrayIcon::HandleContextMenu() {
  if (!menu_) return;
  POINT cursor{};
  ::GetCursorPos(&cursor);
  // A popup menu of a background window does not close when the user
  // clicks elsewhere unless its window is in the foreground, and does not
  // open a second time at once unless a message follows the tracking.
  ::SetForegroundWindow(window());
  ::TrackPopupMenuEx(menu_.get(), TPM_RIGHTALIGN | TPM_VERTICAL, cursor.x, cursor.y, window(), nullptr);
  ::PostMessageW(window(), WM_NULL, 0, 0);
}

void TrayIcon::HandleCommand(WPARAM wParam, LPARAM lParam, bool& handled) {
  if (lParam != 0) {  // a control's notification, not a menu's
    handled = false;
    return;
  }
  UINT id = LOWORD(wParam);
  if (HIWORD(wParam) == 0) OnMenuCommand(&id);
}

void TrayIcon::HandleDrawItem(bool& handled) { handled = false; }
void TrayIcon::HandleMeasureItem(bool& handled) { handled = false; }
void TrayIcon::HandleInitMenuPopup(bool& handled) { handled = false; }

void TrayIcon::HandleDestroy() {
  if (!added_) return;
  NOTIFYICONDATAW data = ShellData();
  ::Shell_NotifyIconW(NIM_DELETE, &data);
  added_ = false;
}

}  // namespace halyx
