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

  const auto frame = BuildFrame(Serialized(ReqQueryTunnel()));
  EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string("\x16\0\0\0", 4) + R"({"type":"QueryTunnel"})");
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
  set.adInfo = "caf\xC3\xA9";
  EXPECT_TRUE(SerializeMessage(set, text));
}

// "result" accepts any number or boolean and nothing else, an integer only
// within 32 bits; the type must match.
TEST(ServiceMessages, ResultConvertsNumbersAndBooleansOfItsOwnTypeOnly) {
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
      {R"({"type":"StartTunnel","result":2147483647})", true, std::numeric_limits<int32_t>::max()},
      {R"({"type":"StartTunnel","result":-2147483648})", true, std::numeric_limits<int32_t>::min()},
      {R"({"type":"StartTunnel","result":2147483648})", false, 0},
      {R"({"type":"StartTunnel","result":-2147483649})", false, 0},
      {R"({"type":"StartTunnel","result":4294967295})", false, 0},
      {R"({"type":"StartTunnel","result":4294967296})", false, 0},
      {R"({"type":"StartTunnel","result":18446744073709551615})", false, 0},
      {R"({"type":"StartTunnel","result":1e300})", true, std::numeric_limits<int32_t>::max()},
      {R"({"type":"StartTunnel","result":-1e300})", true, std::numeric_limits<int32_t>::min()},
      {R"({"type":"StartTunnel","result":5,"extra":{"x":[1,2]}})", true, 5},
      {R"({"type":"StartTunnel","result":"0"})", false, 0},
      {R"({"type":"StartTunnel","result":null})", false, 0},
      {R"({"type":"StartTunnel","result":[0]})", false, 0},
      {R"({"type":"StartTunnel"})", false, 0},
      {R"({"type":"StopTunnel","result":0})", false, 0},
      {R"({"type":7,"result":0})", false, 0},
      {R"({"result":0})", false, 0},
      {R"(["StartTunnel",0])", false, 0},
      {R"("StartTunnel")", false, 0},
  };
  for (const auto& c : cases) {
    RespStartTunnel response;
    EXPECT_EQ(response.Read(json::parse(c.text)), c.ok) << c.text;
    EXPECT_EQ(c.ok ? response.result : 0, c.result) << c.text;
  }
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

}  // namespace
}  // namespace halyx
