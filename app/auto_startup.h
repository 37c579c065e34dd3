// Start with Windows: the tray menu's "开机启动" item.
//
//   if (!AutoStartup::GetEnabled()) AutoStartup::SetEnabled(true);
//
// The executable requires elevation, which the Run key cannot give: Windows
// skips such a Run entry at log-on without a word. The starting is done by
// the user's log-on task (app/log_on_task.h), which runs the executable
// with the user's highest rights, so auto-start is on exactly when that
// task exists. The Run value "com.quorvpn.win32" is still written beside it
// (the executable's path, quoted) and removed with it, for what reads it,
// but it decides nothing: any program of the user can write it.
//
// A task that starts a program elevated at every log-on must never name a
// program that someone other than the machine's administrators can change.
// Enabling therefore first checks the executable, its folder and every
// folder above (base/admin_write_check.h); when anyone else could write
// there (a copy run from Downloads, a folder a user made), auto-start is
// refused with one error line and an old task of ours is removed.
//
// At start-up (Refresh) the same check runs once: a client that finds
// itself in such a folder warns once in the log and removes its task; one
// in a protected folder whose task exists registers it again for its own
// path, which brings a task of an earlier version (the default access list,
// an unquoted command) up to date.
//
// Every failure is one error line; nothing reaches the caller.
//
// Thread: GUI thread (start-up, the tray menu and its builder).
#pragma once

#include <windows.h>

#include <string>

#include "base/admin_write_check.h"

namespace halyx {

class AutoStartup {
 public:
  static constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

  // What the production calls use; tests name a value and a task of their
  // own, pass an executable path and, since Wine records no owners, widen
  // the writers trusted.
  struct Settings {
    Settings();
    std::wstring runKey;      // kRunKey, under HKEY_CURRENT_USER
    std::wstring valueName;   // AutoStartValueName
    std::wstring userSid;     // this process's user; empty when unreadable
    std::wstring taskName;    // LogOnTask::NameFor(userSid); empty with it, and enabling fails
    std::wstring executable;  // empty: the running executable (_get_wpgmptr)
    TrustedWriter trusted;    // IsAdministrativeSid
  };

  static bool GetEnabled() { return GetEnabled(Settings()); }
  static void SetEnabled(bool enabled) { SetEnabled(enabled, Settings()); }

  // Whether the log-on task exists.
  static bool GetEnabled(const Settings& settings);
  static void SetEnabled(bool enabled, const Settings& settings);

  // Called once at start-up; see above.
  static void Refresh() { Refresh(Settings()); }
  static void Refresh(const Settings& settings);
};

}  // namespace halyx
