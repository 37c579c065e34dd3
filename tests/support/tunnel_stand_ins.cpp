#include "support/tunnel_stand_ins.h"

#include "base/module_path.h"
#include "base/process_launch.h"

#include <algorithm>
#include <atomic>

#include "tunnel/frame.h"

namespace halyx::testing {

std::wstring CompanionPath(const std::wstring& relative) { return BesideExecutable(relative); }

std::string Frame(const std::string& payload) {
  const auto frame = BuildFrame(payload);
  return std::string(frame.begin(), frame.end());
}

std::string UniquePipeName() {
  static std::atomic<unsigned> counter{0};
  return R"(\\.\pipe\QuorVPN\stand-in-)" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

ScopedEnvironment::ScopedEnvironment(std::vector<std::pair<const wchar_t*, std::wstring>> values)
    : values_(std::move(values)) {
  for (const auto& [name, value] : values_) ::SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& value : values_) ::SetEnvironmentVariableW(value.first, nullptr);
}

namespace {

int RunStandIn(const std::wstring& arguments) {
  std::wstring line = L"\"" + CompanionPath(L"quortunnel.exe") + L"\" " + arguments;
  ProcessHandle process = StartProcess(line);
  if (!process) return -1;
  DWORD code = 0;
  return ::WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0 && ::GetExitCodeProcess(process.get(), &code)
             ? static_cast<int>(code)
             : -1;
}

ScHandle OpenNamedService(const std::wstring& name, DWORD access) {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  return ScHandle(manager ? ::OpenServiceW(manager.get(), name.c_str(), access) : nullptr);
}

}  // namespace

RegisteredService::RegisteredService(const std::wstring& name, const std::wstring& options)
    : name_(name), installed_(RunStandIn(L"install --name " + name + L" " + options) == 0) {}

RegisteredService::~RegisteredService() {
  if (installed_) RunStandIn(L"uninstall --name " + name_);
}

DWORD RegisteredService::State() const {
  ScHandle service = OpenNamedService(name_, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  return service && ::QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

DWORD RegisteredService::StartType() const {
  ScHandle service = OpenNamedService(name_, SERVICE_QUERY_CONFIG);
  std::vector<QUERY_SERVICE_CONFIGW> buffer(64);
  DWORD needed = 0;
  return service && ::QueryServiceConfigW(service.get(), buffer.data(), 64 * sizeof(buffer[0]), &needed)
             ? buffer[0].dwStartType
             : 0;
}

bool RegisteredService::Start(bool waitRunning) const {
  ScHandle service = OpenNamedService(name_, SERVICE_START);
  if (!service || !::StartServiceW(service.get(), 0, nullptr)) return false;
  for (int i = 0; waitRunning && i < 100; ++i) {
    if (State() == SERVICE_RUNNING) return true;
    ::Sleep(100);
  }
  return !waitRunning;
}

void RecordingDelegate::OnDisconnected() {
  events.push_back("disconnected");
  if (client) eventsValidOnDisconnect = client->ReadEvent() != nullptr && client->WriteEvent() != nullptr;
}

void RecordingDelegate::Add(const ToJson& response) {
  json value;
  response.Write(value);
  events.push_back(value.dump());
}

bool PumpUntil(IpcClient& client, const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    if (!client.IsConnected()) {
      ::Sleep(10);
      continue;
    }
    const HANDLE handles[] = {client.ReadEvent(), client.WriteEvent()};
    const DWORD wait =
        ::WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)));
    if (wait == WAIT_OBJECT_0) client.OnReadEvent();
    if (wait == WAIT_OBJECT_0 + 1) client.OnWriteEvent();
  }
  return true;
}

void PumpFor(IpcClient& client, DWORD ms) {
  PumpUntil(
      client, [] { return false; }, ms);
}

EventRecorder::EventRecorder(TunnelManager& manager) : manager_(manager) {
  manager_.OnTunnelEvent += DuiLib::MakeDelegate(this, &EventRecorder::OnTunnelEvent);
}

EventRecorder::~EventRecorder() { manager_.OnTunnelEvent -= DuiLib::MakeDelegate(this, &EventRecorder::OnTunnelEvent); }

bool EventRecorder::OnTunnelEvent(void* text) {
  events.emplace_back(static_cast<const char*>(text));
  return true;
}

bool EventRecorder::Has(const std::string& text) const {
  return std::find(events.begin(), events.end(), text) != events.end();
}

bool EventRecorder::ReportedConfig(const std::string& path) const {
  return std::any_of(events.begin(), events.end(), [&](const std::string& text) {
    const json value = json::parse(text);
    return value["type"] == "QueryTunnel" && value.contains("status") && value["status"]["config"] == path;
  });
}

namespace {

thread_local std::function<bool()> g_look;  // true: leave the loop

void CALLBACK LookProc(HWND, UINT, UINT_PTR, DWORD) {
  if (g_look && g_look()) {
    g_look = nullptr;
    ::PostQuitMessage(0);
  }
}

}  // namespace

bool RunUntil(TunnelManager& manager, const std::function<bool()>& done, DWORD timeoutMs) {
  if (done()) return true;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  bool held = false;
  g_look = [&] { return (held = done()) || ::GetTickCount64() >= deadline; };
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, LookProc);
  manager.Run();
  ::KillTimer(nullptr, timer);
  g_look = nullptr;
  return held;
}

bool IsOwnUser(PSID sid) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  EventHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  return size != 0 && ::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) &&
         ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, sid);
}

TunnelManager::Settings StandInSettings(const std::string& pipeName, const std::wstring& configRoot) {
  TunnelManager::Settings settings;
  if (!pipeName.empty()) {
    settings.pipeName = pipeName;
    settings.serverCheck = IpcClient::AnyServer();
  }
  settings.configRoot = [root = Narrow(configRoot)](std::string& folder) {
    folder = root;
    return true;
  };
  // Wine keeps no owners: every file reads as its user's.
  settings.trustedFolderOwner = [](PSID owner) { return IsSystemOrAdministrators(owner) || IsOwnUser(owner); };
  return settings;
}

}  // namespace halyx::testing
