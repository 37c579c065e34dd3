#include "tunnel/service_handle.h"

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

ServiceHandle::~ServiceHandle() {
  manager_.reset();
  service_.reset();
}

bool ServiceHandle::Open(const std::string& name, DWORD access) {
  manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager_) {
    spdlog::error("ServiceHandle: OpenSCManager failed ({:#x})", LastError());
    return false;
  }
  service_.reset(::OpenServiceA(manager_.get(), name.c_str(), access));
  if (!service_) {
    spdlog::error("ServiceHandle: OpenService failed ({:#x})", LastError());
    return false;
  }
  return true;
}

bool ServiceHandle::QueryState(DWORD& state) {
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(service_.get(), &status)) {
    spdlog::error("ServiceHandle: QueryServiceStatus failed ({:#x})", LastError());
    return false;
  }
  state = status.dwCurrentState;
  return true;
}

DWORD ServiceHandle::WaitState() {
  DWORD state = 0;
  for (int reads = 1;; ++reads) {
    if (!QueryState(state)) return 0;
    if ((state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) || reads >= kMaxStateReads) return state;
    ::Sleep(kPollIntervalMs);
  }
}

bool ServiceHandle::Start() {
  const DWORD state = WaitState();
  if (state == 0 || state == SERVICE_RUNNING) return false;
  if (!::StartServiceW(service_.get(), 0, nullptr)) {
    spdlog::error("ServiceHandle: StartService failed ({:#x})", LastError());
    return false;
  }
  return WaitState() == SERVICE_RUNNING;
}

DWORD ServiceHandle::ProcessId() {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
    spdlog::error("ServiceHandle: QueryServiceStatusEx failed ({:#x})", LastError());
    return 0;
  }
  return status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
}

}  // namespace halyx
