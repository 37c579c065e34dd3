// Helpers for the tunnel suites: the stand-in tunnel service registered with
// the service control manager, a recording IpcClient delegate and pump, and
// a recorder and driver for the tunnel manager.
//
// Thread: the test's thread (the manager's GUI thread in manager tests).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_handle.h"
#include "tunnel/ipc_client.h"
#include "tunnel/tunnel_manager.h"

namespace halyx::testing {

// Full path of a companion program in the test executable's folder.
std::wstring CompanionPath(const std::wstring& relative);
std::string UniquePipeName();
// The bytes of one frame carrying `payload`, as a server writes them.
std::string Frame(const std::string& payload);
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// Sets environment variables for the tools this process starts, while it lives.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(std::vector<std::pair<const wchar_t*, std::wstring>> values);
  ~ScopedEnvironment();

 private:
  std::vector<std::pair<const wchar_t*, std::wstring>> values_;
};

// The stand-in service registered under `name`; removed when the object goes.
class RegisteredService {
 public:
  RegisteredService(const std::wstring& name, const std::wstring& options);
  ~RegisteredService();
  bool installed() const { return installed_; }
  DWORD State() const;
  DWORD StartType() const;
  bool Start(bool waitRunning = true) const;

 private:
  std::wstring name_;
  bool installed_ = false;
};

class RecordingDelegate : public IpcClientDelegate {
 public:
  void OnConnected() override { events.push_back("connected"); }
  void OnConnectFailed(DWORD error) override { events.push_back("connect-failed " + std::to_string(error)); }
  void OnDisconnected() override;
  void OnStartTunnel(const RespStartTunnel& r) override { Add(r); }
  void OnStopTunnel(const RespStopTunnel& r) override { Add(r); }
  void OnQueryTunnel(const RespQueryTunnel& r) override { Add(r); }
  void OnSetConfig(const RespSetConfig& r) override { Add(r); }
  void OnSetOutboundMode(const RespSetOutboundMode& r) override { Add(r); }
  void OnRequestDropped(const char* type) override { events.push_back(std::string("dropped ") + type); }

  // "connected", "connect-failed <n>", "disconnected", "dropped <type>", or
  // the response as JSON.
  std::vector<std::string> events;
  // When set, OnDisconnected records whether the client's events still exist.
  IpcClient* client = nullptr;
  bool eventsValidOnDisconnect = false;

 private:
  void Add(const ToJson& response);
};

// Serves the client's events until `done` holds or `timeoutMs` passes.
bool PumpUntil(IpcClient& client, const std::function<bool()>& done, DWORD timeoutMs = 5000);
void PumpFor(IpcClient& client, DWORD ms);

// Records every event of `manager` while it lives.
class EventRecorder {
 public:
  explicit EventRecorder(TunnelManager& manager);
  ~EventRecorder();
  bool OnTunnelEvent(void* text);
  bool Has(const std::string& text) const;
  // Some QueryTunnel answer reported `path` as the loaded config.
  bool ReportedConfig(const std::string& path) const;

  std::vector<std::string> events;

 private:
  TunnelManager& manager_;
};

// Runs manager.Run() until `done` holds (looked at every 10 ms) or
// `timeoutMs` passes; true when it held.
bool RunUntil(TunnelManager& manager, const std::function<bool()>& done, DWORD timeoutMs = 6000);

// Whether `sid` is the user this process runs as.
bool IsOwnUser(PSID sid);

// A manager writing its config files under `configRoot` (in folders owned by
// SYSTEM, Administrators or this process's user), aimed at `pipeName` served
// by anyone, or at the production pipe and server check when `pipeName` is
// empty.
TunnelManager::Settings StandInSettings(const std::string& pipeName, const std::wstring& configRoot);

}  // namespace halyx::testing
