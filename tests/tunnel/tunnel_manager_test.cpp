// The tunnel manager against scripted pipe servers and the stand-in service
// in a console, driven by its own message loop: every check refuses with the
// operation's type and code, responses move the tunnel's state as the state
// table says, config files land where the service reads them, and a broken
// pipe is mended on the next tick. Nothing here touches a registered service.
#include "tunnel/tunnel_manager.h"

#include <gtest/gtest.h>

#include "manager_driver.h"
#include "stand_ins.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_pipe_server.h"
#include "tunnel/frame.h"

namespace halyx {
namespace {

using ::halyx::testing::EventRecorder;
using ::halyx::testing::FileExists;
using ::halyx::testing::LogCapture;
using ::halyx::testing::Narrow;
using ::halyx::testing::ReadWholeFile;
using ::halyx::testing::RunUntil;
using ::halyx::testing::ScopedTempDir;
using ::halyx::testing::StandInConsole;
using ::halyx::testing::StandInSettings;
using ::halyx::testing::TestPipeServer;
using ::halyx::testing::UniquePipeName;

std::string Frame(const std::string& payload) {
  const auto frame = BuildFrame(payload);
  return std::string(frame.begin(), frame.end());
}

std::size_t LinesStartingWith(const LogCapture& log, const std::string& start) {
  std::size_t count = 0;
  for (const auto& record : log.Records()) count += record.text.rfind(start, 0) == 0;
  return count;
}

// Requests sent other than the poll.
std::size_t RequestsSent(const LogCapture& log) {
  return LinesStartingWith(log, "IpcClient: sending ") - LinesStartingWith(log, "IpcClient: sending QueryTunnel");
}

struct Operation {
  const char* name;
  std::function<void(TunnelManager&)> call;
  std::string notice;
};

// Each operation raises exactly its notice.
void ExpectNotices(TunnelManager& manager, EventRecorder& recorder, const std::vector<Operation>& operations) {
  for (const auto& operation : operations) {
    SCOPED_TRACE(operation.name);
    recorder.events.clear();
    operation.call(manager);
    EXPECT_EQ(recorder.events, std::vector<std::string>{operation.notice});
  }
}

// A manager with a recorder, connected by its own loop to the server of
// `pipe`, writing config files under a folder of its own. `prepare` may
// change the folder and the settings first.
struct Connected {
  using Prepare = std::function<void(const std::wstring& root, TunnelManager::Settings& settings)>;

  explicit Connected(const std::string& pipe, const Prepare& prepare = nullptr) {
    TunnelManager::Settings settings = StandInSettings(pipe, root.path());
    if (prepare) prepare(root.path(), settings);
    manager = std::make_unique<TunnelManager>(std::move(settings));
    recorder = std::make_unique<EventRecorder>(*manager);
    connected = RunUntil(*manager, [this] { return manager->connected(); });
  }
  // The stand-in reports the config path it was sent in its QueryTunnel answers.
  bool ServiceReportsConfig(const std::string& path) {
    return RunUntil(*manager, [&] {
      for (const auto& text : recorder->events) {
        const json value = json::parse(text);
        if (value["type"] == "QueryTunnel" && value["status"]["config"] == path) return true;
      }
      return false;
    });
  }

  ScopedTempDir root;
  std::unique_ptr<TunnelManager> manager;
  std::unique_ptr<EventRecorder> recorder;
  bool connected = false;
};

// Without a connection every operation answers 102 and writes nothing.
TEST(TunnelManagerChecks, EveryOperationWhileDisconnectedRaisesNotConnected) {
  ScopedTempDir root;
  TunnelManager manager(StandInSettings(UniquePipeName(), root.path()));
  EventRecorder recorder(manager);
  LogCapture log;
  const std::vector<Operation> operations = {
      {"Start", [](TunnelManager& m) { m.Start(); }, R"({"type":"StartTunnel","result":102})"},
      {"Stop", [](TunnelManager& m) { m.Stop(); }, R"({"type":"StopTunnel","result":102})"},
      {"LoadConfig", [](TunnelManager& m) { m.LoadConfig("home", "x"); }, R"({"type":"LoadConfig","result":102})"},
      {"SetConfig", [](TunnelManager& m) { m.SetConfig("home", "x", "t", 1, "i"); },
       R"({"type":"SetConfig","result":102})"},
      {"StartTracing", [](TunnelManager& m) { m.StartTracing("h", 1); }, R"({"type":"StartTracing","result":102})"},
      {"StopTracing", [](TunnelManager& m) { m.StopTracing(); }, R"({"type":"StopTracing","result":102})"},
  };
  ExpectNotices(manager, recorder, operations);
  std::size_t lines = 0;
  for (const auto& record : log.Records()) lines += record.text == "TunnelManager: Service not connected";
  EXPECT_EQ(lines, operations.size());
  EXPECT_FALSE(FileExists(root.path() + L"\\QuorVPN"));
}

// Connected to the stand-in with the tunnel down: bad input and wrong state
// are refused before any folder is touched or any request is sent.
TEST(TunnelManagerChecks, RefusalsComeBeforeFoldersAndRequests) {
  StandInConsole service;
  ASSERT_TRUE(service.ready());
  Connected c(service.pipeName());
  ASSERT_TRUE(c.connected);
  LogCapture log;
  ExpectNotices(*c.manager, *c.recorder, {
      {"empty name", [](TunnelManager& m) { m.SetConfig("", "x", "", 0, ""); }, R"({"type":"SetConfig","result":106})"},
      {"empty conf", [](TunnelManager& m) { m.SetConfig("home", "", "", 0, ""); }, R"({"type":"SetConfig","result":105})"},
      {"load empty name", [](TunnelManager& m) { m.LoadConfig("", "x"); }, R"({"type":"LoadConfig","result":106})"},
      {"load empty conf", [](TunnelManager& m) { m.LoadConfig("home", ""); }, R"({"type":"LoadConfig","result":105})"},
      {"parent folder", [](TunnelManager& m) { m.SetConfig("..\\..\\evil", "x", "", 0, ""); },
       R"({"type":"SetConfig","result":106})"},
      {"absolute path", [](TunnelManager& m) { m.LoadConfig("C:\\evil", "x"); }, R"({"type":"LoadConfig","result":106})"},
      {"forward slash", [](TunnelManager& m) { m.LoadConfig("a/b", "x"); }, R"({"type":"LoadConfig","result":106})"},
      {"dots only", [](TunnelManager& m) { m.SetConfig("..", "x", "", 0, ""); }, R"({"type":"SetConfig","result":106})"},
      {"Stop", [](TunnelManager& m) { m.Stop(); }, R"({"type":"StopTunnel","result":101})"},
      {"StartTracing", [](TunnelManager& m) { m.StartTracing("", 0); }, R"({"type":"StartTracing","result":101})"},
      {"StopTracing", [](TunnelManager& m) { m.StopTracing(); }, R"({"type":"StopTracing","result":101})"},
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
TEST(TunnelManagerConfig, LoadConfigWritesTheFileAndSendsItsFullPath) {
  StandInConsole service;
  ASSERT_TRUE(service.ready());
  Connected c(service.pipeName());
  ASSERT_TRUE(c.connected);
  struct Case {
    std::string name, conf, file, content;
  };
  const std::vector<Case> cases = {
      {"home", "x", "home.conf", "x\r\n"},
      {"home.txt", "x", "home.txt", "x\r\n"},
      {"lines", "a\nb\r\nc", "lines.conf", "a\r\nb\r\nc\r\n"},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.name);
    c.manager->LoadConfig(one.name, one.conf);
    const std::wstring file = c.root.path() + L"\\QuorVPN\\conf\\" + std::wstring(one.file.begin(), one.file.end());
    EXPECT_EQ(ReadWholeFile(file), one.content);
    EXPECT_EQ(c.manager->ConfigPath(), Narrow(file));
    EXPECT_TRUE(c.ServiceReportsConfig(Narrow(file)));
  }
  EXPECT_FALSE(FileExists(c.root.path() + L"\\QuorVPN\\conf\\home.txt.conf"));
}

TEST(TunnelManagerConfig, SetConfigRaisesTheServiceResponse) {
  StandInConsole service;
  ASSERT_TRUE(service.ready());
  Connected c(service.pipeName());
  ASSERT_TRUE(c.connected);
  LogCapture log;
  c.manager->SetConfig("office", "[Interface]", "", 3, "");
  EXPECT_TRUE(RunUntil(*c.manager, [&] { return c.recorder->Has(R"({"result":0,"type":"SetConfig"})"); }));
  EXPECT_EQ(ReadWholeFile(c.root.path() + L"\\QuorVPN\\conf\\office.conf"), "[Interface]\r\n");
  EXPECT_TRUE(c.ServiceReportsConfig(c.manager->ConfigPath()));
  EXPECT_EQ(RequestsSent(log), 1u);
}

// A config file that cannot be had is code 2 and no request: the service
// must not be told to load a file that was never written.
TEST(TunnelManagerConfig, UnwritableConfigRaisesCodeTwoAndSendsNothing) {
  StandInConsole service;
  ASSERT_TRUE(service.ready());
  struct Case {
    const char* name;
    Connected::Prepare prepare;
    std::string line;  // %ROOT% is the config root
    std::string configName = "home";
  };
  const std::vector<Case> cases = {
      {"product folder is a file",
       [](const std::wstring& root, TunnelManager::Settings&) {
         FileHandle(::CreateFileW((root + L"\\QuorVPN").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
       },
       "TunnelManager: %ROOT%\\QuorVPN exists and is not a directory"},
      {"config file is a folder",
       [](const std::wstring& root, TunnelManager::Settings&) {
         for (const wchar_t* folder : {L"\\QuorVPN", L"\\QuorVPN\\conf", L"\\QuorVPN\\conf\\home.conf"}) {
           ::CreateDirectoryW((root + folder).c_str(), nullptr);
         }
       },
       "TunnelManager: cannot open config file %ROOT%\\QuorVPN\\conf\\home.conf (0x5)"},
      {"all-users folder unknown",
       [](const std::wstring&, TunnelManager::Settings& settings) {
         settings.configRoot = [](std::string&) {
           ::SetLastError(ERROR_ENVVAR_NOT_FOUND);
           return false;
         };
       },
       "TunnelManager: GetAllUsersProfileDirectory failed (0xcb)"},
      {"path too long", nullptr, "TunnelManager: config file name " + std::string(250, 'n') + " is too long",
       std::string(250, 'n')},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.name);
    Connected c(service.pipeName(), one.prepare);
    ASSERT_TRUE(c.connected);
    LogCapture log;
    c.manager->SetConfig(one.configName, "x", "", 0, "");
    c.manager->LoadConfig(one.configName, "x");
    EXPECT_EQ(c.recorder->events,
              (std::vector<std::string>{R"({"type":"SetConfig","result":2})", R"({"type":"LoadConfig","result":2})"}));
    std::string line = one.line;
    const std::size_t at = line.find("%ROOT%");
    if (at != std::string::npos) line.replace(at, 6, Narrow(c.root.path()));
    EXPECT_TRUE(log.Has(spdlog::level::err, line));
    EXPECT_EQ(LinesStartingWith(log, "TunnelManager: CreateDirectory failed"), 0u);
    EXPECT_EQ(RequestsSent(log), 0u);
    EXPECT_TRUE(c.manager->ConfigPath().empty());
  }
}

// Responses move `running` exactly as the state table says and are raised
// as the service's JSON, whatever their result.
TEST(TunnelManagerState, ResponsesMoveRunningAsTheStateTableSays) {
  TestPipeServer server;
  Connected c(server.name());
  ASSERT_TRUE(c.connected);
  TunnelManager& manager = *c.manager;
  EventRecorder& recorder = *c.recorder;
  EXPECT_EQ(manager.waitHandles().size(), 2u);
  struct Step {
    std::string response;
    bool running;
  };
  const std::vector<Step> steps = {
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
  for (const auto& step : steps) {
    SCOPED_TRACE(step.response);
    recorder.events.clear();
    ASSERT_TRUE(server.Write(Frame(step.response)));
    ASSERT_TRUE(RunUntil(manager, [&] { return !recorder.events.empty(); }));
    EXPECT_EQ(recorder.events, std::vector<std::string>{step.response});
    EXPECT_EQ(manager.running(), step.running);
  }
}

// With no subscriber responses still change the state, and nothing is kept
// for a later subscriber.
TEST(TunnelManagerState, ResponsesWithoutSubscriberChangeStateOnly) {
  TestPipeServer server;
  ScopedTempDir root;
  TunnelManager manager(StandInSettings(server.name(), root.path()));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  ASSERT_TRUE(server.Write(Frame(R"({"result":0,"type":"StartTunnel"})")));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.running(); }));
  manager.Start();  // 101, raised to no one
  EventRecorder recorder(manager);
  ASSERT_TRUE(server.Write(Frame(R"({"result":0,"type":"StopTunnel"})")));
  ASSERT_TRUE(RunUntil(manager, [&] { return !manager.running(); }));
  EXPECT_EQ(recorder.events, std::vector<std::string>{R"({"result":0,"type":"StopTunnel"})"});
}

// A broken pipe empties the wait list and keeps `running`; Start then answers
// 101 (running is checked first) and Stop 102; the next tick reconnects.
TEST(TunnelManagerState, BrokenPipeKeepsRunningAndReconnectsOnTheNextTick) {
  TestPipeServer server(2);
  Connected c(server.name());
  ASSERT_TRUE(c.connected);
  TunnelManager& manager = *c.manager;
  EventRecorder& recorder = *c.recorder;
  ASSERT_TRUE(server.Write(Frame(R"({"result":0,"type":"StartTunnel"})")));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.running(); }));
  LogCapture log;
  recorder.events.clear();
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

int g_received = 0;

LRESULT CALLBACK CountingWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) g_received += static_cast<int>(wParam);
  return ::DefWindowProcW(window, message, wParam, lParam);
}

// Run is the thread's message loop: window messages are dispatched, and
// WM_QUIT ends it with its wParam.
TEST(TunnelManagerRun, DispatchesWindowMessagesAndReturnsTheQuitCode) {
  ScopedTempDir root;
  TunnelManager manager(StandInSettings(UniquePipeName(), root.path()));
  g_received = 0;
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = CountingWndProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TunnelManagerRunTest";
  ASSERT_NE(::RegisterClassW(&windowClass), 0);
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  ::PostMessageW(window, WM_APP, 1, 0);
  ::PostMessageW(window, WM_APP, 2, 0);
  ::PostQuitMessage(42);
  EXPECT_EQ(manager.Run(), 42);
  EXPECT_EQ(g_received, 3);
  ::DestroyWindow(window);
  ::UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
}

}  // namespace
}  // namespace halyx
