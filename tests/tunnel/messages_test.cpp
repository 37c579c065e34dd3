// Requests serialise to the service's exact JSON; responses read leniently
// where services differ and strictly where a wrong value would mislead.
#include "tunnel/messages.h"

#include <limits>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "tunnel/frame.h"

namespace halyx {
namespace {

std::string Serialized(const ToJson& message) {
  std::string text;
  EXPECT_TRUE(SerializeMessage(message, text));
  return text;
}

TEST(ServiceMessages, RequestsSerialiseCompactWithKeysInOrder) {
  EXPECT_EQ(Serialized(ReqStartTunnel()), R"({"type":"StartTunnel"})");
  EXPECT_EQ(Serialized(ReqStopTunnel()), R"({"type":"StopTunnel"})");
  EXPECT_EQ(Serialized(ReqStopTracing()), R"({"type":"StopTracing"})");

  ReqLoadConfig load;
  load.path = R"(C:\ProgramData\QuorVPN\conf\home.conf)";
  EXPECT_EQ(Serialized(load), R"({"path":"C:\\ProgramData\\QuorVPN\\conf\\home.conf","type":"LoadConfig"})");

  ReqSetConfig set;
  set.path = "p";
  set.adToken = "tok";
  set.adType = -3;
  set.adInfo = "{\"a\":1}";
  EXPECT_EQ(Serialized(set), R"({"adInfo":"{\"a\":1}","adToken":"tok","adType":-3,"path":"p","type":"SetConfig"})");

  ReqStartTracing tracing;
  tracing.host = "10.0.0.1";
  tracing.port = 65535;
  EXPECT_EQ(Serialized(tracing), R"({"host":"10.0.0.1","port":65535,"type":"StartTracing"})");
}

TEST(ServiceMessages, QueryTunnelRequestIsTheExactFrameBytes) {
  const auto frame = BuildFrame(Serialized(ReqQueryTunnel()));
  const std::string expected = std::string("\x16\x00\x00\x00", 4) + R"({"type":"QueryTunnel"})";
  EXPECT_EQ(std::string(frame.begin(), frame.end()), expected);
}

TEST(ServiceMessages, RequestWithInvalidUtf8IsRefusedNotThrown) {
  testing::LogCapture log;
  ReqLoadConfig load;
  load.path = "C:\\conf\\caf\xE9.conf";  // Windows-1252, as the narrow file functions give it
  std::string text = "untouched";
  EXPECT_FALSE(SerializeMessage(load, text));
  EXPECT_EQ(text, "untouched");
  ASSERT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  EXPECT_EQ(log.Records().back().text.rfind("IpcClient: LoadConfig request not sent, a field is not UTF-8", 0), 0u);

  ReqSetConfig set;
  set.adInfo = "\xC3";  // truncated sequence
  EXPECT_FALSE(SerializeMessage(set, text));
  set.adInfo = "caf\xC3\xA9";  // the same text in UTF-8 goes through
  EXPECT_TRUE(SerializeMessage(set, text));
}

// "result" accepts any number or boolean and nothing else.
TEST(ServiceMessages, ResultConvertsNumbersAndBooleans) {
  const struct {
    const char* text;
    bool ok;
    int32_t result;
  } cases[] = {
      {R"({"type":"StartTunnel","result":0})", true, 0},
      {R"({"type":"StartTunnel","result":true})", true, 1},
      {R"({"type":"StartTunnel","result":false})", true, 0},
      {R"({"type":"StartTunnel","result":2.9})", true, 2},
      {R"({"type":"StartTunnel","result":-2.9})", true, -2},
      {R"({"type":"StartTunnel","result":-7})", true, -7},
      {R"({"type":"StartTunnel","result":4294967295})", true, -1},
      {R"({"type":"StartTunnel","result":1e300})", true, std::numeric_limits<int32_t>::max()},
      {R"({"type":"StartTunnel","result":-1e300})", true, std::numeric_limits<int32_t>::min()},
      {R"({"type":"StartTunnel","result":"0"})", false, 0},
      {R"({"type":"StartTunnel","result":null})", false, 0},
      {R"({"type":"StartTunnel","result":[0]})", false, 0},
      {R"({"type":"StartTunnel"})", false, 0},
      {R"({"type":"StartTunnel","result":5,"extra":{"x":[1,2]}})", true, 5},
  };
  for (const auto& c : cases) {
    RespStartTunnel response;
    EXPECT_EQ(response.Read(json::parse(c.text)), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(response.result, c.result) << c.text;
    }
  }
}

TEST(ServiceMessages, ResponseOfAnotherTypeIsNotRead) {
  RespStartTunnel response;
  EXPECT_FALSE(response.Read(json::parse(R"({"type":"StopTunnel","result":0})")));
  EXPECT_FALSE(response.Read(json::parse(R"({"type":7,"result":0})")));
  EXPECT_FALSE(response.Read(json::parse(R"({"result":0})")));
  EXPECT_FALSE(response.Read(json::parse(R"(["StartTunnel",0])")));
  EXPECT_FALSE(response.Read(json::parse(R"("StartTunnel")")));

  RespSetOutboundMode outbound;
  EXPECT_TRUE(outbound.Read(json::parse(R"({"type":"SetOutboundMode","result":3})")));
  EXPECT_EQ(outbound.result, 3);
}

TEST(ServiceMessages, QueryTunnelStatusIsStrictAboutItsTypes) {
  RespQueryTunnel response;
  EXPECT_TRUE(response.Read(json::parse(
      R"({"type":"QueryTunnel","result":0,"status":{"running":true,"config":"home","outbound":"rule","pid":12}})")));
  EXPECT_TRUE(response.status.running);
  EXPECT_EQ(response.status.config, "home");
  EXPECT_EQ(response.status.outbound, "rule");

  for (const char* bad : {
           R"({"type":"QueryTunnel","result":0,"status":{"running":1,"config":"","outbound":""}})",
           R"({"type":"QueryTunnel","result":0,"status":{"config":"","outbound":""}})",
           R"({"type":"QueryTunnel","result":0,"status":{"running":false,"config":null,"outbound":""}})",
           R"({"type":"QueryTunnel","result":0,"status":{"running":false,"config":""}})",
           R"({"type":"QueryTunnel","result":0,"status":"running"})",
           R"({"type":"QueryTunnel","result":0})",
       }) {
    RespQueryTunnel failed;
    EXPECT_FALSE(failed.Read(json::parse(bad))) << bad;
  }
}

TEST(ServiceMessages, ResponsesWriteBackOutForThePage) {
  RespQueryTunnel query;
  EXPECT_FALSE(query.status.running);
  ASSERT_TRUE(query.Read(json::parse(
      R"({"status":{"outbound":"global","running":true,"config":"c:\\a b"},"result":true,"type":"QueryTunnel"})")));
  json out;
  query.Write(out);
  EXPECT_EQ(out.dump(), R"({"result":1,"status":{"config":"c:\\a b","outbound":"global","running":true},"type":"QueryTunnel"})");

  RespSetConfig set;
  set.result = -5;
  set.Write(out);
  EXPECT_EQ(out.dump(), R"({"result":-5,"type":"SetConfig"})");
}

}  // namespace
}  // namespace halyx
