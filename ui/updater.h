// The updater "WinSparkle.dll", bound at run time from the executable's
// folder: configured and started by the application, asked for an
// interactive check by the page and the tray.
//
//   Updater::SetAppcastUrl(kAppcastUrl);
//   Updater::SetRegistryPath("Software\\QuorVPN\\Updates");
//   Updater::SetShutdownRequestCallback(&App::RequestQuit);
//   Updater::Init();
//
// The client relies on nothing the updater returns, so it also runs without
// it: when the DLL or one of its functions is missing, the first call writes
// one warning and every call does nothing.
//
// Thread: GUI thread. The updater calls the shutdown-request callback on a
// thread of its own.
#pragma once

namespace halyx {

class Updater {
 public:
  using ShutdownRequestCallback = void(__cdecl*)();

  static void SetAppcastUrl(const char* url);
  static void SetRegistryPath(const char* path);
  static void SetShutdownRequestCallback(ShutdownRequestCallback callback);
  static void Init();
  // Starts an interactive check and returns at once.
  static void CheckUpdateWithUi();
  // Stops the updater's threads and windows.
  static void Cleanup();

  // True when the DLL is bound (binding it on the first call).
  static bool Available();
};

}  // namespace halyx
