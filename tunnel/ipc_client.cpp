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

// Whether `text` nests arrays and objects at most `limit` deep, found without
// parsing: a megabyte of "[" would otherwise become a million nested values
// (tens of MiB) before the parser could refuse it.
bool NestingWithin(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
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
  if (pipe_->IsOpen()) CloseAndDrop();
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
  ArmRead();
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
  // Requests come at least once a second while connected (the poll), which
  // is often enough to close the bursts of a peer that went quiet.
  log_.Flush();
  std::string text;
  if (!SerializeMessage(request, text)) return false;
  spdlog::log(debugLevel ? spdlog::level::debug : spdlog::level::info, "IpcClient: sending {} request ({} bytes)", name,
              text.size());
  return Send(text, name);
}

bool IpcClient::Send(const std::string& text, const char* type) {
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
    writeQueue_.push_back({type, std::move(frame)});
    return true;
  }
  switch (pipe_->Write(frame.data(), frame.size())) {
    case IoOutcome::kFailed:
      OnError(::GetLastError());
      return false;
    case IoOutcome::kDone:
      // Re-arms reading after a read failed without losing the connection.
      ArmRead();
      return true;
    case IoOutcome::kInFlight:
      writing_ = type;
      return true;
  }
  return true;
}

void IpcClient::WriteNext() {
  while (pipe_->IsOpen() && !pipe_->WritePending() && !writeQueue_.empty()) {
    QueuedRequest next = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    switch (pipe_->Write(next.frame.data(), next.frame.size())) {
      case IoOutcome::kFailed:
        OnError(::GetLastError());
        // Its Send* returned true long ago; the caller hears of it here.
        if (delegate_) delegate_->OnRequestDropped(next.type);
        break;
      case IoOutcome::kDone:
        break;
      case IoOutcome::kInFlight:
        writing_ = next.type;
        return;
    }
  }
}

void IpcClient::OnWriteEvent() {
  if (!pipe_->WritePending()) return;
  if (!pipe_->WriteCompleted()) {
    OnError(::GetLastError());
    // Still marked when the connection survived (a partial write): the
    // request is lost all the same.
    if (const char* lost = std::exchange(writing_, nullptr); lost && delegate_) delegate_->OnRequestDropped(lost);
  } else {
    writing_ = nullptr;
    ArmRead();
  }
  WriteNext();
}

void IpcClient::ArmRead() {
  // Inside a turn (a delegate sending from a callback) the turn itself reads
  // on; a nested one would get a fresh budget of its own.
  if (pumping_ || resume_ || !pipe_->IsOpen() || pipe_->ReadPending()) return;
  Pump(std::chrono::steady_clock::now() + kTurnBudget);
}

void IpcClient::OnReadEvent() {
  const auto end = std::chrono::steady_clock::now() + kTurnBudget;
  if (pipe_->ReadPending()) {
    std::vector<uint8_t> data;
    if (!pipe_->ReadCompleted(data)) {
      OnError(::GetLastError());
      return;
    }
    rxBuffer_.insert(rxBuffer_.end(), data.begin(), data.end());
  } else if (!resume_) {
    return;
  }
  resume_ = false;
  Pump(end);
}

void IpcClient::Pump(std::chrono::steady_clock::time_point end) {
  pumping_ = true;
  // The flag is cleared however the turn ends, delegate exceptions included.
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{pumping_};
  while (pipe_->IsOpen()) {
    if (std::chrono::steady_clock::now() >= end) {
      // The rest waits for the next turn of the owner's loop, which serves
      // its window messages first.
      resume_ = true;
      ::SetEvent(pipe_->ReadEvent());
      return;
    }
    if (HandleNextFrame()) continue;
    if (!pipe_->IsOpen()) return;
    // Nothing complete is held, so reading cannot pile up more than one
    // read beyond the frame being assembled.
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
        rxBuffer_.insert(rxBuffer_.end(), data.begin(), data.end());
        break;
    }
  }
}

bool IpcClient::HandleNextFrame() {
  uint32_t length = 0;
  if (!PeekFrameLength(rxBuffer_, length)) return false;
  if (length > kMaxIncomingPayload) {
    spdlog::error("IpcClient: incoming frame of {} bytes exceeds {}, dropping the connection", length,
                  kMaxIncomingPayload);
    Disconnect();
    return false;
  }
  std::string payload;
  if (!TakeFrame(rxBuffer_, payload)) return false;
  HandleMessage(payload);
  return true;
}

template <typename Response>
void IpcClient::Deliver(const json& value, const char* structure, void (IpcClientDelegate::*slot)(const Response&)) {
  Response response;
  if (!response.Read(value)) {
    log_.Log(spdlog::level::err, structure, fmt::format("IpcClient: convert {} from json failed", structure));
    return;
  }
  if (delegate_) (delegate_->*slot)(response);
}

void IpcClient::HandleMessage(const std::string& text) {
  if (!NestingWithin(text, kMaxNesting)) {
    log_.Log(
        spdlog::level::err, "nesting",
        fmt::format("IpcClient: response nested deeper than {} levels dropped ({} bytes)", kMaxNesting, text.size()));
    return;
  }
  json value;
  try {
    value = json::parse(text);
  } catch (const json::exception& e) {
    log_.Log(spdlog::level::err, "parse", fmt::format("IpcClient: parse response failed: ({})", e.what()));
    return;
  }
  const auto type = value.is_object() ? value.find("type") : value.end();
  if (!value.is_object() || type == value.end() || !type->is_string()) {
    log_.Log(spdlog::level::err, "untyped",
             fmt::format("IpcClient: response without a string type dropped ({} bytes)", text.size()));
    return;
  }
  const std::string& name = type->get_ref<const std::string&>();
  const auto got = [this](spdlog::level::level_enum level, const char* response) {
    log_.Log(level, response, fmt::format("IpcClient: got {} response", response));
  };
  if (name == RespStartTunnel::kType) {
    got(spdlog::level::info, RespStartTunnel::kType);
    Deliver<RespStartTunnel>(value, "RespStartTunnel", &IpcClientDelegate::OnStartTunnel);
  } else if (name == RespStopTunnel::kType) {
    got(spdlog::level::info, RespStopTunnel::kType);
    Deliver<RespStopTunnel>(value, "RespStopTunnel", &IpcClientDelegate::OnStopTunnel);
  } else if (name == RespQueryTunnel::kType) {
    got(spdlog::level::debug, RespQueryTunnel::kType);
    Deliver<RespQueryTunnel>(value, "RespQueryTunnel", &IpcClientDelegate::OnQueryTunnel);
  } else if (name == RespSetConfig::kType) {
    got(spdlog::level::info, RespSetConfig::kType);
    Deliver<RespSetConfig>(value, "RespSetConfig", &IpcClientDelegate::OnSetConfig);
  } else if (name == RespSetOutboundMode::kType) {
    got(spdlog::level::info, RespSetOutboundMode::kType);
    Deliver<RespSetOutboundMode>(value, "RespSetOutboundMode", &IpcClientDelegate::OnSetOutboundMode);
  } else {
    log_.Log(spdlog::level::err, "invalid type", fmt::format("IpcClient: invalid type ({})", name));
  }
}

void IpcClient::OnError(DWORD error) {
  if (!IsConnectionLost(error)) {
    log_.Log(spdlog::level::debug, "error",
             fmt::format("IpcClient: encountered error ({:#x}) but not disconnect", Win32Code(error)));
    return;
  }
  Disconnect();
}

void IpcClient::Disconnect() {
  if (!pipe_->IsOpen()) return;
  // The delegate still reads the events here, to take them out of its wait
  // list, so the transport is closed only afterwards.
  if (delegate_) delegate_->OnDisconnected();
  CloseAndDrop();
}

void IpcClient::CloseAndDrop() {
  pipe_->Close();
  resume_ = false;
  log_.Flush(true);
  // A frame cut off by the loss must not be read as the start of the next
  // connection's first frame.
  rxBuffer_.clear();
  rxBuffer_.shrink_to_fit();
  // Taken out first: the delegate may send again from inside the report (it
  // fails, the pipe is closed), and must not find these still queued.
  std::vector<const char*> dropped;
  if (writing_) dropped.push_back(writing_);
  writing_ = nullptr;
  for (const QueuedRequest& request : writeQueue_) dropped.push_back(request.type);
  writeQueue_.clear();
  if (!delegate_) return;
  for (const char* type : dropped) delegate_->OnRequestDropped(type);
}

}  // namespace halyx
