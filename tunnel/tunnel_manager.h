// The process-wide owner of everything that concerns the tunnel service, and
// the GUI thread's message loop.
//
// TunnelManager keeps the IPC client connected (one attempt a second while
// the pipe is closed, a QueryTunnel poll a second while it is open, never a
// second poll while one is unanswered, and a service silent for
// answerTimeoutMs is dropped and reconnected), brings
// the "QuorTunnel" service up when its pipe is missing, carries out the six
// operations the page may call, writes the service's config files under
// "<all users>\QuorVPN\conf\<user's SID>" (SYSTEM and Administrators
// only), and reports every outcome as one JSON text on
// OnTunnelEvent:
//
//   TunnelManager& tunnel = TunnelManager::Instance();   // on the GUI thread
//   tunnel.OnTunnelEvent += DuiLib::MakeDelegate(&page, &Page::OnTunnelEvent);
//   tunnel.Start();          // later {"result":0,"type":"StartTunnel"}
//   return tunnel.Run();     // until WM_QUIT
//
// Events: the parameter is a NUL-terminated narrow JSON text (char*) that
// lives only for the duration of the call. A failure the manager finds itself
// is a notice {"type":"<operation>","result":<code>} with a code of
// halyx::result; a service response is written out again as JSON. Nothing is
// formatted or serialised while no one subscribes. Subscribers may call the
// manager's operations from inside the event.
//
// The loop: Run() waits with MsgWaitForMultipleObjectsEx on the pipe's read
// and write events (while connected) and on the thread's message queue, so
// pipe completions, window messages and the one-second timer are all served
// on the GUI thread. WM_QUIT ends it.
//
// Thread: GUI thread. The one-second thread timer belongs to the thread that
// constructs the manager (the first caller of Instance()), and Run() must run
// on that thread. Only Instance()'s first construction is safe from other
// threads. The program uses Instance() alone; tests build their own managers
// with Settings that point at stand-ins.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/common.h>

#include "platform/duilib/event_source.h"
#include "tunnel/ipc_client.h"
#include "tunnel/messages.h"
#include "base/protected_folder.h"

namespace halyx {

class TunnelManager : public IpcClientDelegate {
 public:
  // What the program talks to; the defaults are the production ones.
  struct Settings {
    Settings();

    std::string pipeName;                // the service-control pipe
    IpcClient::ServerCheck serverCheck;  // who may serve it: the running "QuorTunnel" service
    // The folder holding "QuorVPN\conf\<SID>"; false with the reason in the last
    // error. Default: GetAllUsersDirectory.
    std::function<bool(std::string& folder)> configRoot;
    std::wstring proxyToolPath;  // "<exe folder>\bin\sysproxy.exe"
    // Who may own an existing "QuorVPN", "conf" or per-user folder that
    // config files are written into. Default: IsTrustedOwner.
    TrustedOwner trustedFolderOwner;
    // A connected service that has not answered a poll for this long is
    // taken as lost.
    DWORD answerTimeoutMs = 10000;
  };

  static constexpr UINT kPollIntervalMs = 1000;
  // The code CallMsgFilterW gets for every message the loop takes.
  static constexpr int kMessageFilterCode = 0x5300;

  // The one manager of the process, created on first use.
  static TunnelManager& Instance();

  explicit TunnelManager(Settings settings);
  ~TunnelManager();
  TunnelManager(const TunnelManager&) = delete;
  TunnelManager& operator=(const TunnelManager&) = delete;

  // The GUI thread's message loop; returns the wParam of the WM_QUIT that
  // ends it.
  int Run();

  // Asks for the tunnel's state now rather than at the next tick, for a
  // page that has just subscribed: connects when disconnected (the
  // connection sends the first query), or sends a query when none is
  // outstanding; an outstanding one's answer serves the page as well. The
  // once-a-second poll goes on as before.
  void QueryNow();
  // QueryNow from the loop, before it next waits: for callers inside a
  // notification or before Run, where a connection attempt (which may start
  // the service and wait for it) must not hold up what they are doing.
  void RequestQuery() { queryRequested_ = true; }

  // The page's operations. Each reports its outcome by event: a notice when
  // a check fails or the request cannot be written, otherwise the service's
  // response (StartTunnel, StopTunnel, SetConfig) or nothing at all.
  void Start();
  void Stop();
  // Writes `conf` to "<name>.conf" ("<name>" when it has an extension) and
  // asks the service to load it. `name` is a plain file name.
  void LoadConfig(const std::string& name, const std::string& conf);
  void SetConfig(const std::string& name, const std::string& conf, const std::string& adToken, int32_t adType,
                 const std::string& adInfo);
  void StartTracing(const std::string& host, uint16_t port);
  void StopTracing();

  // Full path of the config file written last; empty until one was written.
  const std::string& ConfigPath() const { return configPath_; }

  bool connected() const { return connected_; }
  bool running() const { return running_; }
  // What Run() waits on besides the queue: read event, write event.
  const std::vector<HANDLE>& waitHandles() const { return waitHandles_; }

  DuiLib::CEventSource OnTunnelEvent;

  // IpcClientDelegate.
  void OnConnected() override;
  void OnConnectFailed(DWORD error) override;
  void OnDisconnected() override;
  void OnStartTunnel(const RespStartTunnel& response) override;
  void OnStopTunnel(const RespStopTunnel& response) override;
  void OnQueryTunnel(const RespQueryTunnel& response) override;
  void OnSetConfig(const RespSetConfig& response) override;
  void OnSetOutboundMode(const RespSetOutboundMode& response) override;
  void OnRequestDropped(const char* type) override;

 private:
  static void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);
  void OnTimer();
  // Sends QueryTunnel and notes it as the one outstanding poll.
  void SendPoll(ULONGLONG now);
  void ServeHandle(HANDLE signalled);
  // Takes every waiting message; true, with WM_QUIT's wParam, when it ends
  // the loop.
  bool DispatchMessages(int& quitCode);

  // The checks every operation shares: false after the notice (102, 101,
  // 10001) was raised.
  bool CheckConnected(std::string_view type);
  bool CheckRunning(std::string_view type);
  void CheckSent(bool sent, std::string_view type);
  // Logs `line` at `level` and raises the notice.
  void Refuse(spdlog::level::level_enum level, std::string_view line, std::string_view type, int code);
  void RaiseNotice(std::string_view type, int code);
  void RaiseResponse(const ToJson& response);
  void Raise(std::string& text);

  // The checks and the file shared by LoadConfig and SetConfig; false after
  // the notice was raised.
  bool PrepareConfig(std::string_view type, const std::string& name, const std::string& conf);
  // Writes the file; false after one error line.
  bool WriteConfigFile(const std::string& name, const std::string& conf, std::string& path);

  Settings settings_;
  bool connected_ = false;
  bool running_ = false;
  std::string configPath_;
  UINT_PTR timerId_ = 0;
  std::unique_ptr<IpcClient> ipc_;
  std::vector<HANDLE> waitHandles_;
  // A poll was sent and its QueryTunnel answer has not come; when it went.
  bool pollOutstanding_ = false;
  bool queryRequested_ = false;  // RequestQuery was called; Run acts on it before it next waits
  ULONGLONG pollSentAt_ = 0;
};

}  // namespace halyx
