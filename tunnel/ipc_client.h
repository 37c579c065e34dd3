// The GUI's side of the service-control conversation.
//
// IpcClient opens the pipe, frames each request and hands it to the
// overlapped transport, reassembles incoming frames, parses them and hands
// the converted responses to its delegate. It also decides which pipe errors
// mean that the service is gone. It never waits: the owner puts ReadEvent()
// and WriteEvent() into its message loop's wait list when OnConnected() runs,
// takes them out again in OnDisconnected() (the handles are still valid
// there; the transport is closed right after the callback returns), and calls
// OnReadEvent() / OnWriteEvent() when one is signalled.
//
//   IpcClient client(kServiceControlPipe);   // only the "QuorTunnel" service may serve it
//   client.SetDelegate(&manager);
//   client.Connect();                        // OnConnected() or OnConnectFailed(error)
//   client.SendQueryTunnel();                // later OnQueryTunnel(response)
//
// Reading: while connected one read is always in flight; complete frames are
// handled as they arrive, and an incoming payload longer than
// kMaxIncomingPayload is a protocol error that drops the connection. A peer
// cannot hold the owner's thread: one OnReadEvent() works for at most
// kTurnBudget, then signals ReadEvent() itself and carries on when the loop
// calls again, after the loop's other work. A payload nested deeper than
// kMaxNesting is dropped before parsing, and per-frame log lines come through
// a LogBurst, so a peer repeating a bad frame writes one line and a count.
// Writing: one write is in flight at most; requests offered meanwhile wait in
// a queue of kMaxQueuedRequests frames and go out in order as writes finish.
// Past that bound a request fails (logged) instead of piling up. When the
// connection goes, the write in flight and every queued request are reported
// to the delegate as dropped, so none of them vanishes unheard.
//
// Trust: the client runs elevated, and any local process could create the
// pipe name while the service is stopped. A connection is kept only when the
// ServerCheck accepts the process serving the pipe; the default accepts only
// the running "QuorTunnel" service. A refused server is logged, the pipe is
// closed at once and the delegate sees OnConnectFailed(ERROR_ACCESS_DENIED).
//
// Thread: GUI thread only. Created once by its owner, neither copied nor
// moved; the delegate is not owned and must outlive the client or be unset.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/async_named_pipe.h"
#include "tunnel/log_burst.h"
#include "tunnel/messages.h"

namespace halyx {

// The service-control pipe of the tunnel service.
constexpr const char* kServiceControlPipe = R"(\\.\pipe\QuorVPN\ServiceControl)";

// Receives everything the client learns. The client never deletes it.
class IpcClientDelegate {
 public:
  // The pipe and both events are open (and the server was accepted).
  virtual void OnConnected() = 0;
  // Opening failed with the Win32 `error`; ERROR_FILE_NOT_FOUND means no
  // server has created the pipe, ERROR_ACCESS_DENIED that the server was
  // refused.
  virtual void OnConnectFailed(DWORD error) = 0;
  // The connection is lost; the transport's events are still valid during
  // the call and are closed right after it.
  virtual void OnDisconnected() = 0;
  virtual void OnStartTunnel(const RespStartTunnel& response) = 0;
  virtual void OnStopTunnel(const RespStopTunnel& response) = 0;
  virtual void OnQueryTunnel(const RespQueryTunnel& response) = 0;
  virtual void OnSetConfig(const RespSetConfig& response) = 0;
  virtual void OnSetOutboundMode(const RespSetOutboundMode& response) = 0;
  // A request of `type` that was accepted (its Send* returned true) but not
  // yet written whole is lost with the connection; called once per request,
  // in the order they were offered, after OnDisconnected(). The default
  // ignores it.
  virtual void OnRequestDropped(const char* type) { static_cast<void>(type); }

 protected:
  ~IpcClientDelegate() = default;
};

class IpcClient {
 public:
  // Decides whether the process serving a freshly opened pipe may be talked
  // to. Gets the pipe handle; returns false (after its own log line) to
  // refuse it.
  using ServerCheck = std::function<bool(HANDLE pipe)>;

  // Frames waiting behind the write in flight.
  static constexpr std::size_t kMaxQueuedRequests = 64;
  // Incoming payloads above this are a protocol error: the largest response
  // the service sends is a few hundred bytes.
  static constexpr uint32_t kMaxIncomingPayload = 1u << 20;
  // Deepest nesting of arrays and objects accepted in a payload; responses
  // nest two deep.
  static constexpr int kMaxNesting = 16;
  // Time one OnReadEvent() may spend before leaving the rest to the next turn.
  static constexpr std::chrono::milliseconds kTurnBudget{50};

  // Accepts only a pipe served by the running service `serviceName`
  // (GetNamedPipeServerProcessId against QueryServiceStatusEx).
  static ServerCheck RequireService(const std::string& serviceName);
  // Accepts any server; for tests against scripted pipe servers.
  static ServerCheck AnyServer();

  // Production client: the server must be the "QuorTunnel" service.
  explicit IpcClient(std::string pipeName);
  IpcClient(std::string pipeName, ServerCheck check);
  IpcClient(const IpcClient&) = delete;
  IpcClient& operator=(const IpcClient&) = delete;
  ~IpcClient();

  void SetDelegate(IpcClientDelegate* delegate) { delegate_ = delegate; }

  // Opens the pipe and reports through OnConnected() or OnConnectFailed().
  // A connection still open is closed first (without OnDisconnected()).
  void Connect();
  bool IsConnected() const { return pipe_->IsOpen(); }
  // Ends the connection as a lost one: OnDisconnected(), then the transport
  // is closed and what was still to be written is reported dropped. Nothing
  // happens while disconnected.
  void Disconnect();

  // Each returns true when the frame was written, is being written or waits
  // in the queue; false when the send failed (logged; a connection-losing
  // error has already run OnDisconnected()).
  bool SendStartTunnel();
  bool SendStopTunnel();
  bool SendQueryTunnel();
  bool SendLoadConfig(const std::string& path);
  bool SendSetConfig(const std::string& path, const std::string& adToken, int32_t adType, const std::string& adInfo);
  bool SendStartTracing(const std::string& host, uint16_t port);
  bool SendStopTracing();

  // Called by the owner's loop when ReadEvent() / WriteEvent() is signalled.
  void OnReadEvent();
  void OnWriteEvent();

  // The transport's auto-reset completion events; null while disconnected.
  HANDLE ReadEvent() const { return pipe_->ReadEvent(); }
  HANDLE WriteEvent() const { return pipe_->WriteEvent(); }

 private:
  bool SendRequest(const ToJson& request, const char* name, bool debugLevel);
  bool Send(const std::string& text, const char* type);
  // Closes the transport and reports what was still to be written.
  void CloseAndDrop();
  void WriteNext();
  // Begins reading unless a read is in flight or a turn is already reading.
  void ArmRead();
  // Handles the complete frames held and reads on while reads complete at
  // once, until `end`; then leaves the rest to the next turn.
  void Pump(std::chrono::steady_clock::time_point end);
  // Takes and handles the frame at the front of rxBuffer_; false when none is
  // complete (or the connection was dropped for it).
  bool HandleNextFrame();
  void HandleMessage(const std::string& text);
  template <typename Response>
  void Deliver(const json& value, const char* structure, void (IpcClientDelegate::*slot)(const Response&));
  void OnError(DWORD error);

  IpcClientDelegate* delegate_ = nullptr;
  std::string pipeName_;
  ServerCheck check_;
  std::unique_ptr<AsyncNamedPipe> pipe_;
  std::vector<uint8_t> rxBuffer_;
  LogBurst log_{"IpcClient"};
  bool pumping_ = false;
  // A turn ran out of time with work left; ReadEvent() was signalled for it.
  bool resume_ = false;
  struct QueuedRequest {
    const char* type;
    std::vector<uint8_t> frame;
  };
  std::deque<QueuedRequest> writeQueue_;
  // Type of the request whose write is in flight; null when none is.
  const char* writing_ = nullptr;
};

}  // namespace halyx
