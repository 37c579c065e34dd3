// The tunnel manager end to end against the stand-in service registered as
// "QuorTunnel" (and a stand-in "DnsCache") in this build's own Wine prefix,
// with the production pipe name and server check, driven by Run(). These
// tests hold a CTest resource lock: they share the service names.
#include "tunnel/tunnel_manager.h"

#include <gtest/gtest.h>

#include "base/all_users_directory.h"
#include "base/protected_folder.h"
#include "base/utf8.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/tunnel_stand_ins.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

// Each of `lines` was logged, in this order.
void ExpectInOrder(const LogCapture& log, const std::vector<std::string>& lines) {
  const auto records = log.Records();
  auto at = records.begin();
  for (const auto& line : lines) {
    at = std::find_if(at, records.end(), [&](const LogCapture::Record& r) { return r.text == line; });
    ASSERT_NE(at, records.end()) << "missing or out of order: " << line;
  }
}

// A missing pipe brings the stopped service up, and the next tick connects;
// Start turns the proxy off and checks the DNS client before it sends, and
// the response moves the state.
TEST(TunnelManagerService, StoppedServiceIsStartedThenTheTunnelStartsAndStops) {
  RegisteredService tunnel(L"QuorTunnel", L"");
  ASSERT_TRUE(tunnel.installed());
  RegisteredService dns(L"DnsCache", L"--no-pipe");
  ASSERT_TRUE(dns.installed());
  ScopedTempDir root;
  LogCapture log;
  TunnelManager manager(StandInSettings("", root.path()));
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  ExpectInOrder(
      log, {"TunnelManager: Service not running", "TunnelManager: service started", "TunnelManager: IPC connected"});
  ASSERT_TRUE(RunUntil(manager, [&] { return !recorder.events.empty(); }));
  EXPECT_EQ(json::parse(recorder.events[0])["type"], "QueryTunnel");
  EXPECT_FALSE(manager.running());

  manager.Start();
  ExpectInOrder(log, {"TunnelManager::Start()", "TunnelManager: start DnsCache ok",
                      "IpcClient: sending StartTunnel request (22 bytes)"});
  EXPECT_FALSE(log.Has(spdlog::level::warn, "TunnelManager: turn off system http proxy failed"));
  EXPECT_EQ(dns.State(), static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.Has(R"({"result":0,"type":"StartTunnel"})"); }));
  EXPECT_TRUE(manager.running());
  manager.Start();
  EXPECT_TRUE(recorder.Has(R"({"type":"StartTunnel","result":101})"));
  manager.Stop();
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.Has(R"({"result":0,"type":"StopTunnel"})"); }));
  EXPECT_FALSE(manager.running());
}

// A failing proxy tool and a missing DNS client are logged in that order,
// and the tunnel is started all the same.
TEST(TunnelManagerService, ProxyToolAndDnsClientFailuresDoNotStopTheStart) {
  RegisteredService tunnel(L"QuorTunnel", L"");
  ASSERT_TRUE(tunnel.installed());
  ASSERT_TRUE(tunnel.Start());
  ScopedEnvironment env({{L"QUOR_FAKE_EXIT", L"3"}, {L"QUOR_FAKE_STDERR", L"denied"}});
  ScopedTempDir root;
  TunnelManager::Settings settings = StandInSettings("", root.path());
  settings.proxyToolPath = CompanionPath(L"fake_tool.exe");
  TunnelManager manager(std::move(settings));
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  LogCapture log;
  manager.Start();
  ExpectInOrder(log,
                {"TunnelManager::Start()", "TunnelManager: sysproxy failed (3): denied",
                 "TunnelManager: turn off system http proxy failed", "TunnelManager: cannot open service DnsCache",
                 "TunnelManager: check service DnsCache failed", "IpcClient: sending StartTunnel request (22 bytes)"});
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.Has(R"({"result":0,"type":"StartTunnel"})"); }));
  EXPECT_TRUE(manager.running());
}

// The stand-in's start faults: the answer to StartTunnel comes after its
// start delay, carries the refusing code, and leaves the tunnel down, on the
// client's side and in the service's own answers to the polls that follow.
TEST(TunnelManagerService, RefusedStartArrivesLateWithItsCodeAndLeavesTheTunnelDown) {
  RegisteredService tunnel(L"QuorTunnel", L"--fail-start 5 --start-delay 400");
  ASSERT_TRUE(tunnel.installed());
  ASSERT_TRUE(tunnel.Start());
  ScopedTempDir root;
  TunnelManager manager(StandInSettings("", root.path()));
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  const ULONGLONG sent = ::GetTickCount64();
  manager.Start();
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.Has(R"({"result":5,"type":"StartTunnel"})"); }));
  EXPECT_GE(::GetTickCount64() - sent, 400u);
  EXPECT_FALSE(manager.running());
  recorder.events.clear();
  ASSERT_TRUE(RunUntil(manager, [&] {
    for (const auto& event : recorder.events) {
      if (event.find("QueryTunnel") != std::string::npos) return true;
    }
    return false;
  }));
  for (const auto& event : recorder.events) {
    if (event.find("QueryTunnel") == std::string::npos) continue;
    EXPECT_FALSE(json::parse(event)["status"]["running"].get<bool>());
  }
  EXPECT_FALSE(manager.running());
}

// A tunnel service that is not installed reaches the page as the notice
// {"type":"QueryTunnel","result":102}, once a tick.
TEST(TunnelManagerService, MissingServiceRaisesTheQueryTunnelNotice) {
  ScopedTempDir root;
  TunnelManager manager(StandInSettings("", root.path()));
  EventRecorder recorder(manager);
  LogCapture log;
  ASSERT_TRUE(RunUntil(
      manager, [&] { return recorder.events.size() >= 2; }, 4000));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{R"({"type":"QueryTunnel","result":102})",
                                                       R"({"type":"QueryTunnel","result":102})"}));
  ExpectInOrder(log, {"TunnelManager: Service not running", "TunnelManager: cannot open service: QuorTunnel"});
  EXPECT_FALSE(manager.connected());
}

// The program's own manager writes config files under the all-users folder
// (which Wine resolves only through the helper's fallback), in this user's
// own folder below "conf", into folders the service or an earlier run may
// have created. (Wine keeps no owners and reports them as the user's, which
// the production check accepts there alone: docs/wine.md.)
TEST(TunnelManagerService, InstanceWritesConfigUnderTheAllUsersFolder) {
  RegisteredService tunnel(L"QuorTunnel", L"");
  ASSERT_TRUE(tunnel.installed());
  ASSERT_TRUE(tunnel.Start());
  std::string allUsers;
  ASSERT_TRUE(GetAllUsersDirectory(allUsers));
  const std::string conf = allUsers + "\\QuorVPN\\conf";
  const std::string folder = conf + "\\" + WideToUtf8(CurrentUserSid());
  const std::string path = folder + "\\home.conf";
  const bool hadConf = FileExists(Widen(conf));
  const bool hadFolder = FileExists(Widen(folder));

  TunnelManager& manager = TunnelManager::Instance();
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  manager.LoadConfig("home", "x");
  EXPECT_EQ(manager.ConfigPath(), path);
  EXPECT_EQ(ReadWholeFile(Widen(path)), "x\r\n");
  EXPECT_TRUE(RunUntil(manager, [&] { return recorder.ReportedConfig(path); }))
      << ::testing::PrintToString(recorder.events);
  ::DeleteFileA(path.c_str());
  if (!hadFolder) ::RemoveDirectoryA(folder.c_str());
  if (!hadConf) ::RemoveDirectoryA(conf.c_str());
}

}  // namespace
}  // namespace halyx
