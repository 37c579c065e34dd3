// The IPC client against scripted pipe servers and the stand-in service:
// every complete frame is handled as it arrives, bad frames are dropped
// without harm, and only connection-losing errors end the connection.
#include "tunnel/ipc_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "stand_ins.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_pipe_server.h"
#include "tunnel/frame.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using ::halyx::testing::PumpFor;
using ::halyx::testing::PumpUntil;
using ::halyx::testing::RecordingDelegate;
using ::halyx::testing::StandInConsole;
using ::halyx::testing::TestPipeServer;

std::string Frame(const std::string& payload) {
  const auto frame = BuildFrame(payload);
  return std::string(frame.begin(), frame.end());
}

const std::string kQueryResponse =
    R"({"result":0,"status":{"config":"c","outbound":"o","running":true},"type":"QueryTunnel"})";
const std::string kOutbound = R"({"result":3,"type":"SetOutboundMode"})";

// A client connected to a scripted server, with a recording delegate.
struct Scripted {
  explicit Scripted(DWORD bufferSize = 65536) : server(2, bufferSize), client(server.name(), IpcClient::AnyServer()) {
    delegate.client = &client;
    client.SetDelegate(&delegate);
    client.Connect();
  }
  bool WaitEvents(std::size_t count) {
    return PumpUntil(client, [&] { return delegate.events.size() >= count; });
  }
  TestPipeServer server;
  RecordingDelegate delegate;
  IpcClient client;
};

// Frames are taken whenever they are complete, however the reads cut them.
TEST(IpcClientFrames, SplitFrameIsHandledWhenItsLastByteArrives) {
  Scripted s;
  const std::string frame = Frame(kQueryResponse);
  ASSERT_TRUE(s.server.Write(frame.substr(0, 2)));
  PumpFor(s.client, 100);
  ASSERT_TRUE(s.server.Write(frame.substr(2, 30)));
  PumpFor(s.client, 100);
  EXPECT_EQ(s.delegate.events, std::vector<std::string>{"connected"});
  ASSERT_TRUE(s.server.Write(frame.substr(32)));
  ASSERT_TRUE(s.WaitEvents(2));
  EXPECT_EQ(s.delegate.events[1], kQueryResponse);
}

TEST(IpcClientFrames, EveryFrameOfOneReadIsHandledWithoutAnotherRequest) {
  Scripted s;
  ASSERT_TRUE(s.server.Write(Frame(kQueryResponse) + Frame(kOutbound) + Frame(R"({"result":0,"type":"StopTunnel"})")));
  ASSERT_TRUE(s.WaitEvents(4));
  EXPECT_EQ(s.delegate.events, (std::vector<std::string>{"connected", kQueryResponse, kOutbound,
                                                          R"({"result":0,"type":"StopTunnel"})"}));
}

TEST(IpcClientFrames, ResponseLargerThanOneReadArrivesWhole) {
  Scripted s;
  const std::string config(10000, 'x');
  const std::string big =
      R"({"result":0,"status":{"config":")" + config + R"(","outbound":"o","running":false},"type":"QueryTunnel"})";
  ASSERT_TRUE(s.server.Write(Frame(big)));
  ASSERT_TRUE(s.WaitEvents(2));
  EXPECT_EQ(s.delegate.events[1], big);
}

TEST(IpcClientFrames, CutOffFrameIsDiscardedWithTheConnection) {
  Scripted s;
  ASSERT_TRUE(s.server.Write(Frame(kQueryResponse).substr(0, 20)));
  PumpFor(s.client, 100);
  s.server.CloseInstance(0);
  ASSERT_TRUE(s.WaitEvents(2));
  EXPECT_EQ(s.delegate.events[1], "disconnected");

  s.client.Connect();  // the second listening instance
  ASSERT_TRUE(s.client.IsConnected());
  ASSERT_TRUE(s.server.Write(Frame(kOutbound), 1));
  ASSERT_TRUE(s.WaitEvents(4));
  EXPECT_EQ(s.delegate.events[3], kOutbound);
}

// Frames that are not usable responses are logged and dropped; the
// connection and the frames after them survive.
TEST(IpcClientMessages, UnusableFramesAreDroppedWithOneErrorLine) {
  struct Case {
    std::string payload;
    std::string line;  // prefix of the expected error line
  };
  const Case cases[] = {
      {"", "IpcClient: parse response failed: ("},
      {"not json", "IpcClient: parse response failed: ("},
      {"[1,2]", "IpcClient: response without a string type dropped (5 bytes)"},
      {"{}", "IpcClient: response without a string type dropped (2 bytes)"},
      {R"({"type":5,"result":0})", "IpcClient: response without a string type dropped"},
      {R"({"type":"Bogus","result":0})", "IpcClient: invalid type (Bogus)"},
      {R"({"type":"LoadConfig","result":0})", "IpcClient: invalid type (LoadConfig)"},
      {R"({"type":"StartTracing","result":0})", "IpcClient: invalid type (StartTracing)"},
      {R"({"type":"StopTracing","result":0})", "IpcClient: invalid type (StopTracing)"},
      {R"({"type":"StartTunnel","result":"0"})", "IpcClient: convert RespStartTunnel from json failed"},
      {R"({"type":"QueryTunnel","result":0,"status":{"running":1,"config":"","outbound":""}})",
       "IpcClient: convert RespQueryTunnel from json failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    LogCapture log;
    Scripted s;
    ASSERT_TRUE(s.server.Write(Frame(c.payload) + Frame(kOutbound)));
    ASSERT_TRUE(s.WaitEvents(2));
    EXPECT_EQ(s.delegate.events, (std::vector<std::string>{"connected", kOutbound}));
    const auto records = log.Records();
    const auto errors = std::count_if(records.begin(), records.end(), [&](const LogCapture::Record& r) {
      return r.level == spdlog::level::err && r.text.rfind(c.line, 0) == 0;
    });
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(s.client.IsConnected());
  }
}

TEST(IpcClientMessages, WithoutDelegateResponsesAreStillReadAndLogged) {
  TestPipeServer server;
  IpcClient client(server.name(), IpcClient::AnyServer());
  LogCapture log;
  client.Connect();
  ASSERT_TRUE(server.Write(Frame(kQueryResponse) + Frame(kOutbound)));
  EXPECT_TRUE(PumpUntil(client, [&] { return log.Has(spdlog::level::info, "IpcClient: got SetOutboundMode response"); }));
  EXPECT_TRUE(log.Has(spdlog::level::debug, "IpcClient: got QueryTunnel response"));
  server.CloseInstance();
  EXPECT_TRUE(PumpUntil(client, [&] { return !client.IsConnected(); }));
}

// Only the connection-losing errors end the connection, exactly once.
TEST(IpcClientErrors, BrokenPipeDisconnectsOnceAndClosesTheTransport) {
  Scripted s;
  s.server.CloseInstance(0);
  ASSERT_TRUE(s.WaitEvents(2));
  PumpFor(s.client, 100);
  EXPECT_EQ(s.delegate.events, (std::vector<std::string>{"connected", "disconnected"}));
  EXPECT_TRUE(s.delegate.eventsValidOnDisconnect);
  EXPECT_FALSE(s.client.IsConnected());
  EXPECT_EQ(s.client.ReadEvent(), nullptr);
  EXPECT_EQ(s.client.WriteEvent(), nullptr);
  EXPECT_FALSE(s.client.SendQueryTunnel());
}

TEST(IpcClientErrors, OversizedRequestFailsButKeepsTheConnection) {
  Scripted s;
  LogCapture log;
  EXPECT_FALSE(s.client.SendSetConfig("p", "t", 1, std::string(70000, 'i')));
  EXPECT_TRUE(log.Has(spdlog::level::debug, "IpcClient: encountered error (0x7a) but not disconnect"));
  EXPECT_TRUE(s.client.IsConnected());
  EXPECT_TRUE(s.client.SendQueryTunnel());
  EXPECT_EQ(s.server.ReadExactly(26), std::vector<uint8_t>(BuildFrame(R"({"type":"QueryTunnel"})")));
}

TEST(IpcClientErrors, LengthAboveTheCapDropsTheConnection) {
  for (const uint32_t length : {0xFFFFFFFFu, IpcClient::kMaxIncomingPayload + 1}) {
    Scripted s;
    LogCapture log;
    std::string header(4, '\0');
    for (int i = 0; i < 4; ++i) header[i] = static_cast<char>(length >> (8 * i));
    ASSERT_TRUE(s.server.Write(header + "{\"type\""));
    ASSERT_TRUE(s.WaitEvents(2));
    EXPECT_EQ(s.delegate.events[1], "disconnected");
    EXPECT_TRUE(log.Has(spdlog::level::err, fmt::format("IpcClient: incoming frame of {} bytes exceeds {}, "
                                                        "dropping the connection",
                                                        length, IpcClient::kMaxIncomingPayload)));
  }
}

TEST(IpcClientErrors, MissingPipeReportsFileNotFound) {
  LogCapture log;
  RecordingDelegate delegate;
  IpcClient client(R"(\\.\pipe\QuorVPN\nobody-here)", IpcClient::AnyServer());
  client.SetDelegate(&delegate);
  client.Connect();
  EXPECT_EQ(delegate.events, std::vector<std::string>{"connect-failed 2"});
  EXPECT_TRUE(log.Has(spdlog::level::err, "IpcClient: pipe connect failed (0x2)"));
}

// Requests offered while a write is in flight wait their turn, up to a bound.
TEST(IpcClientWrites, RequestsBehindAWriteInFlightGoOutInOrder) {
  Scripted s(1);  // a one-byte pipe buffer keeps each write in flight until read
  ASSERT_TRUE(s.client.SendStartTunnel());
  ASSERT_TRUE(s.client.SendQueryTunnel());
  ASSERT_TRUE(s.client.SendStopTracing());
  const std::string expected =
      Frame(R"({"type":"StartTunnel"})") + Frame(R"({"type":"QueryTunnel"})") + Frame(R"({"type":"StopTracing"})");
  std::vector<uint8_t> got;
  std::thread reader([&] { got = s.server.ReadExactly(expected.size()); });
  PumpUntil(s.client, [&] { return s.server.Available() == 0 && got.size() == expected.size(); }, 5000);
  reader.join();
  EXPECT_EQ(std::string(got.begin(), got.end()), expected);
}

TEST(IpcClientWrites, QueueBeyondItsBoundRefusesTheRequest) {
  Scripted s(1);
  LogCapture log;
  ASSERT_TRUE(s.client.SendQueryTunnel());  // in flight: nobody reads
  for (std::size_t i = 0; i < IpcClient::kMaxQueuedRequests; ++i) ASSERT_TRUE(s.client.SendQueryTunnel());
  EXPECT_FALSE(s.client.SendQueryTunnel());
  EXPECT_TRUE(log.Has(spdlog::level::err, "IpcClient: 64 requests already wait for the pipe, request not sent"));
  EXPECT_TRUE(s.client.IsConnected());
}

// A client connected to a stand-in service run with `options`.
struct WithStandIn {
  explicit WithStandIn(const wchar_t* options) : service(options), client(service.pipeName(), IpcClient::AnyServer()) {
    client.SetDelegate(&delegate);
    client.Connect();
  }
  StandInConsole service;
  RecordingDelegate delegate;
  IpcClient client;
};

// The stand-in service answers as the exchange rules say and keeps its state.
TEST(IpcClientWithStandIn, ExchangeFollowsTheRulesAndStateIsKept) {
  StandInConsole service(L"--outbound global");
  ASSERT_TRUE(service.ready());
  ::halyx::testing::ScopedTempDir dir;
  const std::wstring wide = dir.path() + L"\\home.conf";
  const std::string path(wide.begin(), wide.end());
  FileHandle file(::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), "x\r\n", 3, &written, nullptr);
  file.reset();

  RecordingDelegate delegate;
  auto first = std::make_unique<IpcClient>(service.pipeName(), IpcClient::AnyServer());
  IpcClient& client = *first;
  client.SetDelegate(&delegate);
  client.Connect();
  ASSERT_TRUE(client.IsConnected());
  client.SendLoadConfig(path + ".missing");  // taken without an answer
  client.SendStartTracing("h", 1);
  client.SendStopTracing();
  client.SendSetConfig(path + ".missing", "", 0, "");
  client.SendSetConfig(path, "t", 2, "i");
  client.SendStartTunnel();
  client.SendQueryTunnel();
  ASSERT_TRUE(PumpUntil(client, [&] { return delegate.events.size() >= 5; }));
  json status = json::parse(delegate.events[4]);
  EXPECT_EQ(delegate.events[1], R"({"result":201,"type":"SetConfig"})");
  EXPECT_EQ(delegate.events[2], R"({"result":0,"type":"SetConfig"})");
  EXPECT_EQ(delegate.events[3], R"({"result":0,"type":"StartTunnel"})");
  EXPECT_EQ(status["status"]["config"], path);
  EXPECT_EQ(status["status"]["outbound"], "global");
  EXPECT_EQ(status["status"]["running"], true);

  // The next client, after this one has gone, sees the same state.
  first.reset();
  IpcClient second(service.pipeName(), IpcClient::AnyServer());
  RecordingDelegate secondDelegate;
  second.SetDelegate(&secondDelegate);
  ASSERT_TRUE(PumpUntil(second, [&] {
    if (!second.IsConnected()) second.Connect();
    return second.IsConnected();
  }));
  second.SendQueryTunnel();
  ASSERT_TRUE(PumpUntil(second, [&] { return secondDelegate.events.back()[0] == '{'; }));
  EXPECT_EQ(json::parse(secondDelegate.events.back())["status"]["running"], true);
}

TEST(IpcClientWithStandIn, SplitAndMergedAnswersAreAllDelivered) {
  WithStandIn s(L"--split --merge --delay 20");
  ASSERT_TRUE(s.service.ready());
  IpcClient& client = s.client;
  RecordingDelegate& delegate = s.delegate;
  client.SendQueryTunnel();
  client.SendStopTunnel();
  ASSERT_TRUE(PumpUntil(client, [&] { return delegate.events.size() >= 5; }));
  EXPECT_EQ(delegate.events[2], R"({"result":0,"type":"SetOutboundMode"})");
  EXPECT_EQ(delegate.events[3], R"({"result":0,"type":"StopTunnel"})");
  EXPECT_EQ(delegate.events[4], R"({"result":0,"type":"SetOutboundMode"})");
}

TEST(IpcClientWithStandIn, FaultyServiceEndsTheConnectionOnly) {
  for (const wchar_t* fault : {L"--oversized", L"--drop-after 1", L"--malformed --drop-after 1"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(fault)));
    WithStandIn s(fault);
    ASSERT_TRUE(s.service.ready());
    IpcClient& client = s.client;
    RecordingDelegate& delegate = s.delegate;
    client.SendQueryTunnel();
    ASSERT_TRUE(PumpUntil(client, [&] { return !delegate.events.empty() && delegate.events.back() == "disconnected"; }));
    EXPECT_FALSE(client.IsConnected());
  }
}

TEST(IpcClientWithStandIn, PushedFramesArriveWithoutRequests) {
  WithStandIn s(L"--push-every 50");
  ASSERT_TRUE(s.service.ready());
  IpcClient& client = s.client;
  RecordingDelegate& delegate = s.delegate;
  ASSERT_TRUE(PumpUntil(client, [&] { return delegate.events.size() >= 3; }));
  EXPECT_EQ(delegate.events[2], R"({"result":0,"type":"SetOutboundMode"})");
}

}  // namespace
}  // namespace halyx
