#include "stand_ins.h"

#include <atomic>

namespace halyx::testing {

std::wstring CompanionPath(const std::wstring& relative) {
  wchar_t path[MAX_PATH + 1] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + relative;
}

namespace {

ProcessHandle Launch(const std::wstring& commandLine) {
  std::wstring line = commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // No inherited handles: a child holding the test's output open would keep
  // CTest waiting.
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
    return ProcessHandle();
  }
  ::CloseHandle(info.hThread);
  return ProcessHandle(info.hProcess);
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

int RunAndWait(const std::wstring& commandLine) {
  ProcessHandle process = Launch(commandLine);
  if (!process || ::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  return ::GetExitCodeProcess(process.get(), &code) ? static_cast<int>(code) : -1;
}

std::string UniquePipeName() {
  static std::atomic<unsigned> counter{0};
  return R"(\\.\pipe\QuorVPN\stand-in-)" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(counter++);
}

StandInConsole::StandInConsole(const std::wstring& options) : pipeName_(UniquePipeName()) {
  process_ = Launch(L"\"" + CompanionPath(L"quortunnel.exe") + L"\" console --pipe \"" + Widen(pipeName_) +
                    L"\" " + options);
  if (!process_) return;
  processId_ = ::GetProcessId(process_.get());
  for (int i = 0; i < 200 && !ready_; ++i) {
    if (::WaitNamedPipeA(pipeName_.c_str(), 1) || ::GetLastError() == ERROR_SEM_TIMEOUT) {
      ready_ = true;
    } else if (::WaitForSingleObject(process_.get(), 50) == WAIT_OBJECT_0) {
      break;
    }
  }
}

StandInConsole::~StandInConsole() {
  if (process_) {
    ::TerminateProcess(process_.get(), 0);
    ::WaitForSingleObject(process_.get(), 5000);
  }
}

RegisteredService::RegisteredService(const std::wstring& name, const std::wstring& options) : name_(name) {
  installed_ = RunAndWait(L"\"" + CompanionPath(L"quortunnel.exe") + L"\" install --name " + name + L" " +
                          options) == 0;
}

RegisteredService::~RegisteredService() {
  if (installed_) RunAndWait(L"\"" + CompanionPath(L"quortunnel.exe") + L"\" uninstall --name " + name_);
}

DWORD RegisteredService::State() const {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager ? ::OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status{};
  return service && ::QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

DWORD RegisteredService::StartType() const {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager ? ::OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_CONFIG) : nullptr);
  std::vector<QUERY_SERVICE_CONFIGW*> buffer(1024);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  return service && ::QueryServiceConfigW(service.get(), config, 1024 * sizeof(buffer[0]), &needed)
             ? config->dwStartType
             : 0;
}

bool RegisteredService::Start() const {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager ? ::OpenServiceW(manager.get(), name_.c_str(), SERVICE_START) : nullptr);
  if (!service || !::StartServiceW(service.get(), 0, nullptr)) return false;
  for (int i = 0; i < 100; ++i) {
    if (State() == SERVICE_RUNNING) return true;
    ::Sleep(100);
  }
  return false;
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
    const DWORD wait = ::WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)));
    if (wait == WAIT_OBJECT_0) client.OnReadEvent();
    if (wait == WAIT_OBJECT_0 + 1) client.OnWriteEvent();
  }
  return true;
}

void PumpFor(IpcClient& client, DWORD ms) {
  PumpUntil(client, [] { return false; }, ms);
}

}  // namespace halyx::testing
