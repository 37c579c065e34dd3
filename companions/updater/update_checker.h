// The updater's state and its interactive check, behind the exports of
// "WinSparkle.dll" (winsparkle_exports.cpp).
//
//   UpdateChecker& updater = UpdateChecker::Instance();
//   updater.SetAppcastUrl("https://updates.example/api/checkDesktopUpdate?device=windows");
//   updater.SetRegistryPath("Software\\QuorVPN\\Updates");
//   updater.SetShutdownRequest(&RequestQuit);
//   updater.CheckWithUi();   // returns at once; the window shows the outcome
//   updater.Cleanup();
//
// A check fetches the appcast (appcast.h) on a thread of its own and compares
// its version with the file version of the running executable's version
// block. The outcome shows in the updater's window (update_window.h) on a
// second thread of its own. Accepting an offer downloads and checks its
// package on a third thread (update_install.h) with the progress in the
// window; once the installer runs, the UI thread calls the shutdown request
// and the installer, which waits for the program to quit, replaces it and
// starts it again. A failure shows in the window, and the program runs on.
// Checks run only when asked: there are no scheduled checks.
//
// The appcast URL is the one set, unless the value "AppcastUrl" (a string)
// under HKEY_CURRENT_USER\<registry path> names another: tests and staging
// set it to point the updater elsewhere without a new build. Either must
// be https, or plain http to this machine (appcast_fetch.h).
//
// Thread: the setters, CheckWithUi and Cleanup on the program's GUI thread;
// the shutdown request arrives on the updater's UI thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "appcast.h"
#include "base/unique_handle.h"

namespace halyx::update {

class UpdateChecker {
 public:
  using ShutdownRequest = void(__cdecl*)();

  static UpdateChecker& Instance();

  void SetAppcastUrl(const std::string& url);
  void SetRegistryPath(const std::string& path);
  void SetShutdownRequest(ShutdownRequest request) { shutdownRequest_ = request; }
  // Starts a check with its window, or brings the window of the check still
  // open to the front.
  void CheckWithUi();
  // Closes the window, if any, and waits for its thread. A fetch still
  // waiting for the server ends on its own within its deadline; its outcome
  // then reaches no one.
  void Cleanup();

 private:
  UpdateChecker() = default;

  // The URL the next check fetches (see above).
  std::wstring AppcastUrl() const;
  void Accept(HWND window);
  void RequestShutdown() const;
  static void Install(Appcast offer, HWND window);
  static DWORD WINAPI UiThread(void* param);
  static void Fetch(std::wstring url, HWND window);

  mutable std::mutex mutex_;
  std::string appcastUrl_;
  std::string registryPath_;
  // The last check's offer, what "Install update" installs.
  Appcast offer_;
  std::atomic<ShutdownRequest> shutdownRequest_{nullptr};
  // The UI thread of the last check, and its window.
  ThreadHandle uiThread_;
  DWORD uiThreadId_ = 0;
  HWND window_ = nullptr;
};

}  // namespace halyx::update
