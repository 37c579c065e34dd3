// The DPI a window is shown at, which decides how many device pixels a view
// hosted in it paints for one CSS pixel.
//
//   const float scale = WindowDpi::Of(hostWindow) / float(WindowDpi::kDefault);
//
// Thread: any thread may ask about any window of its process.
#pragma once

#include <windows.h>

namespace halyx::engine {

class WindowDpi {
 public:
  static constexpr int kDefault = 96;

  // The window's DPI: GetDpiForWindow where user32 has it (Windows 10 1607
  // on, the monitor's DPI for a per-monitor aware process), else the
  // LOGPIXELSX of the window's device context (the system DPI). 96 for a
  // null or destroyed window, or when neither answers.
  static int Of(HWND window);
};

}  // namespace halyx::engine
