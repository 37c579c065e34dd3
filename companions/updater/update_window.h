// The updater's window: "Checking for updates..." while the check runs, then
// its outcome. An offer of a newer version shows "Install update" (IDOK)
// beside "Close" (IDCANCEL); accepting runs the window's accept action (the
// download starts) and the window stays, showing the download's progress,
// until an outcome either reports a failure or is marked done: then the
// done action runs (the program is asked to quit) and the window closes.
// Return and Escape act as the two buttons.
//
//   HWND window = UpdateWindow::Create(module, [] { StartDownload(); }, [] { RequestShutdown(); });
//   PostPayload(window, UpdateWindow::kOutcomeMessage, std::make_unique<UpdateWindow::Outcome>(...));
//
// The window is top-level and owned by no window of the program, so its
// thread never waits for the program's GUI thread.
//
// Thread: the updater's UI thread, which creates the window and runs its
// messages; the outcome is posted from the fetch thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace halyx::update {

class UpdateWindow {
 public:
  static constexpr const wchar_t* kClassName = L"QuorUpdateWindow";
  static constexpr int kStatusId = 100;
  // The status line while checking; the outcome replaces it.
  static constexpr const wchar_t* kChecking = L"Checking for updates...";

  struct Outcome {
    bool offered = false;  // a newer version: "Install update" is shown
    bool done = false;     // the installer runs: the done action, then close
    std::wstring text;
  };
  // wParam: an Outcome on the heap, which the window frees (PostPayload).
  static constexpr UINT kOutcomeMessage = WM_APP + 1;
  // Closes the window without acting (the updater is being cleaned up).
  static constexpr UINT kDismissMessage = WM_APP + 2;
  // wParam: the download's progress in percent, 0-100.
  static constexpr UINT kProgressMessage = WM_APP + 3;

  // Shows the window in front; null on failure. The thread must run a
  // message loop until the window is destroyed; then it posts WM_QUIT.
  static HWND Create(HINSTANCE module, std::function<void()> onAccept, std::function<void()> onDone);
};

}  // namespace halyx::update
