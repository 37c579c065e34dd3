// Helpers for the tunnel manager suites: a subscriber that records every
// event, a driver that runs the manager's own message loop until a
// condition holds, and settings that point a manager at stand-ins.
//
// Thread: the test's thread, which is the manager's GUI thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "tunnel/tunnel_manager.h"

namespace halyx::testing {

// Subscribed to `manager` while it lives.
class EventRecorder {
 public:
  explicit EventRecorder(TunnelManager& manager);
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  bool OnTunnelEvent(void* text);
  bool Has(const std::string& text) const;
  // Events whose "type" is `type`.
  std::size_t Count(const std::string& type) const;

  std::vector<std::string> events;
  // Runs inside the event, after it was recorded.
  std::function<void(const std::string& text)> react;

 private:
  TunnelManager& manager_;
};

// Runs manager.Run() until `done` holds (looked at every 10 ms) or
// `timeoutMs` passes; true when it held. Run() itself ends by WM_QUIT.
bool RunUntil(TunnelManager& manager, const std::function<bool()>& done, DWORD timeoutMs = 6000);

// A manager aimed at `pipeName` served by anyone, writing its config files
// under `configRoot`, running the stand-in proxy tool.
TunnelManager::Settings StandInSettings(const std::string& pipeName, const std::wstring& configRoot);

std::string Narrow(const std::wstring& text);

}  // namespace halyx::testing
