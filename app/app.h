// The application object: start-up, the GUI thread's lifetime and shutdown.
//
//   App app;
//   if (!app.Init(instance)) return 1;   // every failure already logged
//   app.Run();                           // until WM_QUIT
//   app.Shutdown();
//   return 0;
//
// Init brings the process up in a fixed order (crash reporter, log, LSP
// category, COM, taskbar identity, single-instance lock, browser engine) and
// stops at the first step that fails, undoing nothing. Run shows the main
// window and the tray icon, starts the updater and hands the thread to the
// tunnel manager's message loop. Shutdown hides the window, takes the tray
// icon out of the notification area, finalises the engine, COM, the log and
// the crash reporter, in that order; its first line and the log's last
// ("App: QuorVPN <version> stopped") mark a clean end of the run.
//
// Single instance: the lock is the file "quorvpn.lock" in the user's own
// protected folder (base/user_data_folder.h), which no unelevated program
// can open, held for the life of the process with its writing shared with no
// one, and holding the process id. A second instance of the same user fails
// to open it for writing, reads that id and lets that process take the
// foreground (Windows otherwise lets a background process only flash its
// taskbar button), broadcasts ShowRequestMessage (which the first instance's
// tray window turns into showing the main window) and exits with 1. The file
// is never deleted: one left behind by a crash does not block.
//
// Ownership: App owns the main window controller, the tray icon and the lock
// handle.
//
// Thread: GUI thread, except RequestQuit (any thread).
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

#include "app/tray_icon.h"
#include "base/unique_handle.h"
#include "base/user_data_folder.h"
#include "base/version.h"
#include "ui/main_window_controller.h"

namespace halyx {

class App {
 public:
  // The one log of the process: "quorvpn.log" in the user's protected
  // "log" folder, rotated at 20 MiB into "quorvpn.1.log" .. "quorvpn.3.log".
  static constexpr std::size_t kLogMaxSize = 0x1400000;
  static constexpr std::size_t kLogRotatedFiles = 3;
  static constexpr const char* kLoggerName = "QUOR";

  static constexpr const char* kVersion = QUOR_VERSION;
  static constexpr const wchar_t* kAppUserModelId = L"com.quorvpn.app";
  static constexpr const wchar_t* kLogFileName = L"quorvpn.log";
  static constexpr const wchar_t* kLockFileName = L"quorvpn.lock";
  static constexpr const char* kCrashHandlerPath = "bin\\crashpad_handler.exe";
  static constexpr const char* kCrashReporterDsn = "https://5f0c3e9a7b214d6c8e1f2a3b4c5d6e7f@crash.quorvpn.com/4";
  static constexpr const char* kAppcastUrl = "https://api.quorvpn.com/api/checkDesktopUpdate?device=windows";
  static constexpr const char* kUpdaterRegistryPath = "Software\\QuorVPN\\Updates";
  static constexpr const wchar_t* kMainWindowTitle = L"QuorVPN";
  static constexpr int kMainWindowWidth = 800;
  static constexpr int kMainWindowHeight = 572;
  // Icon group resources: 100 the application's, 101 the tray's.
  static constexpr UINT kTrayIconResource = 101;
  // The tray menu's command ids.
  static constexpr UINT kMenuShow = 10;
  static constexpr UINT kMenuAutoStart = 11;
  static constexpr UINT kMenuCheckUpdate = 12;
  static constexpr UINT kMenuQuit = 13;

  App();
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // The start-up sequence; true only when every step succeeded.
  bool Init(HINSTANCE instance);
  // Shows the UI, starts the updater, runs the message loop; the wParam of
  // the WM_QUIT that ended it.
  int Run();
  void Shutdown();

  // Created (window and controller) on the first call.
  std::shared_ptr<MainWindowController> GetMainWindowController();
  // Shows the main window and brings it to the front; `param` is ignored.
  bool ShowMainWindow(void* param);

  // Created on the first call: tip "QuorVPN", the tray icon resource, the
  // menu, and App's handlers subscribed to its events.
  std::shared_ptr<TrayIcon> GetTrayIcon();
  // The tray menu: show, start with Windows (checked when auto-start is
  // on), check for updates, quit. Null when the menu cannot be created.
  static HMENU BuildTrayMenu();
  // The tray menu's handler; `param` points to the command id. Always true.
  bool OnTrayMenuCommand(void* param);

  // QuitRequestMessage from the installer: the same as the tray's quit item.
  bool OnQuitRequest(void* param);

  // Ends the message loop; safe on any thread (it only posts).
  static void RequestQuit();

  // Makes or checks the user's protected log folder, opens the rotating file
  // logger "QUOR" (flushed on every info record) and installs it as the
  // default logger. False, after the folder's or the file's error line and
  // one of its own through the library's initial logger, when the folder or
  // the file cannot be had. `folders`: tests point them elsewhere.
  static bool SetupLogging(const UserDataFolder::Settings& folders = UserDataFolder::Settings());
  // Flushes the log and closes its file; what is logged afterwards, on any
  // thread, is discarded.
  static void ShutdownLogging();

  // The executable's LSP category (app/lsp_category.h); never fails start-up.
  static void EnsureLspCategory();
  // Opens the lock file; false (logged, and the show request broadcast when
  // another instance holds it) when it cannot.
  bool AcquireInstanceLock(const UserDataFolder::Settings& folders = UserDataFolder::Settings());
  // The process id the running instance wrote into its lock file; 0 when
  // none can be read.
  static DWORD RunningInstanceId(const UserDataFolder::Settings& folders = UserDataFolder::Settings());

 private:
  static void StartCrashReporter();

  std::shared_ptr<MainWindowController> mainWindowController_;
  std::shared_ptr<TrayIcon> trayIcon_;
  FileHandle instanceLock_;
};

}  // namespace halyx
