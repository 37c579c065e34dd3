#include "tunnel/ipc_client.h"

#include <utility>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "tunnel/frame.h"
#include "tunnel/service_handle.h"
#include "tunnel/service_supervision.h"

namespace halyx {
namespace {

bool IsConnectionLost(DWORD error) {
  switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA:
    case ERROR_BAD_PIPE:
    case ERROR_INVALID_HANDLE:
      return true;
    default:
      return false;
  }
}

}  // namespace

IpcClient::ServerCheck IpcClient::RequireService(const std::string& serviceName) {
  return [serviceName](HANDLE pipe) {
    ULONG serverProcess = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &serverProcess)) {
      spdlog::error("IpcClient: GetNamedPipeServerProcessId failed ({:#x})", LastError());
      return false;
    }
    // Asked after the pipe is open: a squatter that created the name while
    // the service was down never matches the process the SCM started, and a
    // service that is not running has no process id at all.
    ServiceHandle service;
    const DWORD serviceProcess = service.Open(serviceName, SERVICE_QUERY_STATUS) ? service.ProcessId() : 0;
    if (serviceProcess == 0 || serviceProcess != serverProcess) {
      spdlog::error("IpcClient: pipe server process {} is not the service {}, connection refused", serverProcess,
                    serviceName);
      return false;
    }
    return true;
  };
}

IpcClient::ServerCheck IpcClient::AnyServer() {
  return [](HANDLE) { return true; };
}

IpcClient::IpcClient(std::string pipeName) : IpcClient(std::move(pipeName), RequireService(kTunnelServiceName)) {}

IpcClient::IpcClient(std::string pipeName, ServerCheck check)
    : pipeName_(std::move(pipeName)), check_(std::move(check)), pipe_(std::make_unique<AsyncNamedPipe>()) {}

IpcClient::~IpcClient() { pipe_->Close(); }

void IpcClient::Connect() {
  if (pipe_->IsOpen()) {
    pipe_->Close();
    rxBuffer_.clear();
    writeQueue_.clear();
  }
  if (!pipe_->Open(pipeName_)) {
    const DWORD error = ::GetLastError();
    spdlog::error("IpcClient: pipe connect failed ({:#x})", Win32Code(error));
    if (delegate_) delegate_->OnConnectFailed(error);
    return;
  }
  if (check_ && !check_(pipe_->handle())) {
    pipe_->Close();
    if (delegate_) delegate_->OnConnectFailed(ERROR_ACCESS_DENIED);
    return;
  }
  if (delegate_) delegate_->OnConnected();
  // A read is kept in flight for the whole connection, so frames the service
  // pushes on its own are taken as they come rather than with the next poll.
  StartRead();
}

bool IpcClient::SendStartTunnel() { return SendRequest(ReqStartTunnel(), "StartTunnel", false); }
bool IpcClient::SendStopTunnel() { return SendRequest(ReqStopTunnel(), "StopTunnel", false); }
bool IpcClient::SendQueryTunnel() { return SendRequest(ReqQueryTunnel(), "QueryTunnel", true); }
bool IpcClient::SendStopTracing() { return SendRequest(ReqStopTracing(), "StopTracing", false); }

bool IpcClient::SendLoadConfig(const std::string& path) {
  ReqLoadConfig request;
  request.path = path;
  return SendRequest(request, "LoadConfig", false);
}

bool IpcClient::SendSetConfig(const std::string& path, const std::string& adToken, int32_t adType,
                              const std::string& adInfo) {
  ReqSetConfig request;
  request.path = path;
  request.adToken = adToken;
  request.adType = adType;
  request.adInfo = adInfo;
  return SendRequest(request, "SetConfig", false);
}

bool IpcClient::SendStartTracing(const std::string& host, uint16_t port) {
  ReqStartTracing request;
  request.host = host;
  request.port = port;
  return SendRequest(request, "StartTracing", false);
}

bool IpcClient::SendRequest(const ToJson& request, const char* name, bool debugLevel) {
  std::string text;
  if (!SerializeMessage(request, text)) return false;
  spdlog::log(debugLevel ? spdlog::level::debug : spdlog::level::info, "IpcClient: sending {} request ({} bytes)", name,
              text.size());
  return Send(text);
}

bool IpcClient::Send(const std::string& text) {
  if (!pipe_->IsOpen()) {
    spdlog::warn("IpcClient: not connected, request not sent");
    return false;
  }
  std::vector<uint8_t> frame = BuildFrame(text);
  // An oversized frame goes straight to the transport, which refuses it with
  // its own line; queueing it would only delay that.
  if (frame.size() <= kMaxOutgoingFrame && (pipe_->WritePending() || !writeQueue_.empty())) {
    if (writeQueue_.size() >= kMaxQueuedRequests) {
      spdlog::error("IpcClient: {} requests already wait for the pipe, request not sent", writeQueue_.size());
      return false;
    }
    writeQueue_.push_back(std::move(frame));
    return true;
  }
  switch (pipe_->Write(frame.data(), frame.size())) {
    case IoOutcome::kFailed:
      OnError(::GetLastError());
      return false;
    case IoOutcome::kDone:
      // Re-arms reading after a read failed without losing the connection.
      StartRead();
      return true;
    case IoOutcome::kInFlight:
      return true;
  }
  return true;
}

void IpcClient::WriteNext() {
  while (pipe_->IsOpen() && !pipe_->WritePending() && !writeQueue_.empty()) {
    const std::vector<uint8_t> frame = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    switch (pipe_->Write(frame.data(), frame.size())) {
      case IoOutcome::kFailed:
        OnError(::GetLastError());
        break;
      case IoOutcome::kDone:
        break;
      case IoOutcome::kInFlight:
        return;
    }
  }
}

void IpcClient::OnWriteEvent() {
  if (!pipe_->WritePending()) return;
  if (!pipe_->WriteCompleted()) {
    OnError(::GetLastError());
  } else {
    StartRead();
  }
  WriteNext();
}

void IpcClient::StartRead() {
  while (pipe_->IsOpen()) {
    std::vector<uint8_t> data;
    switch (pipe_->Read(data)) {
      case IoOutcome::kInFlight:
        return;
      case IoOutcome::kFailed:
        // Not re-armed here: a read that keeps failing would spin. The next
        // request begins a fresh one.
        OnError(::GetLastError());
        return;
      case IoOutcome::kDone:
        OnData(data);
        break;
    }
  }
}

void IpcClient::OnReadEvent() {
  if (!pipe_->ReadPending()) return;
  std::vector<uint8_t> data;
  if (!pipe_->ReadCompleted(data)) {
    OnError(::GetLastError());
    return;
  }
  OnData(data);
  StartRead();
}

void IpcClient::OnData(const std::vector<uint8_t>& bytes) {
  rxBuffer_.insert(rxBuffer_.end(), bytes.begin(), bytes.end());
  // Every complete frame is handled now; frames left waiting for the next
  // read would pile up behind a response that spans several reads.
  uint32_t length = 0;
  while (pipe_->IsOpen() && PeekFrameLength(rxBuffer_, length)) {
    if (length > kMaxIncomingPayload) {
      spdlog::error("IpcClient: incoming frame of {} bytes exceeds {}, dropping the connection", length,
                    kMaxIncomingPayload);
      Disconnect();
      return;
    }
    std::string payload;
    if (!TakeFrame(rxBuffer_, payload)) return;
    HandleMessage(payload);
  }
}

template <typename Response>
void IpcClient::Deliver(const json& value, const char* structure, void (IpcClientDelegate::*slot)(const Response&)) {
  Response response;
  if (!response.Read(value)) {
    spdlog::error("IpcClient: convert {} from json failed", structure);
    return;
  }
  if (delegate_) (delegate_->*slot)(response);
}

void IpcClient::HandleMessage(const std::string& text) {
  json value;
  try {
    value = json::parse(text);
  } catch (const json::exception& e) {
    spdlog::error("IpcClient: parse response failed: ({})", e.what());
    return;
  }
  const auto type = value.is_object() ? value.find("type") : value.end();
  if (!value.is_object() || type == value.end() || !type->is_string()) {
    spdlog::error("IpcClient: response without a string type dropped ({} bytes)", text.size());
    return;
  }
  const std::string& name = type->get_ref<const std::string&>();
  if (name == RespStartTunnel::kType) {
    spdlog::info("IpcClient: got StartTunnel response");
    Deliver<RespStartTunnel>(value, "RespStartTunnel", &IpcClientDelegate::OnStartTunnel);
  } else if (name == RespStopTunnel::kType) {
    spdlog::info("IpcClient: got StopTunnel response");
    Deliver<RespStopTunnel>(value, "RespStopTunnel", &IpcClientDelegate::OnStopTunnel);
  } else if (name == RespQueryTunnel::kType) {
    spdlog::debug("IpcClient: got QueryTunnel response");
    Deliver<RespQueryTunnel>(value, "RespQueryTunnel", &IpcClientDelegate::OnQueryTunnel);
  } else if (name == RespSetConfig::kType) {
    spdlog::info("IpcClient: got SetConfig response");
    Deliver<RespSetConfig>(value, "RespSetConfig", &IpcClientDelegate::OnSetConfig);
  } else if (name == RespSetOutboundMode::kType) {
    spdlog::info("IpcClient: got SetOutboundMode response");
    Deliver<RespSetOutboundMode>(value, "RespSetOutboundMode", &IpcClientDelegate::OnSetOutboundMode);
  } else {
    spdlog::error("IpcClient: invalid type ({})", name);
  }
}

void IpcClient::OnError(DWORD error) {
  if (!IsConnectionLost(error)) {
    spdlog::debug("IpcClient: encountered error ({:#x}) but not disconnect", Win32Code(error));
    return;
  }
  Disconnect();
}

void IpcClient::Disconnect() {
  if (!pipe_->IsOpen()) return;
  // The delegate still reads the events here, to take them out of its wait
  // list, so the transport is closed only afterwards.
  if (delegate_) delegate_->OnDisconnected();
  pipe_->Close();
  // A frame cut off by the loss must not be read as the start of the next
  // connection's first frame.
  rxBuffer_.clear();
  rxBuffer_.shrink_to_fit();
  writeQueue_.clear();
}

}  // namespace halyx
