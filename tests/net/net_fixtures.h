// Loops, a result window and log checks shared by the measurement tests.
// Thread: the test's thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include <uv.h>

#include "net/io_loop.h"
#include "support/log_capture.h"
#include "support/result_window.h"

namespace halyx::testing {

// A libuv loop run on the test's thread. The destructor runs it until every
// handle has closed and fails the test when the loop then cannot close.
class UvTestLoop {
 public:
  UvTestLoop() { uv_loop_init(&loop_); }
  ~UvTestLoop();
  UvTestLoop(const UvTestLoop&) = delete;
  UvTestLoop& operator=(const UvTestLoop&) = delete;

  uv_loop_t* get() { return &loop_; }
  // Runs the loop until `done` holds or `timeoutMs` passed; returns done().
  bool RunUntil(const std::function<bool()>& done, uint64_t timeoutMs);
  // Runs `action` on the loop after `delayMs`.
  void After(uint64_t delayMs, std::function<void()> action);

 private:
  uv_loop_t loop_{};
};

// A started IoLoop whose results go to a ResultWindow, with the log captured.
struct WatcherRun {
  // The servers are this machine's echo and HTTP stand-ins.
  WatcherRun() : ioLoop(std::in_place, window.get(), ServerAddressPolicy::AllowingLocalServers()) { ioLoop->Start(); }
  // Pumps until an info line reads `line`, then collects what was posted before it.
  bool WaitForLine(const std::string& line, DWORD timeoutMs = 30000);

  ResultWindow window;
  LogCapture log;
  std::optional<IoLoop> ioLoop;
};

// Records at `level` that start with `prefix`.
std::size_t CountLinesStarting(const LogCapture& log, spdlog::level::level_enum level, const std::string& prefix);

// Runs `action` with Winsock shut down, so that no socket can be created.
void WithoutWinsock(const std::function<void()>& action);

}  // namespace halyx::testing
