#include "tunnel/service_supervision.h"

#include <vector>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "tunnel/messages.h"
#include "tunnel/service_handle.h"

namespace halyx {
namespace {

// The start type of `service`; false after one error line when the
// configuration cannot be read.
bool QueryStartType(ServiceHandle& service, DWORD& startType) {
  DWORD needed = 0;
  if (!::QueryServiceConfigW(service.service(), nullptr, 0, &needed) && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    spdlog::error("ServiceHandle: QueryServiceConfig failed ({:#x})", LastError());
    return false;
  }
  // QUERY_SERVICE_CONFIGW holds pointers, so the buffer must be aligned for
  // them; a vector of them is.
  std::vector<QUERY_SERVICE_CONFIGW*> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW*) + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service.service(), config, static_cast<DWORD>(buffer.size() * sizeof(buffer[0])),
                             &needed)) {
    spdlog::error("ServiceHandle: QueryServiceConfig failed ({:#x})", LastError());
    return false;
  }
  startType = config->dwStartType;
  return true;
}

}  // namespace

bool CheckDnsCacheService() {
  const char* name = kDnsCacheServiceName;
  ServiceHandle service;
  if (!service.Open(name, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START)) {
    spdlog::error("TunnelManager: cannot open service {}", name);
    return false;
  }
  if (service.WaitState() == SERVICE_RUNNING) {
    spdlog::info("TunnelManager: {} is running", name);
    return true;
  }
  DWORD startType = 0;
  if (QueryStartType(service, startType) && startType == SERVICE_DISABLED) {
    spdlog::warn("TunnelManager: {} is disabled, try to enable it...", name);
    if (!::ChangeServiceConfigW(service.service(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
      spdlog::error("ServiceHandle: ChangeServiceConfig failed ({:#x})", LastError());
      spdlog::error("TunnelManager: enable {} failed", name);
      return false;
    }
    spdlog::info("TunnelManager: enable {} ok", name);
  }
  if (!service.Start()) {
    spdlog::error("TunnelManager: start {} failed", name);
    return false;
  }
  spdlog::info("TunnelManager: start {} ok", name);
  return true;
}

bool EnsureTunnelService(const NoticeHook& raiseNotice) {
  ServiceHandle service;
  if (!service.Open(kTunnelServiceName, SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP)) {
    spdlog::error("TunnelManager: cannot open service: {}", kTunnelServiceName);
    if (raiseNotice) raiseNotice(ReqQueryTunnel::kType, result::kNotConnected);
    return false;
  }
  if (service.WaitState() == SERVICE_RUNNING) {
    // Running but offering no pipe: only a restart brings the pipe back.
    SERVICE_STATUS status{};
    if (!::ControlService(service.service(), SERVICE_CONTROL_STOP, &status)) {
      spdlog::error("ServiceHandle: ControlService failed ({:#x})", LastError());
      spdlog::error("TunnelManager: the service is running and cannot be stopped");
      return false;
    }
    // Bounded like WaitState: a service stuck in STOP_PENDING must not hold
    // the GUI thread for ever.
    DWORD state = status.dwCurrentState;
    for (int polls = 0; polls < ServiceHandle::kMaxStateReads; ++polls) {
      ::Sleep(ServiceHandle::kPollIntervalMs);
      SERVICE_STATUS now{};
      if (!::QueryServiceStatus(service.service(), &now)) break;  // the last known state decides
      state = now.dwCurrentState;
      if (state != SERVICE_STOP_PENDING) break;
    }
    if (state != SERVICE_STOPPED) {
      spdlog::error("TunnelManager: the service is running and cannot be stopped");
      return false;
    }
  }
  if (service.Start()) return true;
  spdlog::error("TunnelManager: the service cannot be started");
  return false;
}

}  // namespace halyx
