#include "net/benchmark_watcher.h"

#include <memory>

#include <gtest/gtest.h>

#include "echo_server.h"
#include "net/io_loop.h"
#include "net/result_message.h"
#include "result_window.h"
#include "support/log_capture.h"
#include "uv_test_loop.h"

namespace halyx {
namespace {

using testing::EchoServer;
using testing::LogCapture;
using testing::ResultWindow;
using testing::UvTestLoop;

struct Server {
  std::string name;
  std::string host;
  int port;
};

std::shared_ptr<BenchmarkGameConfig> Config(const std::string& id,
                                            const std::vector<Server>& servers, int32_t count,
                                            double frequency) {
  auto config = std::make_shared<BenchmarkGameConfig>();
  config->id = id;
  config->setting = {0, frequency, count};
  config->route = {"r", "R"};
  for (const Server& server : servers) {
    config->servers.push_back({"udp", server.name, "T-" + server.name, server.host,
                               static_cast<uint16_t>(server.port), "NORMAL"});
  }
  return config;
}

std::size_t CountStartingWith(const LogCapture& log, const std::string& prefix) {
  std::size_t count = 0;
  for (const auto& record : log.Records()) count += record.text.rfind(prefix, 0) == 0;
  return count;
}

// Runs one benchmark through a started IoLoop until it is finished.
class BenchmarkRun {
 public:
  BenchmarkRun() : ioLoop_(window_.get()) { ioLoop_.Start(); }

  bool Run(std::shared_ptr<BenchmarkGameConfig> config, DWORD timeoutMs = 8000) {
    const std::string finished = "benchmarak finished: " + config->id;
    ioLoop_.PostGameConfig(std::move(config));
    const bool done =
        window_.PumpUntil([&] { return log_.Has(spdlog::level::info, finished); }, timeoutMs);
    // The last result is posted before the line is written; collect it.
    window_.PumpUntil([] { return false; }, 0);
    return done;
  }

  ResultWindow window_;
  LogCapture log_;
  IoLoop ioLoop_;
};

// The page's texts carry their keys in the library's sorted order and dropRate with a fraction.
TEST(BenchmarkWatcherJson, WritesSortedKeysAndFractionalDropRate) {
  SetAdInfoMessage start;
  start.id = "g1";
  start.route = {"r", "R"};
  start.ads = {{"a", "A", 0, 0.0}};
  EXPECT_EQ(json(start).dump(),
            R"({"ads":[{"dropRate":0.0,"lag":0,"name":"a","title":"A"}],"id":"g1","result":0,)"
            R"("route":{"name":"r","title":"R"},"type":"SetAdInfo"})");
  AdInfoMessage result;
  result.id = "g1";
  result.ad = {"a", "A", 12, 1.0};
  EXPECT_EQ(json(result).dump(),
            R"({"ad":{"dropRate":1.0,"lag":12,"name":"a","title":"A"},"id":"g1","result":0,)"
            R"("type":"AdInfo"})");
}

// An empty list posts one "SetAdInfo" with no ads and ends the run at once.
TEST(BenchmarkWatcher, EmptyListEndsAtOnce) {
  BenchmarkRun run;
  ASSERT_TRUE(run.Run(Config("e", {}, 3, 0.05)));
  ASSERT_EQ(run.window_.Count(kSetAdInfoMessage), 1u);
  EXPECT_EQ(run.window_.messages()[0].text,
            R"({"ads":[],"id":"e","result":0,"route":{"name":"r","title":"R"},"type":"SetAdInfo"})");
  EXPECT_EQ(run.window_.Count(kAdInfoMessage), 0u);
  EXPECT_TRUE(run.log_.Has(spdlog::level::info, "benchmark started: e"));
}

// Real echoes end to end: two servers of one host share a lookup, both are measured and reported.
TEST(BenchmarkWatcher, MeasuresEveryServerOfOneHost) {
  EchoServer echo({"--sockets", "2"});
  ASSERT_TRUE(echo.ok());
  BenchmarkRun run;
  ASSERT_TRUE(run.Run(Config(
      "g", {{"b", "127.0.0.1", echo.ports()[1]}, {"a", "127.0.0.1", echo.ports()[0]}}, 3, 0.05)));
  const auto start = run.window_.Parsed(kSetAdInfoMessage);
  ASSERT_EQ(start.size(), 1u);
  EXPECT_EQ(start[0]["ads"][0]["name"], "b");
  EXPECT_EQ(start[0]["ads"][1]["name"], "a");
  const auto results = run.window_.Parsed(kAdInfoMessage);
  ASSERT_EQ(results.size(), 2u);
  for (const json& result : results) {
    EXPECT_EQ(result["id"], "g");
    EXPECT_EQ(result["ad"]["dropRate"], 0.0);
    EXPECT_EQ(result["ad"]["title"], "T-" + result["ad"]["name"].get<std::string>());
  }
  EXPECT_EQ(CountStartingWith(run.log_, "BenchmarkWatcher latency test to "), 2u);
}

// A host that cannot be resolved is looked up once and every server on it reported lost.
TEST(BenchmarkWatcher, UnresolvableHostReportsItsServersLost) {
  BenchmarkRun run;
  ASSERT_TRUE(run.Run(Config("u", {{"a", "no-such-host.invalid", 1}, {"b", "no-such-host.invalid", 2}},
                             3, 0.05),
                      30000));
  const auto results = run.window_.Parsed(kAdInfoMessage);
  ASSERT_EQ(results.size(), 2u);
  for (const json& result : results) {
    EXPECT_EQ(result["ad"]["lag"], 0);
    EXPECT_EQ(result["ad"]["dropRate"], 1.0);
  }
  EXPECT_EQ(CountStartingWith(run.log_, "BenchmarkWatcher: getaddrinfo failed for no-such-host.invalid: "), 1u);
}

// Two servers with one name: only the first is measured, and the page hears of it once.
TEST(BenchmarkWatcher, DuplicateNameIsMeasuredOnce) {
  EchoServer echo({"--sockets", "2"});
  ASSERT_TRUE(echo.ok());
  BenchmarkRun run;
  ASSERT_TRUE(run.Run(Config(
      "d", {{"a", "127.0.0.1", echo.ports()[0]}, {"a", "127.0.0.1", echo.ports()[1]}}, 2, 0.05)));
  run.window_.PumpUntil([] { return false; }, 200);
  EXPECT_EQ(run.window_.Parsed(kSetAdInfoMessage)[0]["ads"].size(), 2u);
  EXPECT_EQ(run.window_.Count(kAdInfoMessage), 1u);
}

// A second run while one is in progress is refused; the first finishes undisturbed.
TEST(BenchmarkWatcher, SecondStartWhileBusyIsRefused) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  ResultWindow window;
  LogCapture log;
  IoLoop ioLoop(window.get());
  ASSERT_TRUE(ioLoop.Start());
  ioLoop.PostGameConfig(Config("first", {{"a", "127.0.0.1", echo.ports()[0]}}, 5, 0.1));
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kSetAdInfoMessage) == 1; }, 5000));
  ioLoop.PostGameConfig(Config("second", {{"b", "127.0.0.1", echo.ports()[0]}}, 1, 0.1));
  ASSERT_TRUE(window.PumpUntil(
      [&] { return log.Has(spdlog::level::info, "benchmarak finished: first"); }, 5000));
  window.PumpUntil([] { return false; }, 200);
  EXPECT_TRUE(log.Has(spdlog::level::err, "BenchmarkWatcher: already benchmarking"));
  EXPECT_EQ(window.Count(kSetAdInfoMessage), 1u);
  ASSERT_EQ(window.Count(kAdInfoMessage), 1u);
  EXPECT_EQ(window.Parsed(kAdInfoMessage)[0]["id"], "first");
  EXPECT_EQ(window.Parsed(kAdInfoMessage)[0]["ad"]["dropRate"], 0.0);
}

// Count 0 reports the server lost and still ends the run, with the exact text the page reads.
TEST(BenchmarkWatcher, CountZeroStillEndsTheRun) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  BenchmarkRun run;
  ASSERT_TRUE(run.Run(Config("z", {{"a", "127.0.0.1", echo.ports()[0]}}, 0, 0.05)));
  ASSERT_EQ(run.window_.Count(kAdInfoMessage), 1u);
  EXPECT_EQ(run.window_.messages()[1].text,
            R"({"ad":{"dropRate":1.0,"lag":0,"name":"a","title":"T-a"},"id":"z","result":0,"type":"AdInfo"})");
}

// A probe whose socket cannot be set up is reported lost, so the watcher becomes idle again.
TEST(BenchmarkWatcher, FailedProbeSetUpReportsLostAndEndsTheRun) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  ResultWindow window;
  LogCapture log;
  UvTestLoop loop;
  BenchmarkWatcher watcher(loop.get(), window.get());
  int cleanups = 0;
  while (::WSACleanup() == 0) ++cleanups;
  watcher.Start(Config("f", {{"a", "127.0.0.1", echo.ports()[0]}}, 3, 0.05));
  loop.RunUntil([&] { return !watcher.busy(); }, 5000);
  WSADATA data;
  for (int i = 0; i < cleanups; ++i) ::WSAStartup(MAKEWORD(2, 2), &data);
  EXPECT_FALSE(watcher.busy());
  window.PumpUntil([&] { return window.Count(kAdInfoMessage) == 1; }, 2000);
  ASSERT_EQ(window.Count(kAdInfoMessage), 1u);
  EXPECT_EQ(window.Parsed(kAdInfoMessage)[0]["ad"]["dropRate"], 1.0);
  EXPECT_EQ(CountStartingWith(log, "LatencyBenchmark start udp recv failed: "), 1u);
  EXPECT_TRUE(log.Has(spdlog::level::info, "benchmarak finished: f"));
}

// A window that cannot be posted to costs only the messages: each failure is logged, the run ends.
TEST(BenchmarkWatcher, FailedPostsAreLoggedAndFreed) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  HWND gone = nullptr;
  {
    ResultWindow window;
    gone = window.get();
  }
  LogCapture log;
  UvTestLoop loop;
  BenchmarkWatcher watcher(loop.get(), gone);
  watcher.Start(Config("p", {{"a", "127.0.0.1", echo.ports()[0]}}, 2, 0.05));
  ASSERT_TRUE(loop.RunUntil([&] { return !watcher.busy(); }, 5000));
  EXPECT_EQ(CountStartingWith(log, "PostMessageW from benchmark failed: 0x578"), 2u);
  EXPECT_TRUE(log.Has(spdlog::level::info, "benchmarak finished: p"));
}

}  // namespace
}  // namespace halyx
