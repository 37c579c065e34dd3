// Helpers for the tunnel suites: the stand-in tunnel service run in a console
// or registered with the service control manager, a recording delegate, and
// a pump that drives an IpcClient the way the tunnel manager's loop does.
//
// Thread: the test's thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "tunnel/ipc_client.h"

namespace halyx::testing {

// Full path of a companion program in the test executable's folder.
std::wstring CompanionPath(const std::wstring& relative);

// Runs `commandLine` and returns its exit code (or -1).
int RunAndWait(const std::wstring& commandLine);

// The stand-in service in a console process of its own, serving a pipe name
// of its own. Killed when the object goes away.
class StandInConsole {
 public:
  explicit StandInConsole(const std::wstring& options = L"");
  ~StandInConsole();
  StandInConsole(const StandInConsole&) = delete;
  StandInConsole& operator=(const StandInConsole&) = delete;

  bool ready() const { return ready_; }
  const std::string& pipeName() const { return pipeName_; }
  DWORD processId() const { return processId_; }

 private:
  std::string pipeName_;
  ProcessHandle process_;
  DWORD processId_ = 0;
  bool ready_ = false;
};

// The stand-in service registered under `name`; removed (stopped or killed
// first) when the object goes away.
class RegisteredService {
 public:
  RegisteredService(const std::wstring& name, const std::wstring& options);
  ~RegisteredService();
  RegisteredService(const RegisteredService&) = delete;
  RegisteredService& operator=(const RegisteredService&) = delete;

  bool installed() const { return installed_; }
  DWORD State() const;
  DWORD StartType() const;
  bool Start() const;  // and wait for RUNNING

 private:
  std::wstring name_;
  bool installed_ = false;
};

// A unique pipe name for a test.
std::string UniquePipeName();

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

  // Every callback in order: "connected", "connect-failed <n>",
  // "disconnected", or the response written out as JSON.
  std::vector<std::string> events;
  // Set before use to check the events are still readable in OnDisconnected.
  IpcClient* client = nullptr;
  bool eventsValidOnDisconnect = false;

 private:
  void Add(const ToJson& response);
};

// Serves the client's events until `done` holds or `timeoutMs` passes.
bool PumpUntil(IpcClient& client, const std::function<bool()>& done, DWORD timeoutMs = 5000);
// Serves the client's events for `ms`.
void PumpFor(IpcClient& client, DWORD ms);

}  // namespace halyx::testing
