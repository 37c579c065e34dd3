// The application object: start-up, the GUI thread's lifetime and shutdown.
//
// So far it holds the process log; the rest of start-up joins it as the
// window, the tray and the tunnel manager arrive.
//
// Thread: GUI thread.
#pragma once

#include <cstddef>

namespace halyx {

class App {
 public:
  // The one log of the process: "<temp>\QuorVPN\quorvpn.log", rotated at
  // 20 MiB into "quorvpn.1.log" .. "quorvpn.3.log".
  static constexpr std::size_t kLogMaxSize = 0x1400000;
  static constexpr std::size_t kLogRotatedFiles = 3;
  static constexpr const char* kLoggerName = "QUOR";

  // Creates the log folder in the user's temporary folder, opens the
  // rotating file logger "QUOR" (flushed on every info record) and installs
  // it as the default logger. False, after one error line through the
  // library's initial logger, when the folder or the file cannot be had.
  static bool SetupLogging();

  // Flushes the log and shuts the logging library down; nothing may log
  // afterwards.
  static void ShutdownLogging();
};

}  // namespace halyx
