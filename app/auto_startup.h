// Start with Windows: the tray menu's "开机启动" item.
//
//   if (!AutoStartup::GetEnabled()) AutoStartup::SetEnabled(true);
//
// The switch is the value "com.quorvpn.win32" under the user's Run key:
// auto-start is on exactly when a value of that name exists, whatever its
// type or data, so values written by earlier versions still count. Enabling
// writes the executable's path, quoted: Windows reads a Run value as a
// command line, and "C:\Program Files\..." unquoted would first try
// "C:\Program.exe".
//
// The executable requires elevation, which the Run key cannot give, so the
// value alone would start nothing. Enabling therefore first registers the
// user's log-on task (app/log_on_task.h), which does the starting, and
// writes the value only when that worked; disabling removes both. Either
// step failing leaves auto-start off rather than ticked and dead.
//
// Every failure is one error line; nothing reaches the caller.
//
// Thread: GUI thread (the tray menu and its builder).
#pragma once

#include <windows.h>

#include <string>

namespace halyx {

class AutoStartup {
 public:
  static constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

  // What the production calls use; tests name a value and a task of their
  // own and pass an executable path.
  struct Settings {
    Settings();
    std::wstring runKey;      // kRunKey, under HKEY_CURRENT_USER
    std::wstring valueName;   // AutoStartValueName
    std::wstring userSid;     // this process's user; empty when unreadable
    std::wstring taskName;    // LogOnTask::NameFor(userSid); empty with it, and enabling fails
    std::wstring executable;  // empty: the running executable (_get_wpgmptr)
  };

  static bool GetEnabled() { return GetEnabled(Settings()); }
  static void SetEnabled(bool enabled) { SetEnabled(enabled, Settings()); }

  static bool GetEnabled(const Settings& settings);
  static void SetEnabled(bool enabled, const Settings& settings);

  // Called once at start-up. An earlier version switched auto-start on with
  // the Run value alone (unquoted, and no log-on task), which starts nothing
  // at log-on while the item shows ticked; so while the switch is on, the
  // task is registered again for the executable now running (replacing one
  // that names an old path) and the value rewritten quoted. Off: nothing.
  static void Refresh() { Refresh(Settings()); }
  static void Refresh(const Settings& settings);
};

}  // namespace halyx
