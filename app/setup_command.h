// What the installer and the uninstaller ask of the client from their
// command line, done without the user interface, after which the process
// exits:
//
//   QuorVPN.exe --autostart=on    registers auto-start for this executable
//   QuorVPN.exe --autostart=off   removes it
//   QuorVPN.exe --quit-running    asks this user's running instance to quit
//                                 and waits for it to be gone
//
//   const SetupCommand::Action action = SetupCommand::Parse(arguments);
//   if (action != SetupCommand::Action::kNone) return SetupCommand::Run(action);
//
// Auto-start goes through AutoStartup itself, so the installer's choice gets
// the same checks as the tray menu's (the executable must lie where only
// administrators can change it) and the log-on task names this executable.
// Without any argument the program starts as always; an argument it does not
// know ends it with kExitUsage rather than starting a second instance.
//
// Quitting: the running instance holds its lock file (App) and wrote its
// process id into it. The request is QuitRequestMessage posted to that
// process's tray window, again every kQuitRepostMs while it has none yet
// (it may still be starting); it quits as from its tray menu. The wait
// ends when the lock is free and the process has ended, so its files are
// no longer in use, or after the bound with kExitFailed.
//
// Thread: the process's only thread, before App exists.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/user_data_folder.h"

namespace halyx {

class SetupCommand {
 public:
  enum class Action { kNone, kAutoStartOn, kAutoStartOff, kQuitRunning, kInvalid };

  static constexpr int kExitDone = 0;
  static constexpr int kExitFailed = 1;
  static constexpr int kExitUsage = 2;
  static constexpr DWORD kQuitWaitMs = 20000;
  static constexpr DWORD kQuitRepostMs = 250;

  // `arguments` without the program's name.
  static Action Parse(const std::vector<std::wstring>& arguments);
  // This process's arguments, without its name.
  static std::vector<std::wstring> ProcessArguments();

  // Opens the log, does `action` and closes the log; the exit code.
  static int Run(Action action);

  // True when no instance of this user runs any more (or none ran); false
  // after one error line when one still does after `waitMs`.
  static bool QuitRunning(DWORD waitMs, const UserDataFolder::Settings& folders = UserDataFolder::Settings());
};

}  // namespace halyx
