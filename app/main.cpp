// The entry point of QuorVPN.exe. The show mode is ignored: the process is
// started by the user, the log-on task or the updater, without arguments.
// The installer's few switches (app/setup_command.h) end the process before
// anything of the user interface starts.
#include <windows.h>

#include <spdlog/spdlog.h>

#include "app/app.h"
#include "app/setup_command.h"
#include "base/error_code.h"
#include "base/system_library.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Before anything loads a DLL by name: from here on a bare name is looked
  // for in the system folder only, never beside the executable, in the
  // current folder or on PATH.
  DWORD searchError = 0;
  const bool searchRestricted = halyx::RestrictDllSearch(searchError);
  const auto action = halyx::SetupCommand::Parse(halyx::SetupCommand::ProcessArguments());
  if (action != halyx::SetupCommand::Action::kNone) return halyx::SetupCommand::Run(action);
  halyx::App app;
  if (!app.Init(instance)) return 1;
  if (!searchRestricted) {
    spdlog::warn("App: the DLL search could not be restricted to the system folder ({:#x})",
                 halyx::Win32Code(searchError));
  }
  app.Run();  // its WM_QUIT code is not the exit code
  app.Shutdown();
  return 0;
}
