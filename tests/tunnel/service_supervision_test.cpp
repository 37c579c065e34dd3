// Service supervision against stand-in services registered under the real
// names in this build's own Wine prefix ("DnsCache" included, which Wine
// lacks). These tests hold a CTest resource lock: they share the names.
#include "tunnel/service_supervision.h"

#include <gtest/gtest.h>

#include "stand_ins.h"
#include "support/log_capture.h"
#include "support/test_pipe_server.h"
#include "tunnel/ipc_client.h"
#include "tunnel/service_handle.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using ::halyx::testing::PumpUntil;
using ::halyx::testing::RecordingDelegate;
using ::halyx::testing::RegisteredService;
using ::halyx::testing::UniquePipeName;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

DWORD ServiceProcess(const char* name) {
  ServiceHandle service;
  return service.Open(name, SERVICE_QUERY_STATUS) ? service.ProcessId() : 0;
}

// The DNS client is enabled when disabled and started when stopped.
TEST(CheckDnsCacheService, RunningServiceIsLeftAlone) {
  RegisteredService dns(L"DnsCache", L"--no-pipe");
  ASSERT_TRUE(dns.installed());
  ASSERT_TRUE(dns.Start());
  LogCapture log;
  EXPECT_TRUE(CheckDnsCacheService());
  EXPECT_TRUE(log.Has(spdlog::level::info, "TunnelManager: DnsCache is running"));
  EXPECT_EQ(log.Records().size(), 1u);
}

TEST(CheckDnsCacheService, StoppedServiceIsEnabledOnlyWhenDisabledThenStarted) {
  for (const bool disabled : {true, false}) {
    SCOPED_TRACE(disabled);
    RegisteredService dns(L"DnsCache", disabled ? L"--no-pipe --start-type disabled" : L"--no-pipe");
    ASSERT_TRUE(dns.installed());
    LogCapture log;
    EXPECT_TRUE(CheckDnsCacheService());
    EXPECT_EQ(log.Has(spdlog::level::warn, "TunnelManager: DnsCache is disabled, try to enable it..."), disabled);
    EXPECT_EQ(log.Has(spdlog::level::info, "TunnelManager: enable DnsCache ok"), disabled);
    EXPECT_TRUE(log.Has(spdlog::level::info, "TunnelManager: start DnsCache ok"));
    EXPECT_EQ(dns.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(dns.StartType(), static_cast<DWORD>(disabled ? SERVICE_AUTO_START : SERVICE_DEMAND_START));
  }
}

TEST(CheckDnsCacheService, MissingServiceFails) {
  LogCapture log;
  EXPECT_FALSE(CheckDnsCacheService());
  EXPECT_TRUE(log.Has(spdlog::level::err, "ServiceHandle: OpenService failed (0x424)"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: cannot open service DnsCache"));
}

// The tunnel service is brought up when its pipe is missing; what cannot be
// done is logged, never waited on without bound.
TEST(EnsureTunnelService, StoppedServiceIsStartedAndItsPipeAccepted) {
  const std::string pipe = UniquePipeName();
  RegisteredService tunnel(L"QuorTunnel", L"--pipe " + Widen(pipe));
  ASSERT_TRUE(tunnel.installed());
  std::vector<std::string> notices;
  EXPECT_TRUE(EnsureTunnelService([&](std::string_view type, int r) { notices.push_back(std::string(type) + std::to_string(r)); }));
  EXPECT_EQ(tunnel.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(notices.empty());

  // The production identity check accepts the pipe of the running service.
  RecordingDelegate delegate;
  IpcClient client(pipe);
  client.SetDelegate(&delegate);
  ASSERT_TRUE(PumpUntil(client, [&] {
    if (!client.IsConnected()) client.Connect();
    return client.IsConnected();
  }));
  client.SendQueryTunnel();
  ASSERT_TRUE(PumpUntil(client, [&] { return delegate.events.size() >= 2 && delegate.events.back() != "connected"; }));
  EXPECT_EQ(json::parse(delegate.events.back())["type"], "QueryTunnel");
}

TEST(EnsureTunnelService, RunningServiceWithoutPipeIsRestarted) {
  RegisteredService tunnel(L"QuorTunnel", L"--no-pipe");
  ASSERT_TRUE(tunnel.installed());
  ASSERT_TRUE(tunnel.Start());
  const DWORD before = ServiceProcess(kTunnelServiceName);
  EXPECT_TRUE(EnsureTunnelService(nullptr));
  EXPECT_EQ(tunnel.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(ServiceProcess(kTunnelServiceName), before);
}

TEST(EnsureTunnelService, DisabledServiceIsNotStartedNorReenabled) {
  RegisteredService tunnel(L"QuorTunnel", L"--no-pipe --start-type disabled");
  ASSERT_TRUE(tunnel.installed());
  LogCapture log;
  EXPECT_FALSE(EnsureTunnelService(nullptr));
  EXPECT_TRUE(log.Has(spdlog::level::err, "ServiceHandle: StartService failed (0x422)"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: the service cannot be started"));
  EXPECT_EQ(tunnel.StartType(), static_cast<DWORD>(SERVICE_DISABLED));
}

TEST(EnsureTunnelService, MissingServiceRaisesTheNotConnectedNotice) {
  LogCapture log;
  std::vector<std::string> notices;
  EXPECT_FALSE(EnsureTunnelService([&](std::string_view type, int r) { notices.push_back(std::string(type) + " " + std::to_string(r)); }));
  EXPECT_EQ(notices, std::vector<std::string>{"QueryTunnel 102"});
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: cannot open service: QuorTunnel"));
}

TEST(EnsureTunnelService, ServiceStuckStoppingGivesUpAfterTheBound) {
  RegisteredService tunnel(L"QuorTunnel", L"--no-pipe --stuck-stop");
  ASSERT_TRUE(tunnel.installed());
  ASSERT_TRUE(tunnel.Start());
  LogCapture log;
  EXPECT_FALSE(EnsureTunnelService(nullptr));
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: the service is running and cannot be stopped"));
  EXPECT_EQ(tunnel.State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
}

TEST(EnsureTunnelService, ServiceStuckStartingGivesUpAfterTheBound) {
  RegisteredService tunnel(L"QuorTunnel", L"--stuck-start");
  ASSERT_TRUE(tunnel.installed());
  {
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(::OpenServiceW(manager.get(), L"QuorTunnel", SERVICE_START));
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr));
  }
  LogCapture log;
  EXPECT_FALSE(EnsureTunnelService(nullptr));
  EXPECT_TRUE(log.Has(spdlog::level::err, "ServiceHandle: StartService failed (0x420)"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: the service cannot be started"));
}

// Only the running tunnel service may serve the pipe.
TEST(IpcClientServerCheck, SquattingServerIsRefused) {
  for (const bool installed : {true, false}) {
    SCOPED_TRACE(installed);
    std::unique_ptr<RegisteredService> tunnel;
    if (installed) {
      tunnel = std::make_unique<RegisteredService>(L"QuorTunnel", L"--no-pipe");
      ASSERT_TRUE(tunnel->Start());
    }
    ::halyx::testing::TestPipeServer squatter;
    LogCapture log;
    RecordingDelegate delegate;
    IpcClient client(squatter.name());
    client.SetDelegate(&delegate);
    client.Connect();
    EXPECT_EQ(delegate.events, std::vector<std::string>{"connect-failed 5"});
    EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(log.Has(spdlog::level::err, fmt::format("IpcClient: pipe server process {} is not the service "
                                                        "QuorTunnel, connection refused",
                                                        ::GetCurrentProcessId())));
    // Refused at once: the squatter sees its client gone.
    EXPECT_FALSE(squatter.Write("x"));
  }
}

}  // namespace
}  // namespace halyx
