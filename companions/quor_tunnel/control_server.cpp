#include "control_server.h"

#include <sddl.h>

#include <array>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "tunnel/frame.h"

namespace halyx::standin {
namespace {

using nlohmann::json;

std::string OutboundFrame() {
  const std::string payload = json{{"result", 0}, {"type", "SetOutboundMode"}}.dump();
  const auto frame = BuildFrame(payload);
  return std::string(frame.begin(), frame.end());
}

bool ConfigReadable(const std::string& path) {
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char byte = 0;
  DWORD read = 0;
  return ::ReadFile(file.get(), &byte, 1, &read, nullptr) != FALSE;
}

}  // namespace

bool ControlServer::Create() {
  // SYSTEM and Administrators only: the client runs elevated, and nothing
  // less privileged may command the tunnel.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    spdlog::error("QuorTunnel: security descriptor failed ({:#x})", LastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  pipe_.reset(::CreateNamedPipeA(
      options_.pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 65536, 0, &attributes));
  ::LocalFree(descriptor);
  if (!pipe_) {
    spdlog::error("QuorTunnel: CreateNamedPipe {} failed ({:#x})", options_.pipeName, LastError());
    return false;
  }
  ioEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  writeEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!ioEvent_ || !writeEvent_) {
    spdlog::error("QuorTunnel: CreateEvent failed ({:#x})", LastError());
    return false;
  }
  spdlog::info("QuorTunnel: serving {}", options_.pipeName);
  return true;
}

ControlServer::Wait ControlServer::WaitFor(OVERLAPPED& overlapped, HANDLE stop, DWORD timeoutMs) {
  const HANDLE handles[] = {stop, overlapped.hEvent};
  switch (::WaitForMultipleObjects(2, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
      return Wait::kStop;
    case WAIT_OBJECT_0 + 1:
      return Wait::kReady;
    case WAIT_TIMEOUT:
      return Wait::kTimeout;
    default:
      return Wait::kFailed;
  }
}

void ControlServer::Run(HANDLE stop) {
  while (::WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent_.get();
    ::ResetEvent(ioEvent_.get());
    bool connected = ::ConnectNamedPipe(pipe_.get(), &overlapped) != FALSE;
    if (!connected) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        if (WaitFor(overlapped, stop, INFINITE) != Wait::kReady) {
          ::CancelIoEx(pipe_.get(), &overlapped);
          DWORD bytes = 0;
          ::GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE);
          break;
        }
        DWORD bytes = 0;
        connected = ::GetOverlappedResult(pipe_.get(), &overlapped, &bytes, FALSE) != FALSE;
      } else if (error != ERROR_NO_DATA) {
        spdlog::error("QuorTunnel: ConnectNamedPipe failed ({:#x})", Win32Code(error));
        ::Sleep(100);
      }
    }
    if (connected) {
      spdlog::info("QuorTunnel: client connected");
      requests_ = 0;
      Serve(stop);
      spdlog::info("QuorTunnel: client gone");
    }
    ::DisconnectNamedPipe(pipe_.get());
  }
}

void ControlServer::Serve(HANDLE stop) {
  std::array<char, 4096> buffer{};
  std::vector<uint8_t> received;
  OVERLAPPED overlapped{};
  bool reading = false;
  for (;;) {
    if (!reading) {
      overlapped = OVERLAPPED{};
      overlapped.hEvent = ioEvent_.get();
      ::ResetEvent(ioEvent_.get());
      if (!::ReadFile(pipe_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped) &&
          ::GetLastError() != ERROR_IO_PENDING) {
        return;
      }
      reading = true;
    }
    const Wait wait = WaitFor(overlapped, stop, options_.pushEveryMs ? options_.pushEveryMs : INFINITE);
    if (wait == Wait::kTimeout) {
      if (!WriteAll(OutboundFrame())) break;
      continue;
    }
    if (wait != Wait::kReady) break;
    reading = false;
    DWORD bytes = 0;
    if (!::GetOverlappedResult(pipe_.get(), &overlapped, &bytes, FALSE)) return;
    received.insert(received.end(), buffer.begin(), buffer.begin() + bytes);
    uint32_t length = 0;
    std::string payload;
    while (PeekFrameLength(received, length)) {
      if (length > kMaxRequest) {
        spdlog::error("QuorTunnel: request of {} bytes refused, dropping the client", length);
        return;
      }
      if (!TakeFrame(received, payload)) break;
      if (!Handle(payload)) return;
    }
  }
  if (reading) {
    ::CancelIoEx(pipe_.get(), &overlapped);
    DWORD bytes = 0;
    ::GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE);
  }
}

bool ControlServer::Handle(const std::string& payload) {
  ++requests_;
  json request;
  try {
    request = json::parse(payload);
  } catch (const json::exception& e) {
    spdlog::error("QuorTunnel: request is not JSON ({})", e.what());
    return true;
  }
  bool answered = false;
  json answer = Answer(request, answered);
  if (answered) {
    if (options_.padding) answer["padding"] = std::string(options_.padding, 'p');
    if (options_.delayMs) ::Sleep(options_.delayMs);
    if (!SendAnswer(answer.dump())) return false;
  }
  if (options_.dropAfter && requests_ >= options_.dropAfter) {
    spdlog::warn("QuorTunnel: dropping the client after {} requests", requests_);
    return false;
  }
  return true;
}

json ControlServer::Answer(const json& request, bool& answered) {
  answered = false;
  const auto typeIt = request.is_object() ? request.find("type") : request.end();
  if (typeIt == request.end() || !typeIt->is_string()) {
    spdlog::error("QuorTunnel: request without a type");
    return {};
  }
  const std::string type = typeIt->get<std::string>();
  auto path = [&]() {
    const auto it = request.find("path");
    return it != request.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  answered = true;
  if (type == "StartTunnel") {
    if (options_.startDelayMs) ::Sleep(options_.startDelayMs);
    if (options_.failStart) {
      spdlog::warn("QuorTunnel: StartTunnel refused with result {}", options_.failStart);
      return {{"result", options_.failStart}, {"type", type}};
    }
    running_ = true;
    spdlog::info("QuorTunnel: tunnel started with {}", config_);
    return {{"result", 0}, {"type", type}};
  }
  if (type == "StopTunnel") {
    running_ = false;
    spdlog::info("QuorTunnel: tunnel stopped");
    return {{"result", 0}, {"type", type}};
  }
  if (type == "QueryTunnel") {
    return {{"result", 0},
            {"status", {{"config", config_}, {"outbound", options_.outbound}, {"running", running_}}},
            {"type", type}};
  }
  if (type == "SetConfig") {
    const std::string file = path();
    if (!ConfigReadable(file)) {
      spdlog::error("QuorTunnel: config {} cannot be read ({:#x})", file, LastError());
      return {{"result", kConfigUnreadable}, {"type", type}};
    }
    config_ = file;
    spdlog::info("QuorTunnel: config set to {}", config_);
    return {{"result", 0}, {"type", type}};
  }
  answered = false;
  if (type == "LoadConfig") {
    const std::string file = path();
    if (ConfigReadable(file)) {
      config_ = file;
      spdlog::info("QuorTunnel: config loaded from {}", config_);
    } else {
      spdlog::error("QuorTunnel: config {} cannot be read ({:#x})", file, LastError());
    }
  } else if (type == "StartTracing" || type == "StopTracing") {
    spdlog::info("QuorTunnel: {} taken ({})", type, request.dump());
  } else {
    spdlog::error("QuorTunnel: unknown request {}", type);
  }
  return {};
}

bool ControlServer::SendAnswer(const std::string& payload) {
  if (options_.malformed) {
    const auto frame = BuildFrame("this is not json");
    return WriteAll(std::string(frame.begin(), frame.end()));
  }
  if (options_.oversized) {
    return WriteAll(std::string("\xff\xff\xff\xff{\"type\":", 12));
  }
  const auto built = BuildFrame(payload);
  std::string frame(built.begin(), built.end());
  if (options_.merge) frame += OutboundFrame();
  if (options_.split) {
    const std::size_t half = frame.size() / 2;
    if (!WriteAll(frame.substr(0, half))) return false;
    ::Sleep(50);
    return WriteAll(frame.substr(half));
  }
  return WriteAll(frame);
}

bool ControlServer::WriteAll(const std::string& bytes) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = writeEvent_.get();
  ::ResetEvent(writeEvent_.get());
  DWORD written = 0;
  if (!::WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  return ::GetOverlappedResult(pipe_.get(), &overlapped, &written, TRUE) && written == bytes.size();
}

}  // namespace halyx::standin
