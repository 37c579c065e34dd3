// The tunnel manager against scripted pipe servers, driven by its own message
// loop. Nothing here touches a registered service.
#include "tunnel/tunnel_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/protected_folder.h"
#include "base/utf8.h"
#include "support/folder_access.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_pipe_server.h"
#include "tunnel/frame.h"
#include "support/tunnel_stand_ins.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

std::size_t LinesStartingWith(const LogCapture& log, const std::string& start) {
  std::size_t count = 0;
  for (const auto& record : log.Records()) count += record.text.rfind(start, 0) == 0;
  return count;
}

// Requests sent other than the poll.
std::size_t RequestsSent(const LogCapture& log) {
  return LinesStartingWith(log, "IpcClient: sending ") - LinesStartingWith(log, "IpcClient: sending QueryTunnel");
}

// A manager with a recorder, connected by its own loop to a scripted server
// (unless `reachable` is false), writing config files under a folder of its
// own. `prepare` may change the folder and the settings first.
struct Connected {
  using Prepare = std::function<void(const std::wstring& root, TunnelManager::Settings& settings)>;

  explicit Connected(const Prepare& prepare = nullptr, bool reachable = true, DWORD bufferSize = 65536)
      : server(2, bufferSize) {
    TunnelManager::Settings settings = StandInSettings(reachable ? server.name() : UniquePipeName(), root.path());
    if (prepare) prepare(root.path(), settings);
    manager = std::make_unique<TunnelManager>(std::move(settings));
    recorder = std::make_unique<EventRecorder>(*manager);
    connected = reachable && RunUntil(*manager, [this] { return manager->connected(); });
  }
  // Each call raises exactly {"type":<type>,"result":<code>}.
  void ExpectNotices(const std::vector<std::tuple<std::function<void(TunnelManager&)>, const char*, int>>& calls) {
    for (const auto& [call, type, code] : calls) {
      const std::string notice = fmt::format(R"({{"type":"{}","result":{}}})", type, code);
      SCOPED_TRACE(notice);
      recorder->events.clear();
      call(*manager);
      EXPECT_EQ(recorder->events, std::vector<std::string>{notice});
    }
  }

  TestPipeServer server;
  ScopedTempDir root;
  std::unique_ptr<TunnelManager> manager;
  std::unique_ptr<EventRecorder> recorder;
  bool connected = false;
};

std::string Sid() { return WideToUtf8(CurrentUserSid()); }

// The folder of this user's configs under the manager's root.
std::wstring ConfFolder(const Connected& c) { return c.root.path() + L"\\QuorVPN\\conf\\" + CurrentUserSid(); }

// Without a connection every operation answers 102 and writes nothing.
TEST(TunnelManagerChecks, EveryOperationWhileDisconnectedRaisesNotConnected) {
  Connected c(nullptr, false);
  LogCapture log;
  c.ExpectNotices({
      {[](TunnelManager& m) { m.Start(); }, "StartTunnel", 102},
      {[](TunnelManager& m) { m.Stop(); }, "StopTunnel", 102},
      {[](TunnelManager& m) { m.LoadConfig("home", "x"); }, "LoadConfig", 102},
      {[](TunnelManager& m) { m.SetConfig("home", "x", "t", 1, "i"); }, "SetConfig", 102},
      {[](TunnelManager& m) { m.StartTracing("h", 1); }, "StartTracing", 102},
      {[](TunnelManager& m) { m.StopTracing(); }, "StopTracing", 102},
  });
  EXPECT_EQ(LinesStartingWith(log, "TunnelManager: Service not connected"), 6u);
  EXPECT_FALSE(FileExists(c.root.path() + L"\\QuorVPN"));
}

// Connected with the tunnel down: bad names and input, then
// wrong state, are refused before any folder is touched or request is sent.
TEST(TunnelManagerChecks, RefusalsComeBeforeFoldersAndRequests) {
  Connected c;
  ASSERT_TRUE(c.connected);
  LogCapture log;
  c.ExpectNotices({
      {[](TunnelManager& m) { m.SetConfig("", "x", "", 0, ""); }, "SetConfig", 106},
      {[](TunnelManager& m) { m.SetConfig("home", "", "", 0, ""); }, "SetConfig", 105},
      {[](TunnelManager& m) { m.LoadConfig("", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("home", ""); }, "LoadConfig", 105},
      {[](TunnelManager& m) { m.SetConfig("..\\..\\evil", "x", "", 0, ""); }, "SetConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("C:\\evil", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("a/b", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.SetConfig("..", "x", "", 0, ""); }, "SetConfig", 106},
      // Device names, with or without an extension, and names Win32 trims.
      {[](TunnelManager& m) { m.SetConfig("CON", "x", "", 0, ""); }, "SetConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("nul.conf", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("Aux", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("prn.txt", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("com1", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("COM9.conf", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("lpt5", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("LPT1 .conf", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("conout$", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("home.", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.SetConfig("home ", "x", "", 0, ""); }, "SetConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("ho*me", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.LoadConfig("home\n", "x"); }, "LoadConfig", 106},
      {[](TunnelManager& m) { m.Stop(); }, "StopTunnel", 101},
      {[](TunnelManager& m) { m.StartTracing("", 0); }, "StartTracing", 101},
      {[](TunnelManager& m) { m.StopTracing(); }, "StopTracing", 101},
  });
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: SetConfig failed: invalid name"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: SetConfig failed: invalid conf"));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "TunnelManager: Tunnel not running"));
  EXPECT_EQ(RequestsSent(log), 0u);
  EXPECT_FALSE(FileExists(c.root.path() + L"\\QuorVPN"));
  EXPECT_TRUE(c.manager->ConfigPath().empty());
}

// Config files hold the page's text with CR LF line ends, are named with
// ".conf" unless the page chose an extension, and the service is sent their
// full path.
TEST(TunnelManagerConfig, ConfigIsWrittenAndItsFullPathSent) {
  Connected c;
  ASSERT_TRUE(c.connected);
  const std::string cases[][4] = {
      // name, conf, file, content
      {"home", "x", "home.conf", "x\r\n"},
      {"home.txt", "x", "home.txt", "x\r\n"},
      {"lines", "a\nb\r\nc", "lines.conf", "a\r\nb\r\nc\r\n"},
      // Close to device names, but files.
      {"com10", "x", "com10.conf", "x\r\n"},
      {"console", "x", "console.conf", "x\r\n"},
  };
  for (const auto& [name, conf, file, content] : cases) {
    SCOPED_TRACE(name);
    c.manager->LoadConfig(name, conf);
    const std::string path = Narrow(c.root.path()) + "\\QuorVPN\\conf\\" + Sid() + "\\" + file;
    EXPECT_EQ(ReadWholeFile(Widen(path)), content);
    EXPECT_EQ(c.manager->ConfigPath(), path);
    EXPECT_EQ(NextRequest(c.server), json({{"path", path}, {"type", "LoadConfig"}}).dump());
  }
  EXPECT_FALSE(FileExists(ConfFolder(c) + L"\\home.txt.conf"));
  c.manager->SetConfig("office", "[Interface]", "tok", 3, "info");
  EXPECT_EQ(ReadWholeFile(ConfFolder(c) + L"\\office.conf"), "[Interface]\r\n");
  EXPECT_EQ(NextRequest(c.server), json({{"adInfo", "info"},
                                         {"adToken", "tok"},
                                         {"adType", 3},
                                         {"path", c.manager->ConfigPath()},
                                         {"type", "SetConfig"}})
                                       .dump());
}

// Configs hold the user's server keys: "conf" and the user's folder in it
// admit SYSTEM and Administrators alone (Users may only list "QuorVPN"), and
// each user's configs are apart, so one administrator's client does not
// overwrite another's "home.conf".
TEST(TunnelManagerConfig, ConfigsAreReadableByAdministratorsOnlyAndKeptPerUser) {
  Connected c([](const std::wstring& root, TunnelManager::Settings&) {
    // As an earlier version left it: readable by every user.
    ::CreateDirectoryW((root + L"\\QuorVPN").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\QuorVPN\\conf").c_str(), nullptr);
  });
  ASSERT_TRUE(c.connected);
  const std::wstring conf = c.root.path() + L"\\QuorVPN\\conf";
  ASSERT_NE(GrantedToOthers(conf), 0u);
  c.manager->LoadConfig("home", "x");
  EXPECT_EQ(ReadWholeFile(ConfFolder(c) + L"\\home.conf"), "x\r\n");
  EXPECT_FALSE(FileExists(conf + L"\\home.conf"));
  EXPECT_EQ(GrantedToOthers(conf), 0u);
  EXPECT_EQ(GrantedToOthers(ConfFolder(c)), 0u);
  EXPECT_EQ(GrantedToOthers(c.root.path() + L"\\QuorVPN") & ~static_cast<ACCESS_MASK>(0x1200a9), 0u);
}

// A config file that cannot be had is code 2 and no request: the service
// must not be told to load a file that was never written.
TEST(TunnelManagerConfig, UnwritableConfigRaisesCodeTwoAndSendsNothing) {
  const std::string longName(250, 'n');
  const struct {
    Connected::Prepare prepare;
    std::string line;  // %ROOT% is the config root
    std::string configName;
  } cases[] = {
      {[](const std::wstring& root, TunnelManager::Settings&) {
         FileHandle(::CreateFileW((root + L"\\QuorVPN").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
       },
       "TunnelManager: %ROOT%\\QuorVPN exists and is not a directory", "home"},
      {[](const std::wstring& root, TunnelManager::Settings&) {
         const std::wstring sid = L"\\" + CurrentUserSid();
         for (const std::wstring& folder : {std::wstring(L"\\QuorVPN"), std::wstring(L"\\QuorVPN\\conf"),
                                            L"\\QuorVPN\\conf" + sid, L"\\QuorVPN\\conf" + sid + L"\\home.conf"}) {
           ::CreateDirectoryW((root + folder).c_str(), nullptr);
         }
       },
       "TunnelManager: cannot open %ROOT%\\QuorVPN\\conf\\" + Sid() + "\\home.conf (0x5)", "home"},
      {[](const std::wstring&, TunnelManager::Settings& settings) {
         settings.configRoot = [](std::string&) {
           ::SetLastError(ERROR_ENVVAR_NOT_FOUND);
           return false;
         };
       },
       "TunnelManager: GetAllUsersProfileDirectory failed (0xcb)", "home"},
      {nullptr, "TunnelManager: config file name " + longName + " is too long", longName},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.line);
    Connected c(one.prepare);
    ASSERT_TRUE(c.connected);
    LogCapture log;
    c.manager->SetConfig(one.configName, "x", "", 0, "");
    c.manager->LoadConfig(one.configName, "x");
    EXPECT_EQ(c.recorder->events,
              (std::vector<std::string>{R"({"type":"SetConfig","result":2})", R"({"type":"LoadConfig","result":2})"}));
    std::string line = one.line;
    if (line.find("%ROOT%") != std::string::npos) line.replace(line.find("%ROOT%"), 6, Narrow(c.root.path()));
    EXPECT_TRUE(log.Has(spdlog::level::err, line));
    EXPECT_EQ(LinesStartingWith(log, "TunnelManager: CreateDirectory failed"), 0u);
    EXPECT_EQ(RequestsSent(log), 0u);
    EXPECT_TRUE(c.manager->ConfigPath().empty());
  }
}

// A config file with a second name (a hard link a user planted to another
// file) is not written through; the other file stays as it was.
TEST(TunnelManagerConfig, ConfigFileWithASecondNameIsRefused) {
  Connected c([](const std::wstring& root, TunnelManager::Settings&) {
    ::CreateDirectoryW((root + L"\\QuorVPN").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\QuorVPN\\conf").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\QuorVPN\\conf\\" + CurrentUserSid()).c_str(), nullptr);
    FileHandle target(::CreateFileW((root + L"\\target").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(target.get(), "keep", 4, &written, nullptr);
    ::CreateHardLinkW((root + L"\\QuorVPN\\conf\\" + CurrentUserSid() + L"\\home.conf").c_str(),
                      (root + L"\\target").c_str(), nullptr);
  });
  ASSERT_TRUE(c.connected);
  LogCapture log;
  c.manager->LoadConfig("home", "x");
  EXPECT_EQ(c.recorder->events, std::vector<std::string>{R"({"type":"LoadConfig","result":2})"});
  EXPECT_TRUE(
      log.Has(spdlog::level::err, "TunnelManager: " + Narrow(ConfFolder(c)) + "\\home.conf is a link, not used"));
  EXPECT_EQ(ReadWholeFile(c.root.path() + L"\\target"), "keep");
  EXPECT_EQ(RequestsSent(log), 0u);
}

// A folder someone else created first (here: owned by the test's user, whom
// the production check does not trust) is not written into.
TEST(TunnelManagerConfig, FolderOwnedByAnotherUserIsRefused) {
  Connected c([](const std::wstring& root, TunnelManager::Settings& settings) {
    ::CreateDirectoryW((root + L"\\QuorVPN").c_str(), nullptr);
    settings.trustedFolderOwner = IsSystemOrAdministrators;
  });
  ASSERT_TRUE(c.connected);
  LogCapture log;
  c.manager->SetConfig("home", "x", "", 0, "");
  EXPECT_EQ(c.recorder->events, std::vector<std::string>{R"({"type":"SetConfig","result":2})"});
  const auto records = log.Records();
  ASSERT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  const std::string line = "TunnelManager: " + Narrow(c.root.path()) + "\\QuorVPN is owned by ";
  EXPECT_EQ(records.back().text.rfind(line, 0), 0u) << records.back().text;
  EXPECT_FALSE(FileExists(c.root.path() + L"\\QuorVPN\\conf"));
  EXPECT_EQ(RequestsSent(log), 0u);
}

// A folder the manager created itself is written into again, whatever owner
// it reads as (Wine reports every file as its user's), while one planted
// beside it is still refused.
TEST(TunnelManagerConfig, FoldersItCreatedStayItsOwnForLaterWrites) {
  Connected c([](const std::wstring&, TunnelManager::Settings& settings) {
    settings.trustedFolderOwner = [](PSID) { return false; };
  });
  ASSERT_TRUE(c.connected);
  LogCapture log;
  c.manager->LoadConfig("home", "x");
  c.manager->LoadConfig("home", "y");
  EXPECT_TRUE(c.recorder->events.empty()) << c.recorder->events[0];
  EXPECT_EQ(ReadWholeFile(ConfFolder(c) + L"\\home.conf"), "y\r\n");
  EXPECT_EQ(RequestsSent(log), 2u);

  // Another folder under the same name: the client's own moved aside (kept,
  // so its file index cannot pass to the new one) and a planted one in its
  // place.
  const std::wstring conf = ConfFolder(c);
  ASSERT_TRUE(::MoveFileW(conf.c_str(), (conf + L"-moved").c_str()));
  ASSERT_TRUE(::CreateDirectoryW(conf.c_str(), nullptr));
  c.manager->LoadConfig("home", "z");
  EXPECT_EQ(c.recorder->events, std::vector<std::string>{R"({"type":"LoadConfig","result":2})"});
  EXPECT_FALSE(FileExists(conf + L"\\home.conf"));
}

// Responses move `running` exactly as the state table says and are raised
// as the service's JSON, whatever their result.
TEST(TunnelManagerState, ResponsesMoveRunningAsTheStateTableSays) {
  Connected c;
  ASSERT_TRUE(c.connected);
  EXPECT_EQ(c.manager->waitHandles().size(), 2u);
  const std::pair<std::string, bool> steps[] = {
      {R"({"result":7,"type":"StartTunnel"})", false},
      {R"({"result":0,"type":"StartTunnel"})", true},
      {R"({"result":5,"status":{"config":"","outbound":"","running":false},"type":"QueryTunnel"})", true},
      {R"({"result":7,"type":"StopTunnel"})", true},
      {R"({"result":0,"type":"SetConfig"})", true},
      {R"({"result":3,"type":"SetOutboundMode"})", true},
      {R"({"result":0,"type":"StopTunnel"})", false},
      {R"({"result":0,"status":{"config":"c","outbound":"o","running":true},"type":"QueryTunnel"})", true},
      {R"({"result":0,"status":{"config":"c","outbound":"o","running":false},"type":"QueryTunnel"})", false},
  };
  for (const auto& [response, running] : steps) {
    SCOPED_TRACE(response);
    c.recorder->events.clear();
    ASSERT_TRUE(c.server.Write(Frame(response)));
    ASSERT_TRUE(RunUntil(*c.manager, [&] { return !c.recorder->events.empty(); }));
    EXPECT_EQ(c.recorder->events, std::vector<std::string>{response});
    EXPECT_EQ(c.manager->running(), running);
  }
}

// A broken pipe empties the wait list and keeps `running`; Start then answers
// 101 (running is checked first) and Stop 102; the next tick reconnects.
// Events raised with no subscriber change the state and are not kept.
TEST(TunnelManagerState, BrokenPipeKeepsRunningAndReconnectsOnTheNextTick) {
  Connected c;
  ASSERT_TRUE(c.connected);
  TestPipeServer& server = c.server;
  TunnelManager& manager = *c.manager;
  c.recorder.reset();
  ASSERT_TRUE(server.Write(Frame(R"({"result":0,"type":"StartTunnel"})")));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.running(); }));
  manager.Start();  // 101, raised to no one
  EventRecorder recorder(manager);
  LogCapture log;
  server.CloseInstance(0);
  bool emptied = false;
  // Looked at inside the loop, between two messages, so no tick can
  // reconnect in between.
  ASSERT_TRUE(RunUntil(manager, [&] {
    if (manager.connected()) return false;
    emptied = manager.waitHandles().empty();
    manager.Start();
    manager.Stop();
    return true;
  }));
  EXPECT_TRUE(emptied);
  EXPECT_TRUE(manager.running());
  EXPECT_EQ(recorder.events, (std::vector<std::string>{R"({"type":"StartTunnel","result":101})",
                                                       R"({"type":"StopTunnel","result":102})"}));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "TunnelManager: IPC connection lost"));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "TunnelManager: Tunnel already running"));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  EXPECT_EQ(manager.waitHandles().size(), 2u);
  EXPECT_TRUE(server.Write(Frame(R"({"result":0,"type":"StopTunnel"})"), 1));
  EXPECT_TRUE(RunUntil(manager, [&] { return !manager.running(); }));
}

// Requests accepted while an earlier write was stuck reach the page as 102
// when the connection goes; the manager's own poll does not.
TEST(TunnelManagerState, RequestsLostWithTheConnectionRaiseNotConnected) {
  Connected c(nullptr, true, 1);  // a one-byte pipe buffer: the first write stays in flight
  ASSERT_TRUE(c.connected);
  ASSERT_TRUE(c.server.Write(Frame(R"({"result":0,"type":"StartTunnel"})")));
  ASSERT_TRUE(RunUntil(*c.manager, [&] { return c.manager->running(); }));
  c.recorder->events.clear();
  c.manager->Stop();
  c.manager->SetConfig("home", "x", "", 0, "");
  c.manager->StartTracing("h", 1);
  c.manager->StopTracing();
  EXPECT_TRUE(c.recorder->events.empty());
  LogCapture log;
  c.server.CloseInstance(0);
  ASSERT_TRUE(RunUntil(*c.manager, [&] { return !c.manager->connected(); }));
  EXPECT_EQ(c.recorder->events, (std::vector<std::string>{
                                    R"({"type":"StopTunnel","result":102})",
                                    R"({"type":"SetConfig","result":102})",
                                    R"({"type":"StartTracing","result":102})",
                                    R"({"type":"StopTracing","result":102})",
                                }));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "TunnelManager: StopTunnel request lost with the connection"));
}

// The first poll goes out with the connection, not a tick later, so the
// page learns the tunnel's state as soon as the service can answer.
TEST(TunnelManagerPoll, FirstPollGoesOutOnConnect) {
  LogCapture log;
  Connected c;
  ASSERT_TRUE(c.connected);
  EXPECT_EQ(LinesStartingWith(log, "IpcClient: sending QueryTunnel"), 1u);
  const std::string poll = Frame(R"({"type":"QueryTunnel"})");
  // Already in the pipe: no loop turn or tick came between.
  ASSERT_EQ(c.server.Available(), poll.size());
  const std::vector<uint8_t> sent = c.server.ReadExactly(poll.size());
  EXPECT_EQ(std::string(sent.begin(), sent.end()), poll);
  ASSERT_TRUE(c.server.Write(
      Frame(R"({"result":0,"status":{"config":"c","outbound":"o","running":true},"type":"QueryTunnel"})")));
  EXPECT_TRUE(RunUntil(*c.manager, [&] { return c.manager->running(); }));
}

// A page that has just subscribed gets the state without waiting for a
// tick: QueryNow connects at once, and asks again only once the poll before
// has been answered.
TEST(TunnelManagerPoll, QueryNowConnectsAndAsksWithoutATick) {
  LogCapture log;
  TestPipeServer server(2);
  ScopedTempDir root;
  TunnelManager manager(StandInSettings(server.name(), root.path()));
  const std::string poll = Frame(R"({"type":"QueryTunnel"})");
  // No message loop ran, so no tick came between.
  manager.QueryNow();
  ASSERT_TRUE(manager.connected());
  ASSERT_EQ(server.Available(), poll.size());
  manager.QueryNow();
  EXPECT_EQ(server.Available(), poll.size());
  EXPECT_EQ(LinesStartingWith(log, "IpcClient: sending QueryTunnel"), 1u);

  ASSERT_EQ(server.ReadExactly(poll.size()).size(), poll.size());
  ASSERT_TRUE(server.Write(
      Frame(R"({"result":0,"status":{"config":"c","outbound":"o","running":true},"type":"QueryTunnel"})")));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.running(); }));
  manager.QueryNow();
  EXPECT_EQ(server.Available(), poll.size());
  EXPECT_EQ(LinesStartingWith(log, "IpcClient: sending QueryTunnel"), 2u);
}

// A poll goes out only once the one before has been answered, and a service
// that answers none within the bound is dropped and connected again.
TEST(TunnelManagerPoll, OnePollAtATimeAndASilentServiceIsDropped) {
  LogCapture log;
  Connected c([](const std::wstring&, TunnelManager::Settings& settings) { settings.answerTimeoutMs = 2500; });
  ASSERT_TRUE(c.connected);
  ASSERT_TRUE(RunUntil(
      *c.manager, [&] { return !c.manager->connected(); }, 8000));
  // The one sent with the connection; no tick sent another.
  EXPECT_EQ(LinesStartingWith(log, "IpcClient: sending QueryTunnel"), 1u);
  EXPECT_EQ(LinesStartingWith(log, "TunnelManager: service has not answered for 2500 ms, dropping the connection"), 1u);
  EXPECT_TRUE(log.Has(spdlog::level::warn, "TunnelManager: IPC connection lost"));

  // The next tick takes the second instance; an answered poll lets the next
  // one go.
  ASSERT_TRUE(RunUntil(*c.manager, [&] { return c.manager->connected(); }));
  const std::string poll = Frame(R"({"type":"QueryTunnel"})");
  std::atomic<int> polls{0};
  std::thread service([&] {
    while (c.server.ReadExactly(poll.size(), 1).size() == poll.size()) {
      ++polls;
      c.server.Write(Frame(R"({"result":0,"status":{"config":"","outbound":"","running":false},"type":"QueryTunnel"})"),
                     1);
    }
  });
  EXPECT_TRUE(RunUntil(
      *c.manager, [&] { return polls >= 2; }, 6000));
  c.recorder.reset();
  c.manager.reset();  // breaks the pipe, which ends the thread
  service.join();
}

// A service quick enough to have answered before the poll's send returns
// (a loaded machine) has answered that poll: the next tick polls again
// rather than wait out the silent-service bound.
TEST(TunnelManagerPoll, AnAnswerTakenWithinTheSendCountsForThatPoll) {
  TestPipeServer server(2);
  ScopedTempDir root;
  TunnelManager::Settings settings = StandInSettings(server.name(), root.path());
  settings.answerTimeoutMs = 60000;
  // The answer waits in the pipe before the connection's poll goes out, so
  // the read that follows that write takes it at once.
  settings.serverCheck = [&](HANDLE) {
    return server.Write(
        Frame(R"({"result":0,"status":{"config":"","outbound":"","running":false},"type":"QueryTunnel"})"));
  };
  TunnelManager manager(std::move(settings));
  EventRecorder recorder(manager);
  manager.QueryNow();
  ASSERT_TRUE(manager.connected());
  ASSERT_EQ(recorder.events.size(), 1u);
  const std::string poll = Frame(R"({"type":"QueryTunnel"})");
  EXPECT_TRUE(RunUntil(
      manager, [&] { return server.Available() >= 2 * poll.size(); }, 3000));
}

// A pipe that never runs dry does not starve the loop's window messages:
// they are served while the flood goes on.
TEST(TunnelManagerRun, PipeFloodDoesNotStarveWindowMessages) {
  Connected c;
  ASSERT_TRUE(c.connected);
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::thread flood([&] {
    std::string block;
    for (int i = 0; i < 500; ++i) block += Frame(R"({"result":3,"type":"SetOutboundMode"})");
    for (int sent = 0; sent < 200000 && !stop; sent += 500) {
      if (!c.server.Write(block)) return;
    }
    finished = true;
  });
  bool floodWasRunning = false;
  EXPECT_TRUE(RunUntil(
      *c.manager,
      [&] {
        if (c.recorder->events.empty()) return false;
        floodWasRunning = !finished;
        return true;
      },
      60000));
  EXPECT_TRUE(floodWasRunning);
  stop = true;
  c.recorder.reset();
  c.manager.reset();  // breaks the pipe, which ends the thread
  flood.join();
}

// Run ends with the wParam of WM_QUIT (RunUntil shows it dispatches messages).
TEST(TunnelManagerRun, ReturnsTheQuitCode) {
  Connected c(nullptr, false);
  ::PostQuitMessage(42);
  EXPECT_EQ(c.manager->Run(), 42);
}

}  // namespace
}  // namespace halyx
