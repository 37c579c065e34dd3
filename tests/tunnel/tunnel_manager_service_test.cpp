// The tunnel manager end to end against the stand-in service registered as
// "QuorTunnel" (and a stand-in "DnsCache") in this build's own Wine prefix,
// with the production pipe name and server check, driven by Run(). These
// tests hold a CTest resource lock: they share the service names.
#include "tunnel/tunnel_manager.h"

#include <gtest/gtest.h>

#include "manager_driver.h"
#include "platform/win32/all_users_directory.h"
#include "stand_ins.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::CompanionPath;
using ::halyx::testing::EventRecorder;
using ::halyx::testing::FileExists;
using ::halyx::testing::LogCapture;
using ::halyx::testing::Narrow;
using ::halyx::testing::ReadWholeFile;
using ::halyx::testing::RegisteredService;
using ::halyx::testing::RunUntil;
using ::halyx::testing::ScopedTempDir;

// Production settings, config files in a folder of the test's own.
TunnelManager::Settings ProductionSettings(const std::wstring& configRoot) {
  TunnelManager::Settings settings;
  const std::string root = Narrow(configRoot);
  settings.configRoot = [root](std::string& folder) {
    folder = root;
    return true;
  };
  return settings;
}

// Index of the first record reading `text`; the record count when none does.
std::size_t IndexOf(const LogCapture& log, const std::string& text) {
  const auto records = log.Records();
  std::size_t i = 0;
  while (i < records.size() && records[i].text != text) ++i;
  return i;
}

// Sets an environment variable for the tools this process starts.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) { ::SetEnvironmentVariableW(name, value); }
  ~ScopedEnvironment() { ::SetEnvironmentVariableW(name_, nullptr); }

 private:
  const wchar_t* name_;
};

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
  TunnelManager manager(ProductionSettings(root.path()));
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  EXPECT_LT(IndexOf(log, "TunnelManager: Service not running"), IndexOf(log, "TunnelManager: service started"));
  EXPECT_LT(IndexOf(log, "TunnelManager: service started"), IndexOf(log, "TunnelManager: IPC connected"));
  EXPECT_EQ(tunnel.State(), static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.Count("QueryTunnel") > 0; }));
  EXPECT_FALSE(manager.running());

  recorder.events.clear();
  manager.Start();
  EXPECT_LT(IndexOf(log, "TunnelManager::Start()"), IndexOf(log, "TunnelManager: start DnsCache ok"));
  EXPECT_LT(IndexOf(log, "TunnelManager: start DnsCache ok"), IndexOf(log, "IpcClient: sending StartTunnel request (22 bytes)"));
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
  ScopedEnvironment exit(L"QUOR_FAKE_EXIT", L"3");
  ScopedEnvironment text(L"QUOR_FAKE_STDERR", L"denied");
  ScopedTempDir root;
  TunnelManager::Settings settings = ProductionSettings(root.path());
  settings.proxyToolPath = CompanionPath(L"fake_tool.exe");
  TunnelManager manager(std::move(settings));
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  LogCapture log;
  manager.Start();
  const std::vector<std::string> order = {
      "TunnelManager::Start()",
      "TunnelManager: sysproxy failed (3): denied",
      "TunnelManager: turn off system http proxy failed",
      "TunnelManager: cannot open service DnsCache",
      "TunnelManager: check service DnsCache failed",
      "IpcClient: sending StartTunnel request (22 bytes)",
  };
  for (std::size_t i = 1; i < order.size(); ++i) {
    SCOPED_TRACE(order[i]);
    EXPECT_LT(IndexOf(log, order[i - 1]), IndexOf(log, order[i]));
    EXPECT_LT(IndexOf(log, order[i]), log.Records().size());
  }
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.Has(R"({"result":0,"type":"StartTunnel"})"); }));
  EXPECT_TRUE(manager.running());
}

// A tunnel service that is not installed reaches the page as the notice
// {"type":"QueryTunnel","result":102}, once a tick.
TEST(TunnelManagerService, MissingServiceRaisesTheQueryTunnelNotice) {
  ScopedTempDir root;
  TunnelManager manager(ProductionSettings(root.path()));
  EventRecorder recorder(manager);
  LogCapture log;
  ASSERT_TRUE(RunUntil(manager, [&] { return recorder.events.size() >= 2; }, 4000));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{R"({"type":"QueryTunnel","result":102})",
                                                       R"({"type":"QueryTunnel","result":102})"}));
  EXPECT_LT(IndexOf(log, "TunnelManager: Service not running"),
            IndexOf(log, "TunnelManager: cannot open service: QuorTunnel"));
  EXPECT_FALSE(manager.connected());
}

// The program's own manager: one instance, config files under the all-users
// folder (which Wine resolves only through the helper's fallback).
TEST(TunnelManagerService, InstanceWritesConfigUnderTheAllUsersFolder) {
  RegisteredService tunnel(L"QuorTunnel", L"");
  ASSERT_TRUE(tunnel.installed());
  ASSERT_TRUE(tunnel.Start());
  std::string allUsers;
  ASSERT_TRUE(GetAllUsersDirectory(allUsers));
  const std::string folder = allUsers + "\\QuorVPN\\conf";
  const std::string path = folder + "\\home.conf";
  const bool hadFolder = FileExists(std::wstring(folder.begin(), folder.end()));

  TunnelManager& manager = TunnelManager::Instance();
  EXPECT_EQ(&manager, &TunnelManager::Instance());
  EventRecorder recorder(manager);
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  manager.LoadConfig("home", "x");
  EXPECT_EQ(manager.ConfigPath(), path);
  EXPECT_EQ(ReadWholeFile(std::wstring(path.begin(), path.end())), "x\r\n");
  EXPECT_TRUE(RunUntil(manager, [&] {
    for (const auto& text : recorder.events) {
      const json value = json::parse(text);
      if (value["type"] == "QueryTunnel" && value["status"]["config"] == path) return true;
    }
    return false;
  }));
  ::DeleteFileA(path.c_str());
  if (!hadFolder) ::RemoveDirectoryA(folder.c_str());
}

}  // namespace
}  // namespace halyx
