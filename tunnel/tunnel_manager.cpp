#include "tunnel/tunnel_manager.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "base/guard.h"
#include "base/error_code.h"
#include "platform/duilib/paint_manager_ui.h"
#include "base/all_users_directory.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "tunnel/frame.h"
#include "tunnel/proxy_tool.h"
#include "tunnel/service_supervision.h"

namespace halyx {
namespace {

constexpr const char* kProductFolder = "QuorVPN";
constexpr const char* kConfigFolder = "conf";
constexpr const char* kConfigExtension = ".conf";

// Thread timers carry no context, so TimerProc finds its manager by the id
// SetTimer handed out.
std::mutex& TimersLock() {
  static std::mutex lock;
  return lock;
}

std::map<UINT_PTR, TunnelManager*>& Timers() {
  static std::map<UINT_PTR, TunnelManager*> timers;
  return timers;
}

// Names that Win32 maps to a device whatever folder they stand in, with any
// extension ("nul.conf" is the null device): writing one would write to the
// device, not to a file the service can load.
bool IsDeviceName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  // Trailing spaces before the extension are dropped by the same rule.
  base.erase(base.find_last_not_of(' ') + 1);
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (base == device) return true;
  }
  // COM1 to COM9 and LPT1 to LPT9, and the superscript digits 1 to 3 that
  // Windows also accepts there (as they read in the ANSI code page).
  if (base.size() != 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) return false;
  const unsigned char digit = static_cast<unsigned char>(base[3]);
  return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// A name the page hands over must stay a file inside the config folder: the
// client runs elevated, and "..\..\Windows\x" or "C:\x" would otherwise
// write wherever the page liked. Names Win32 would silently change (a
// trailing dot or space is stripped) or cannot hold are refused as well, so
// the path sent to the service is the file that was written.
bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/:*?\"<>|") != std::string::npos) return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
}

// The text as the service reads it: every line ends in CR LF, and a CR LF
// that is already there stays one (not CR CR LF).
std::string WithCrLf(const std::string& conf) {
  std::string text;
  text.reserve(conf.size() + conf.size() / 16 + 2);
  for (std::size_t i = 0; i < conf.size(); ++i) {
    if (conf[i] == '\n' && (i == 0 || conf[i - 1] != '\r')) text += '\r';
    text += conf[i];
  }
  text += "\r\n";
  return text;
}

// `folder` + "\" + `name`, refused when the result would not fit the narrow
// file functions' MAX_PATH.
bool AppendPath(std::string& folder, const std::string& name) {
  char buffer[MAX_PATH] = {};
  if (folder.size() >= MAX_PATH || name.size() >= MAX_PATH) return false;
  std::memcpy(buffer, folder.data(), folder.size());
  if (!::PathAppendA(buffer, name.c_str())) return false;
  folder = buffer;
  return true;
}

// The narrow (ANSI code page) paths the service is sent, for the wide file
// functions.
std::wstring Wide(const std::string& path) {
  std::wstring wide;
  AppendDecoded(CP_ACP, 0, path, wide);
  return wide;
}

}  // namespace

TunnelManager::Settings::Settings()
    : pipeName(kServiceControlPipe),
      serverCheck(IpcClient::RequireService(kTunnelServiceName)),
      configRoot(GetAllUsersDirectory),
      proxyToolPath(ProxyToolPath()),
      trustedFolderOwner(IsTrustedOwner) {}

TunnelManager& TunnelManager::Instance() {
  static TunnelManager manager{Settings()};
  return manager;
}

TunnelManager::TunnelManager(Settings settings) : settings_(std::move(settings)) {
  ipc_ = std::make_unique<IpcClient>(settings_.pipeName, settings_.serverCheck);
  ipc_->SetDelegate(this);
  timerId_ = ::SetTimer(nullptr, 0, kPollIntervalMs, &TunnelManager::TimerProc);
  if (timerId_ == 0) {
    spdlog::error("TunnelManager: SetTimer failed ({:#x})", LastError());
    return;
  }
  std::lock_guard<std::mutex> hold(TimersLock());
  Timers()[timerId_] = this;
}

TunnelManager::~TunnelManager() {
  if (timerId_ != 0) {
    ::KillTimer(nullptr, timerId_);
    std::lock_guard<std::mutex> hold(TimersLock());
    Timers().erase(timerId_);
  }
  // Closing the client cancels the pipe's I/O; nothing is sent, so a tunnel
  // that no one stopped stays up after the GUI has gone.
  ipc_.reset();
}

void CALLBACK TunnelManager::TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  TunnelManager* manager = nullptr;
  {
    std::lock_guard<std::mutex> hold(TimersLock());
    const auto it = Timers().find(id);
    if (it == Timers().end()) return;
    manager = it->second;
  }
  // Called from DispatchMessageW: nothing may unwind through user32.
  Guarded("TunnelManager: timer tick", [&] { manager->OnTimer(); });
}

void TunnelManager::OnTimer() {
  if (!connected_) {
    ipc_->Connect();
    return;
  }
  // One poll at a time: a service that stops reading would otherwise fill
  // the client's write queue in a minute, and every page request after it
  // would be refused.
  const ULONGLONG now = ::GetTickCount64();
  if (pollOutstanding_) {
    if (now - pollSentAt_ < settings_.answerTimeoutMs) return;
    spdlog::error("TunnelManager: service has not answered for {} ms, dropping the connection",
                  settings_.answerTimeoutMs);
    // The next tick connects again, and a missing pipe brings the service
    // supervision in.
    ipc_->Disconnect();
    return;
  }
  SendPoll(now);
}

void TunnelManager::QueryNow() {
  if (!connected_) {
    ipc_->Connect();
    return;
  }
  if (!pollOutstanding_) SendPoll(::GetTickCount64());
}

void TunnelManager::SendPoll(ULONGLONG now) {
  // Marked before sending: the send reads on, and a quick service's answer
  // is taken (and the mark cleared) before it returns.
  pollOutstanding_ = true;
  pollSentAt_ = now;
  if (!ipc_->SendQueryTunnel()) pollOutstanding_ = false;
}

int TunnelManager::Run() {
  for (;;) {
    if (queryRequested_) {
      queryRequested_ = false;
      Guarded("TunnelManager: query", [&] { QueryNow(); });
    }
    const DWORD count = static_cast<DWORD>(waitHandles_.size());
    const DWORD wait =
        ::MsgWaitForMultipleObjectsEx(count, waitHandles_.data(), INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (wait < WAIT_OBJECT_0 + count) {
      ServeHandle(waitHandles_[wait - WAIT_OBJECT_0]);
    } else if (wait == WAIT_FAILED) {
      spdlog::error("TunnelManager: MsgWaitForMultipleObjectsEx failed ({:#x})", LastError());
      continue;
    } else if (wait != WAIT_OBJECT_0 + count) {
      continue;  // WAIT_ABANDONED_0 + i and WAIT_IO_COMPLETION: nothing of ours.
    }
    // Also after a pipe event: the wait names a signalled handle before
    // waiting input, so a pipe that stays busy (the client signals its own
    // event to go on with a long backlog) would otherwise starve the windows.
    int code = 0;
    if (DispatchMessages(code)) return code;
  }
}

bool TunnelManager::DispatchMessages(int& quitCode) {
  MSG msg{};
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quitCode = static_cast<int>(msg.wParam);
      return true;
    }
    if (::CallMsgFilterW(&msg, kMessageFilterCode)) continue;
    if (DuiLib::CPaintManagerUI::TranslateMessage(&msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return false;
}

void TunnelManager::ServeHandle(HANDLE signalled) {
  try {
    if (signalled == ipc_->ReadEvent()) {
      ipc_->OnReadEvent();
    } else if (signalled == ipc_->WriteEvent()) {
      ipc_->OnWriteEvent();
    }
  } catch (const std::exception& e) {
    // A subscriber's fault must not end the loop, and with it the GUI.
    spdlog::error("TunnelManager: pipe event failed: {}", e.what());
  }
}

void TunnelManager::OnConnected() {
  spdlog::info("TunnelManager: IPC connected");
  connected_ = true;
  pollOutstanding_ = false;
  // Replaced, not appended: handles of an earlier connection are closed and
  // must never reach the wait.
  waitHandles_ = {ipc_->ReadEvent(), ipc_->WriteEvent()};
  // The page shows nothing of the tunnel until the first answer; asking now
  // rather than at the next tick shows its state a poll interval sooner.
  SendPoll(::GetTickCount64());
}

void TunnelManager::OnConnectFailed(DWORD error) {
  if (error != ERROR_FILE_NOT_FOUND) {
    spdlog::error("TunnelManager: IPC connection failed ({:#x})", Win32Code(error));
    return;
  }
  spdlog::warn("TunnelManager: Service not running");
  if (EnsureTunnelService([this](std::string_view type, int code) { RaiseNotice(type, code); })) {
    spdlog::info("TunnelManager: service started");
  }
}

void TunnelManager::OnDisconnected() {
  spdlog::warn("TunnelManager: IPC connection lost");
  connected_ = false;
  pollOutstanding_ = false;
  for (const HANDLE event : {ipc_->ReadEvent(), ipc_->WriteEvent()}) {
    waitHandles_.erase(std::remove(waitHandles_.begin(), waitHandles_.end(), event), waitHandles_.end());
  }
}

void TunnelManager::OnStartTunnel(const RespStartTunnel& response) {
  if (response.result == result::kSuccess) running_ = true;
  RaiseResponse(response);
}

void TunnelManager::OnStopTunnel(const RespStopTunnel& response) {
  if (response.result == result::kSuccess) running_ = false;
  RaiseResponse(response);
}

void TunnelManager::OnQueryTunnel(const RespQueryTunnel& response) {
  pollOutstanding_ = false;
  if (response.result == result::kSuccess) running_ = response.status.running;
  RaiseResponse(response);
}

void TunnelManager::OnSetConfig(const RespSetConfig& response) { RaiseResponse(response); }

void TunnelManager::OnSetOutboundMode(const RespSetOutboundMode& response) { RaiseResponse(response); }

void TunnelManager::OnRequestDropped(const char* type) {
  // The poll is the manager's own; the page never asked for it.
  if (std::string_view(type) == ReqQueryTunnel::kType) return;
  // Accepted earlier without a notice, so without this the page would hear
  // neither a response nor a refusal.
  Refuse(spdlog::level::warn, fmt::format("TunnelManager: {} request lost with the connection", type), type,
         result::kNotConnected);
}

void TunnelManager::Start() {
  spdlog::info("TunnelManager::Start()");
  const char* type = ReqStartTunnel::kType;
  // Running first: a tunnel reported up stays up for the page until the
  // service says otherwise, connected or not.
  if (running_) {
    Refuse(spdlog::level::warn, "TunnelManager: Tunnel already running", type, result::kInvalidState);
    return;
  }
  if (!CheckConnected(type)) return;
  // Neither is a reason not to start: the tunnel may work without them.
  if (!RunProxyTool(settings_.proxyToolPath)) spdlog::warn("TunnelManager: turn off system http proxy failed");
  if (!CheckDnsCacheService()) spdlog::warn("TunnelManager: check service {} failed", kDnsCacheServiceName);
  CheckSent(ipc_->SendStartTunnel(), type);
}

void TunnelManager::Stop() {
  spdlog::info("TunnelManager::Stop()");
  const char* type = ReqStopTunnel::kType;
  if (!CheckConnected(type) || !CheckRunning(type)) return;
  CheckSent(ipc_->SendStopTunnel(), type);
}

void TunnelManager::LoadConfig(const std::string& name, const std::string& conf) {
  const char* type = ReqLoadConfig::kType;
  if (!PrepareConfig(type, name, conf)) return;
  CheckSent(ipc_->SendLoadConfig(configPath_), type);
}

void TunnelManager::SetConfig(const std::string& name, const std::string& conf, const std::string& adToken,
                              int32_t adType, const std::string& adInfo) {
  const char* type = ReqSetConfig::kType;
  if (!PrepareConfig(type, name, conf)) return;
  CheckSent(ipc_->SendSetConfig(configPath_, adToken, adType, adInfo), type);
}

void TunnelManager::StartTracing(const std::string& host, uint16_t port) {
  const char* type = ReqStartTracing::kType;
  if (!CheckConnected(type) || !CheckRunning(type)) return;
  CheckSent(ipc_->SendStartTracing(host, port), type);
}

void TunnelManager::StopTracing() {
  const char* type = ReqStopTracing::kType;
  if (!CheckConnected(type) || !CheckRunning(type)) return;
  CheckSent(ipc_->SendStopTracing(), type);
}

bool TunnelManager::CheckConnected(std::string_view type) {
  if (connected_) return true;
  Refuse(spdlog::level::warn, "TunnelManager: Service not connected", type, result::kNotConnected);
  return false;
}

bool TunnelManager::CheckRunning(std::string_view type) {
  if (running_) return true;
  Refuse(spdlog::level::warn, "TunnelManager: Tunnel not running", type, result::kInvalidState);
  return false;
}

void TunnelManager::CheckSent(bool sent, std::string_view type) {
  if (sent) return;
  Refuse(spdlog::level::warn, fmt::format("TunnelManager: request {} failed", type), type, result::kWriteFailed);
}

bool TunnelManager::PrepareConfig(std::string_view type, const std::string& name, const std::string& conf) {
  if (!CheckConnected(type)) return false;
  if (!IsPlainFileName(name)) {
    Refuse(spdlog::level::err, fmt::format("TunnelManager: {} failed: invalid name", type), type,
           result::kEmptyConfigName);
    return false;
  }
  if (conf.empty()) {
    Refuse(spdlog::level::err, fmt::format("TunnelManager: {} failed: invalid conf", type), type, result::kEmptyConfig);
    return false;
  }
  std::string path;
  // A file that was not written is not offered to the service: it would
  // load an old or empty config and answer success.
  if (!WriteConfigFile(name, conf, path)) {
    RaiseNotice(type, result::kConfigDirectory);
    return false;
  }
  configPath_ = std::move(path);
  return true;
}

bool TunnelManager::WriteConfigFile(const std::string& name, const std::string& conf, std::string& path) {
  if (!settings_.configRoot(path)) {
    spdlog::error("TunnelManager: GetAllUsersProfileDirectory failed ({:#x})", LastError());
    return false;
  }
  // "QuorVPN" lets Users list it (the service's log folder is inside);
  // "conf" and the user's own folder below it admit SYSTEM and
  // Administrators alone: the configs hold the user's server keys, and a
  // folder per user keeps another administrator's client from overwriting
  // them.
  const std::string sid = WideToUtf8(CurrentUserSid());
  if (sid.empty()) {
    spdlog::error("TunnelManager: cannot read the user's SID ({:#x})", LastError());
    return false;
  }
  const std::pair<std::string, FolderReaders> levels[] = {
      {kProductFolder, FolderReaders::kUsers},
      {kConfigFolder, FolderReaders::kAdministratorsOnly},
      {sid, FolderReaders::kAdministratorsOnly},
  };
  for (const auto& [folder, readers] : levels) {
    if (!AppendPath(path, folder)) {
      spdlog::error("TunnelManager: config folder under {} is too long", path);
      return false;
    }
    if (!EnsureProtectedFolder(Wide(path), "TunnelManager", readers, settings_.trustedFolderOwner)) return false;
  }
  const bool appended = AppendPath(path, name);
  // The page may choose the extension; only a bare name gets ".conf".
  if (appended && *::PathFindExtensionA(path.c_str()) == '\0') path += kConfigExtension;
  if (!appended || path.size() >= MAX_PATH) {
    spdlog::error("TunnelManager: config file name {} is too long", name);
    return false;
  }

  if (!WriteProtectedFile(Wide(path), WithCrLf(conf), "TunnelManager")) return false;
  // Closed again before the request goes out, so the service never finds it held.
  return true;
}

void TunnelManager::Refuse(spdlog::level::level_enum level, std::string_view line, std::string_view type, int code) {
  spdlog::log(level, "{}", line);
  RaiseNotice(type, code);
}

void TunnelManager::RaiseNotice(std::string_view type, int code) {
  if (!OnTunnelEvent) return;
  std::string text = fmt::format("{{\"type\":\"{}\",\"result\":{}}}", type, code);
  Raise(text);
}

void TunnelManager::RaiseResponse(const ToJson& response) {
  if (!OnTunnelEvent) return;
  std::string text;
  if (!SerializeMessage(response, text)) return;
  Raise(text);
}

void TunnelManager::Raise(std::string& text) { OnTunnelEvent(text.data()); }

}  // namespace halyx
