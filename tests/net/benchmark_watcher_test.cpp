#include "net/benchmark_watcher.h"

#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "net_fixtures.h"
#include "base/window_messages.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::CountLinesStarting;
using testing::EchoServer;
using testing::LogCapture;
using testing::ResultWindow;
using testing::UvTestLoop;

struct Server {
  std::string name;
  std::string host;
  int port;
};

std::shared_ptr<BenchmarkGameConfig> Config(const std::string& id, const std::vector<Server>& servers, int32_t count) {
  auto config = std::make_shared<BenchmarkGameConfig>();
  config->id = id;
  config->setting = {0, 0.05, count};
  config->route = {"r", "R"};
  for (const Server& server : servers) {
    config->servers.push_back(
        {"udp", server.name, "T-" + server.name, server.host, static_cast<uint16_t>(server.port), "NORMAL"});
  }
  return config;
}

// Posts the run and waits for its end.
bool RunToEnd(testing::WatcherRun& run, std::shared_ptr<BenchmarkGameConfig> config) {
  const std::string id = config->id;
  run.ioLoop->PostGameConfig(std::move(config));
  return run.WaitForLine("benchmarak finished: " + id);
}

// The page's texts are exact: keys in sorted order, dropRate with a fraction. An empty list
// posts no ads and ends at once; count 0 reports the server lost (only once its probe is built)
// and still ends the run.
TEST(BenchmarkWatcher, EmptyListAndCountZeroEndTheRunWithExactTexts) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  testing::WatcherRun run;
  ASSERT_TRUE(RunToEnd(run, Config("e", {}, 3)));
  EXPECT_TRUE(run.log.Has(spdlog::level::info, "benchmark started: e"));
  ASSERT_TRUE(RunToEnd(run, Config("z", {{"a", "127.0.0.1", echo.Port()}}, 0)));
  EXPECT_TRUE(run.log.Has(spdlog::level::warn, "LatencyBenchmark: benchmark failed to a (127.0.0.1:" +
                                                   std::to_string(echo.Port()) + "), 0/0 all packets lost"));
  const auto& messages = run.window.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text, R"({"ads":[],"id":"e","result":0,"route":{"name":"r","title":"R"},"type":"SetAdInfo"})");
  EXPECT_EQ(messages[1].text, R"({"ads":[{"dropRate":0.0,"lag":0,"name":"a","title":"T-a"}],"id":"z","result":0,)"
                              R"("route":{"name":"r","title":"R"},"type":"SetAdInfo"})");
  EXPECT_EQ(messages[2].id, kAdInfoMessage);
  EXPECT_EQ(messages[2].text,
            R"({"ad":{"dropRate":1.0,"lag":0,"name":"a","title":"T-a"},"id":"z","result":0,"type":"AdInfo"})");
}

// Real echoes end to end: every server is listed in order and measured once, a repeated name
// only the first time. A second list during the run is refused and leaves it undisturbed.
TEST(BenchmarkWatcher, MeasuresEveryServerOnceAndRefusesASecondRun) {
  EchoServer echo({"--sockets", "2"});
  ASSERT_TRUE(echo.ok());
  testing::WatcherRun run;
  auto config = Config(
      "g", {{"b", "127.0.0.1", echo.Port(1)}, {"a", "127.0.0.1", echo.Port(0)}, {"a", "127.0.0.1", echo.Port(1)}}, 5);
  config->setting.frequency = 0.1;
  run.ioLoop->PostGameConfig(config);
  ASSERT_TRUE(run.window.PumpUntil([&] { return run.window.Count(kSetAdInfoMessage) == 1; }, 10000));
  run.ioLoop->PostGameConfig(Config("second", {{"c", "127.0.0.1", echo.Port()}}, 1));
  ASSERT_TRUE(run.WaitForLine("benchmarak finished: g"));
  run.window.Pump(200);
  EXPECT_TRUE(run.log.Has(spdlog::level::err, "BenchmarkWatcher: already benchmarking"));
  const auto start = run.window.Parsed(kSetAdInfoMessage);
  ASSERT_EQ(start.size(), 1u);
  ASSERT_EQ(start[0]["ads"].size(), 3u);
  EXPECT_EQ(start[0]["ads"][0]["name"], "b");
  EXPECT_EQ(start[0]["ads"][1]["name"], "a");
  std::set<std::string> names;
  for (const json& result : run.window.Parsed(kAdInfoMessage)) {
    EXPECT_EQ(result["id"], "g");
    EXPECT_EQ(result["ad"]["dropRate"], 0.0);
    EXPECT_EQ(result["ad"]["title"], "T-" + result["ad"]["name"].get<std::string>());
    names.insert(result["ad"]["name"].get<std::string>());
  }
  EXPECT_EQ(run.window.Count(kAdInfoMessage), 2u);
  EXPECT_EQ(names, (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(CountLinesStarting(run.log, spdlog::level::info, "BenchmarkWatcher latency test to "), 2u);
}

// A list whose id or texts are not UTF-8 (the results could not be written) is refused with a
// warning before the run begins, and the watcher takes the next list.
TEST(BenchmarkWatcher, TextsThatAreNotUtf8AreRefusedAndTheNextRunGoesAhead) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  testing::WatcherRun run;
  run.ioLoop->PostGameConfig(Config("bad\xff", {{"a", "127.0.0.1", echo.Port()}}, 1));
  ASSERT_TRUE(run.window.PumpUntil(
      [&] { return run.log.Has(spdlog::level::warn, "BenchmarkWatcher: run refused: the id is not UTF-8"); }, 10000));
  auto badTitle = Config("t", {{"a", "127.0.0.1", echo.Port()}}, 1);
  badTitle->servers[0].title = "\xc3";
  run.ioLoop->PostGameConfig(badTitle);
  ASSERT_TRUE(run.window.PumpUntil(
      [&] { return run.log.Has(spdlog::level::warn, "BenchmarkWatcher: run refused: server 0 is not UTF-8"); }, 10000));
  ASSERT_TRUE(RunToEnd(run, Config("good", {{"a", "127.0.0.1", echo.Port()}}, 1)));
  EXPECT_FALSE(run.log.Has(spdlog::level::err, "BenchmarkWatcher: already benchmarking"));
  EXPECT_EQ(run.window.Count(kSetAdInfoMessage), 1u);
  EXPECT_EQ(run.window.Count(kAdInfoMessage), 1u);
}

// Servers given by IPv4 and IPv6 addresses side by side are all measured, each from a socket
// of its own family bound to the default interface.
TEST(BenchmarkWatcher, MeasuresIpv4AndIpv6ServersSideBySide) {
  EchoServer echo4;
  EchoServer echo6({"--ipv6"});
  ASSERT_TRUE(echo4.ok() && echo6.ok());
  testing::WatcherRun run;
  ASSERT_TRUE(RunToEnd(run, Config("v6", {{"four", "127.0.0.1", echo4.Port()}, {"six", "::1", echo6.Port()}}, 3)));
  ASSERT_EQ(run.window.Count(kAdInfoMessage), 2u);
  for (const json& result : run.window.Parsed(kAdInfoMessage)) {
    EXPECT_EQ(result["ad"]["dropRate"], 0.0) << result["ad"]["name"];
  }
  EXPECT_TRUE(run.log.Has(spdlog::level::info,
                          "BenchmarkWatcher latency test to six (::1:" + std::to_string(echo6.Port()) + ")"));
}

// A host that cannot be resolved is looked up once and every server on it reported lost.
TEST(BenchmarkWatcher, UnresolvableHostReportsItsServersLost) {
  testing::WatcherRun run;
  ASSERT_TRUE(RunToEnd(run, Config("u", {{"a", "no-such-host.invalid", 1}, {"b", "no-such-host.invalid", 2}}, 3)));
  const auto results = run.window.Parsed(kAdInfoMessage);
  ASSERT_EQ(results.size(), 2u);
  for (const json& result : results) {
    EXPECT_EQ(result["ad"]["lag"], 0);
    EXPECT_EQ(result["ad"]["dropRate"], 1.0);
  }
  EXPECT_EQ(CountLinesStarting(run.log, spdlog::level::warn,
                               "BenchmarkWatcher: getaddrinfo failed for no-such-host.invalid: "),
            1u);
}

// A probe whose socket cannot be set up is reported lost, so the watcher becomes idle again.
TEST(BenchmarkWatcher, FailedProbeSetUpReportsLostAndEndsTheRun) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  ResultWindow window;
  LogCapture log;
  UvTestLoop loop;
  BenchmarkWatcher watcher(loop.get(), window.get(), ServerAddressPolicy::AllowingLocalServers());
  testing::WithoutWinsock([&] {
    watcher.Start(Config("f", {{"a", "127.0.0.1", echo.Port()}}, 3));
    loop.RunUntil([&] { return !watcher.busy(); }, 10000);
  });
  EXPECT_FALSE(watcher.busy());
  window.PumpUntil([&] { return window.Count(kAdInfoMessage) == 1; }, 5000);
  ASSERT_EQ(window.Count(kAdInfoMessage), 1u);
  EXPECT_EQ(window.Parsed(kAdInfoMessage)[0]["ad"]["dropRate"], 1.0);
  EXPECT_EQ(CountLinesStarting(log, spdlog::level::err, "LatencyBenchmark start udp recv failed: "), 1u);
  EXPECT_TRUE(log.Has(spdlog::level::info, "benchmarak finished: f"));
}

// A window that cannot be posted to costs only the messages: each failure is logged and its
// payload freed, and the run ends.
TEST(BenchmarkWatcher, FailedPostsAreLoggedAndFreed) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  HWND gone = ResultWindow().get();
  LogCapture log;
  UvTestLoop loop;
  BenchmarkWatcher watcher(loop.get(), gone, ServerAddressPolicy::AllowingLocalServers());
  watcher.Start(Config("p", {{"a", "127.0.0.1", echo.Port()}}, 2));
  ASSERT_TRUE(loop.RunUntil([&] { return !watcher.busy(); }, 10000));
  EXPECT_EQ(CountLinesStarting(log, spdlog::level::warn, "PostMessageW from benchmark failed: 0x578"), 2u);
  EXPECT_TRUE(log.Has(spdlog::level::info, "benchmarak finished: p"));
}

}  // namespace
}  // namespace halyx
