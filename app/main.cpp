// The entry point of QuorVPN.exe. The command line and the show mode are
// ignored: the process is started by the user, the Run key or the updater.
#include <windows.h>

#include "app/app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  halyx::App app;
  if (!app.Init(instance)) return 1;
  app.Run();  // its WM_QUIT code is not the exit code
  app.Shutdown();
  return 0;
}
