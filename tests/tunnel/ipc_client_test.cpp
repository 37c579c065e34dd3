// The IPC client against scripted pipe servers:
// every complete frame is handled as it arrives, bad frames are dropped
// without harm, and only connection-losing errors end the connection.
#include "tunnel/ipc_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "support/log_capture.h"
#include "support/test_pipe_server.h"
#include "tunnel/frame.h"
#include "support/tunnel_stand_ins.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

const std::string kQuery = R"({"result":0,"status":{"config":"c","outbound":"o","running":true},"type":"QueryTunnel"})";
const std::string kOutbound = R"({"result":3,"type":"SetOutboundMode"})";
const std::string kStop = R"({"result":0,"type":"StopTunnel"})";

std::size_t LinesStartingWith(const std::vector<LogCapture::Record>& records, const std::string& start) {
  return std::count_if(records.begin(), records.end(), [&](const auto& r) { return r.text.rfind(start, 0) == 0; });
}

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
  std::vector<std::string> Events(std::vector<std::string> after) {
    after.insert(after.begin(), "connected");
    return after;
  }
  TestPipeServer server;
  RecordingDelegate delegate;
  IpcClient client;
};

// Frames are taken whenever they are complete, however the reads cut them:
// all frames of one read at once, a frame over several reads when whole.
TEST(IpcClientFrames, EveryCompleteFrameIsHandledAsItArrives) {
  Scripted s;
  ASSERT_TRUE(s.server.Write(Frame(kQuery) + Frame(kOutbound) + Frame(kStop)));
  ASSERT_TRUE(s.WaitEvents(4));
  EXPECT_EQ(s.delegate.events, s.Events({kQuery, kOutbound, kStop}));

  const std::string frame = Frame(kQuery);
  ASSERT_TRUE(s.server.Write(frame.substr(0, 2)));
  PumpFor(s.client, 100);
  ASSERT_TRUE(s.server.Write(frame.substr(2, 30)));
  PumpFor(s.client, 100);
  EXPECT_EQ(s.delegate.events.size(), 4u);
  ASSERT_TRUE(s.server.Write(frame.substr(32)));
  ASSERT_TRUE(s.WaitEvents(5));
  EXPECT_EQ(s.delegate.events[4], kQuery);

  const std::string big = R"({"result":0,"status":{"config":")" + std::string(10000, 'x') +
                          R"(","outbound":"o","running":false},"type":"QueryTunnel"})";
  ASSERT_TRUE(s.server.Write(Frame(big)));
  ASSERT_TRUE(s.WaitEvents(6));
  EXPECT_EQ(s.delegate.events[5], big);
}

// The part of a frame left when the connection breaks is not glued to the
// next connection's bytes.
TEST(IpcClientFrames, CutOffFrameIsDiscardedWithTheConnection) {
  Scripted s;
  ASSERT_TRUE(s.server.Write(Frame(kQuery).substr(0, 20)));
  PumpFor(s.client, 100);
  s.server.CloseInstance(0);
  ASSERT_TRUE(s.WaitEvents(2));
  s.client.Connect();  // the second listening instance
  ASSERT_TRUE(s.client.IsConnected());
  ASSERT_TRUE(s.server.Write(Frame(kOutbound), 1));
  ASSERT_TRUE(s.WaitEvents(4));
  EXPECT_EQ(s.delegate.events, s.Events({"disconnected", "connected", kOutbound}));
}

// Frames that are not usable responses are logged and dropped; the
// connection and the frames after them survive.
TEST(IpcClientMessages, UnusableFramesAreDroppedWithOneErrorLine) {
  const std::pair<std::string, std::string> cases[] = {
      // payload, start of the error line
      {"", "IpcClient: parse response failed: ("},
      {"not json", "IpcClient: parse response failed: ("},
      {"[1,2]", "IpcClient: response without a string type dropped (5 bytes)"},
      {"{}", "IpcClient: response without a string type dropped (2 bytes)"},
      {R"({"type":5,"result":0})", "IpcClient: response without a string type dropped"},
      {R"({"type":"Bogus","result":0})", "IpcClient: invalid type (Bogus)"},
      {R"({"type":"LoadConfig","result":0})", "IpcClient: invalid type (LoadConfig)"},
      {R"({"type":"StartTracing","result":0})", "IpcClient: invalid type (StartTracing)"},
      {R"({"type":"StartTunnel","result":"0"})", "IpcClient: convert RespStartTunnel from json failed"},
      {R"({"type":"StartTunnel","result":4294967296})", "IpcClient: convert RespStartTunnel from json failed"},
      {R"({"type":"QueryTunnel","result":0,"status":{"running":1,"config":"","outbound":""}})",
       "IpcClient: convert RespQueryTunnel from json failed"},
      // Refused before parsing: as values it would take tens of MiB.
      {std::string(30000, '[') + std::string(30000, ']'),
       "IpcClient: response nested deeper than 16 levels dropped (60000 bytes)"},
      {R"({"type":"SetOutboundMode","result":[[[[[[[[[[[[[[[[[0]]]]]]]]]]]]]]]]]})",
       "IpcClient: response nested deeper than 16 levels dropped"},
  };
  for (const auto& [payload, line] : cases) {
    SCOPED_TRACE(payload);
    LogCapture log;
    Scripted s;
    ASSERT_TRUE(s.server.Write(Frame(payload) + Frame(kOutbound)));
    ASSERT_TRUE(s.WaitEvents(2));
    EXPECT_EQ(s.delegate.events, s.Events({kOutbound}));
    const auto records = log.Records();
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [&](const auto& r) { return r.level == spdlog::level::err && r.text.rfind(line, 0) == 0; }),
              1);
    EXPECT_TRUE(s.client.IsConnected());
  }
}

// A peer repeating a bad frame writes one line and, once the burst is over,
// one line with the count.
TEST(IpcClientMessages, RepeatedBadFramesAreLoggedOnceWithACount) {
  Scripted s;
  LogCapture log;
  std::string frames;
  for (int i = 0; i < 500; ++i) frames += Frame("not json");
  ASSERT_TRUE(s.server.Write(frames + Frame(kOutbound)));
  ASSERT_TRUE(s.WaitEvents(2));
  s.client.Disconnect();
  const auto records = log.Records();
  ASSERT_EQ(LinesStartingWith(records, "IpcClient: parse response failed"), 1u);
  const std::string first = std::find_if(records.begin(), records.end(), [](const auto& r) {
                              return r.text.rfind("IpcClient: parse response failed", 0) == 0;
                            })->text;
  EXPECT_TRUE(log.Has(spdlog::level::err, "IpcClient: 499 more lines like \"" + first + "\" not written"));
}

TEST(IpcClientMessages, WithoutDelegateResponsesAreStillReadAndLogged) {
  TestPipeServer server;
  IpcClient client(server.name(), IpcClient::AnyServer());
  LogCapture log;
  client.Connect();
  ASSERT_TRUE(server.Write(Frame(kQuery) + Frame(kOutbound)));
  EXPECT_TRUE(
      PumpUntil(client, [&] { return log.Has(spdlog::level::info, "IpcClient: got SetOutboundMode response"); }));
  server.CloseInstance();
  EXPECT_TRUE(PumpUntil(client, [&] { return !client.IsConnected(); }));
}

// Only the connection-losing errors end the connection, exactly once, and the
// delegate hears of it while the transport still exists.
TEST(IpcClientErrors, BrokenPipeDisconnectsOnceAndClosesTheTransport) {
  Scripted s;
  s.server.CloseInstance(0);
  ASSERT_TRUE(s.WaitEvents(2));
  PumpFor(s.client, 100);
  EXPECT_EQ(s.delegate.events, s.Events({"disconnected"}));
  EXPECT_TRUE(s.delegate.eventsValidOnDisconnect);
  EXPECT_FALSE(s.client.IsConnected());
  EXPECT_EQ(s.client.ReadEvent(), nullptr);
  EXPECT_FALSE(s.client.SendQueryTunnel());
}

TEST(IpcClientErrors, OversizedRequestFailsButKeepsTheConnection) {
  Scripted s;
  LogCapture log;
  EXPECT_FALSE(s.client.SendSetConfig("p", "t", 1, std::string(70000, 'i')));
  EXPECT_TRUE(log.Has(spdlog::level::debug, "IpcClient: encountered error (0x7a) but not disconnect"));
  EXPECT_TRUE(s.client.SendQueryTunnel());
  EXPECT_EQ(s.server.ReadExactly(26), std::vector<uint8_t>(BuildFrame(R"({"type":"QueryTunnel"})")));
}

// The largest response is a few hundred bytes; a length above 1 MiB is a
// peer to stop listening to, not a buffer to grow.
TEST(IpcClientErrors, LengthAboveTheCapDropsTheConnection) {
  for (const uint32_t length : {0xFFFFFFFFu, (1u << 20) + 1}) {
    Scripted s;
    LogCapture log;
    std::string header(4, '\0');
    for (int i = 0; i < 4; ++i) header[i] = static_cast<char>(length >> (8 * i));
    ASSERT_TRUE(s.server.Write(header + "{\"type\""));
    ASSERT_TRUE(s.WaitEvents(2));
    EXPECT_EQ(s.delegate.events[1], "disconnected");
    EXPECT_TRUE(log.Has(spdlog::level::err,
                        fmt::format("IpcClient: incoming frame of {} bytes exceeds {}, dropping the connection", length,
                                    IpcClient::kMaxIncomingPayload)));
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

// A peer that floods the pipe does not hold the caller: one read event is
// served for a bounded time, then the client signals its own event and goes
// on at the next call.
TEST(IpcClientReads, FloodIsServedInBoundedTurns) {
  Scripted s;
  constexpr int kFrames = 60000;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::string block;
    for (int i = 0; i < 500; ++i) block += Frame(kOutbound);
    for (int sent = 0; sent < kFrames && !stop; sent += 500) {
      if (!s.server.Write(block)) break;
    }
  });
  ASSERT_TRUE(WaitSignalled(s.client.ReadEvent()));
  s.client.OnReadEvent();
  const std::size_t firstTurn = s.delegate.events.size() - 1;
  EXPECT_GT(firstTurn, 0u);
  EXPECT_LT(firstTurn, static_cast<std::size_t>(kFrames));
  // The rest is left for the next turn, which the event announces.
  EXPECT_EQ(::WaitForSingleObject(s.client.ReadEvent(), 0), WAIT_OBJECT_0);
  s.client.OnReadEvent();
  EXPECT_GT(s.delegate.events.size() - 1, firstTurn);
  EXPECT_TRUE(PumpUntil(
      s.client, [&] { return s.delegate.events.size() >= kFrames + 1; }, 60000));
  stop = true;
  s.client.Disconnect();
  writer.join();
}

// Requests offered while a write is in flight wait their turn, in order, up
// to a bound. A one-byte pipe buffer keeps each write in flight until read.
TEST(IpcClientWrites, RequestsBehindAWriteInFlightGoOutInOrder) {
  Scripted s(1);
  ASSERT_TRUE(s.client.SendStartTunnel());
  ASSERT_TRUE(s.client.SendQueryTunnel());
  ASSERT_TRUE(s.client.SendStopTracing());
  const std::string expected =
      Frame(R"({"type":"StartTunnel"})") + Frame(R"({"type":"QueryTunnel"})") + Frame(R"({"type":"StopTracing"})");
  std::vector<uint8_t> got;
  std::thread reader([&] { got = s.server.ReadExactly(expected.size()); });
  PumpUntil(
      s.client, [&] { return s.server.Available() == 0 && got.size() == expected.size(); }, 5000);
  reader.join();
  EXPECT_EQ(std::string(got.begin(), got.end()), expected);
}

// Requests accepted but not yet written when the connection goes are each
// reported once, in order, after the disconnection.
TEST(IpcClientWrites, RequestsNotWrittenWhenTheConnectionGoesAreReportedDropped) {
  Scripted s(1);
  ASSERT_TRUE(s.client.SendStartTunnel());  // in flight: nobody reads
  ASSERT_TRUE(s.client.SendStopTunnel());
  ASSERT_TRUE(s.client.SendSetConfig("p", "t", 1, "i"));
  ASSERT_TRUE(s.client.SendStartTracing("h", 1));
  ASSERT_TRUE(s.client.SendQueryTunnel());
  s.server.CloseInstance(0);
  ASSERT_TRUE(s.WaitEvents(7));
  PumpFor(s.client, 100);
  EXPECT_EQ(s.delegate.events, s.Events({"disconnected", "dropped StartTunnel", "dropped StopTunnel",
                                         "dropped SetConfig", "dropped StartTracing", "dropped QueryTunnel"}));
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

}  // namespace
}  // namespace halyx
