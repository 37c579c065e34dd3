// Service supervision against stand-in services registered under the real
// names in this build's own Wine prefix ("DnsCache" included, which Wine
// lacks). These tests hold a CTest resource lock: they share the names.
#include "tunnel/service_supervision.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/test_pipe_server.h"
#include "tunnel/ipc_client.h"
#include "tunnel/service_handle.h"
#include "support/tunnel_stand_ins.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

// The DNS client is left alone when running, enabled only when disabled, and
// started when stopped.
TEST(CheckDnsCacheService, DisabledIsEnabledAndStoppedIsStarted) {
  for (const char* state : {"running", "disabled", "stopped"}) {
    SCOPED_TRACE(state);
    const bool disabled = state == std::string("disabled");
    RegisteredService dns(L"DnsCache", disabled ? L"--no-pipe --start-type disabled" : L"--no-pipe");
    ASSERT_TRUE(dns.installed());
    if (state == std::string("running")) {
      ASSERT_TRUE(dns.Start());
    }
    LogCapture log;
    EXPECT_TRUE(CheckDnsCacheService());
    EXPECT_EQ(log.Has(spdlog::level::info, "TunnelManager: DnsCache is running"), state == std::string("running"));
    EXPECT_EQ(log.Has(spdlog::level::warn, "TunnelManager: DnsCache is disabled, try to enable it..."), disabled);
    EXPECT_EQ(log.Has(spdlog::level::info, "TunnelManager: enable DnsCache ok"), disabled);
    EXPECT_EQ(log.Has(spdlog::level::info, "TunnelManager: start DnsCache ok"), state != std::string("running"));
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

// The tunnel service is brought up when its pipe is missing, and the
// production identity check accepts the pipe of the running service.
TEST(EnsureTunnelService, StoppedServiceIsStartedAndItsPipeAccepted) {
  const std::string pipe = UniquePipeName();
  RegisteredService tunnel(L"QuorTunnel", L"--pipe " + Widen(pipe));
  ASSERT_TRUE(tunnel.installed());
  std::vector<std::string> notices;
  EXPECT_TRUE(EnsureTunnelService([&](std::string_view type, int) { notices.emplace_back(type); }));
  EXPECT_EQ(tunnel.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(notices.empty());

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
  const auto process = [] {
    ServiceHandle service;
    return service.Open(kTunnelServiceName, SERVICE_QUERY_STATUS) ? service.ProcessId() : 0;
  };
  const DWORD before = process();
  EXPECT_TRUE(EnsureTunnelService(nullptr));
  EXPECT_EQ(tunnel.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(process(), before);
}

TEST(EnsureTunnelService, MissingServiceRaisesTheNotConnectedNotice) {
  LogCapture log;
  std::vector<std::string> notices;
  EXPECT_FALSE(EnsureTunnelService(
      [&](std::string_view type, int r) { notices.push_back(std::string(type) + " " + std::to_string(r)); }));
  EXPECT_EQ(notices, std::vector<std::string>{"QueryTunnel 102"});
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: cannot open service: QuorTunnel"));
}

// What cannot be done is logged and given up, never waited on without bound;
// a disabled service is not re-enabled.
TEST(EnsureTunnelService, ServiceThatCannotBeBroughtUpIsGivenUp) {
  const struct {
    const wchar_t* options;
    int start;  // 0: leave stopped, 1: start and wait for RUNNING, 2: start only
    std::vector<std::string> lines;
    DWORD state, startType;
  } cases[] = {
      {L"--no-pipe --start-type disabled",
       0,
       {"ServiceHandle: StartService failed (0x422)", "TunnelManager: the service cannot be started"},
       SERVICE_STOPPED,
       SERVICE_DISABLED},
      {L"--no-pipe --stuck-stop",
       1,
       {"TunnelManager: the service is running and cannot be stopped"},
       SERVICE_STOP_PENDING,
       SERVICE_DEMAND_START},
      {L"--stuck-start",
       2,
       {"ServiceHandle: StartService failed (0x420)", "TunnelManager: the service cannot be started"},
       SERVICE_START_PENDING,
       SERVICE_DEMAND_START},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.options)));
    RegisteredService tunnel(L"QuorTunnel", c.options);
    ASSERT_TRUE(tunnel.installed());
    if (c.start) {
      ASSERT_TRUE(tunnel.Start(c.start == 1));
    }
    LogCapture log;
    EXPECT_FALSE(EnsureTunnelService(nullptr));
    for (const auto& line : c.lines) EXPECT_TRUE(log.Has(spdlog::level::err, line)) << line;
    EXPECT_EQ(tunnel.State(), c.state);
    EXPECT_EQ(tunnel.StartType(), c.startType);
  }
}

// Only the running tunnel service may serve the pipe; a squatter is refused
// at once.
TEST(IpcClientServerCheck, SquattingServerIsRefused) {
  for (const bool installed : {true, false}) {
    SCOPED_TRACE(installed);
    std::unique_ptr<RegisteredService> tunnel;
    if (installed) {
      tunnel = std::make_unique<RegisteredService>(L"QuorTunnel", L"--no-pipe");
      ASSERT_TRUE(tunnel->Start());
    }
    TestPipeServer squatter;
    LogCapture log;
    RecordingDelegate delegate;
    IpcClient client(squatter.name());
    client.SetDelegate(&delegate);
    client.Connect();
    EXPECT_EQ(delegate.events, std::vector<std::string>{"connect-failed 5"});
    EXPECT_TRUE(log.Has(spdlog::level::err, fmt::format("IpcClient: pipe server process {} is not the service "
                                                        "QuorTunnel, connection refused",
                                                        ::GetCurrentProcessId())));
    EXPECT_FALSE(squatter.Write("x"));
  }
}

}  // namespace
}  // namespace halyx
