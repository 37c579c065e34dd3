#include "net/latency_benchmark.h"

#include <memory>
#include <optional>
#include <tuple>

#include <gtest/gtest.h>

#include "net_fixtures.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::CountLinesStarting;
using testing::EchoServer;
using testing::LogCapture;
using testing::UvTestLoop;

struct Result {
  std::string name;
  std::string title;
  int32_t lag;
  double dropRate;
};

// Records the one result and, as the watcher does, destroys the probe from inside the call.
struct Recorder : BenchmarkTaskDelegate {
  void OnBenchmarkResult(const std::string& name, const std::string& title, int32_t lag, double dropRate) override {
    ++calls;
    result = Result{name, title, lag, dropRate};
    probe.reset();
  }

  void Start(UvTestLoop& loop, const EchoServer& echo, int32_t count, double frequency, bool ipv6 = false) {
    sockaddr_storage target{};
    if (ipv6) {
      uv_ip6_addr("::1", echo.Port(), reinterpret_cast<sockaddr_in6*>(&target));
    } else {
      uv_ip4_addr("127.0.0.1", echo.Port(), reinterpret_cast<sockaddr_in*>(&target));
    }
    probe = std::make_shared<LatencyBenchmark>(loop.get(), -1, reinterpret_cast<const sockaddr*>(&target), "jp-1",
                                               "Tokyo", count, this, frequency);
    probe->Start(0);
  }

  std::shared_ptr<LatencyBenchmark> probe;
  std::optional<Result> result;
  int calls = 0;
};

// Runs one probe against `echo` and returns what it reported.
std::optional<Result> Measure(const EchoServer& echo, int32_t count, double frequency, bool ipv6 = false) {
  UvTestLoop loop;
  Recorder recorder;
  recorder.Start(loop, echo, count, frequency, ipv6);
  EXPECT_TRUE(recorder.probe->ready());
  loop.RunUntil([&] { return recorder.calls > 0; }, 30000);
  EXPECT_EQ(recorder.calls, 1);
  recorder.probe.reset();
  return recorder.result;
}

// Ten probes at 0.2 s keep their spacing (no burst), all echoed: no loss, a loopback lag and
// a summary line.
TEST(LatencyBenchmark, EchoedProbesKeepTheirScheduleAndReportNoLoss) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  LogCapture log;
  const DWORD begin = ::GetTickCount();
  const auto result = Measure(echo, 10, 0.2);
  const DWORD elapsed = ::GetTickCount() - begin;
  ASSERT_TRUE(result);
  EXPECT_EQ(result->name, "jp-1");
  EXPECT_EQ(result->title, "Tokyo");
  EXPECT_DOUBLE_EQ(result->dropRate, 0.0);
  EXPECT_LT(result->lag, 1000);
  EXPECT_GE(elapsed, 1800u);
  EXPECT_EQ(CountLinesStarting(log, spdlog::level::warn,
                               "LatencyBenchmark: latency test: jp-1 (127.0.0.1:" + std::to_string(echo.Port()) +
                                   ") 10/10 packets received, min/avg/max: "),
            1u);
}

// Odd echoes and odd settings: foreign or missing echoes count as lost (with a warning),
// duplicates never give a negative loss, negative settings are held to zero.
TEST(LatencyBenchmark, CountsOnlyTheProbesOwnEchoes) {
  struct Case {
    std::vector<std::string> options;
    int32_t count;
    double frequency;
    double dropRate;
    std::string warning;  // empty: none expected
    DWORD minMs = 0;      // waits this long for late echoes
  };
  const Case cases[] = {
      {{"--truncate"}, 2, 0.05, 1.0, "LatencyBenchmark: jp-1 data length mismatch, expect: 8, got: 7"},
      {{"--extend"}, 2, 0.05, 1.0, "LatencyBenchmark: jp-1 data length mismatch, expect: 8, got: 9"},
      {{"--other-port"}, 2, 0.05, 1.0, "LatencyBenchmark: target mismatch, recv packet from: 127.0.0.1"},
      {{"--drop", "0.1"}, 10, 0.02, 0.1, "LatencyBenchmark: jp-1 expected to send 10, already sent 10", 9 * 20 + 1000},
      {{}, -3, 0.05, 1.0, ""},
      {{}, 2, -1.0, 0.0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.options.empty() ? "" : c.options[0]) + " count " + std::to_string(c.count));
    EchoServer echo(c.options);
    ASSERT_TRUE(echo.ok());
    LogCapture log;
    const DWORD begin = ::GetTickCount();
    const auto result = Measure(echo, c.count, c.frequency);
    EXPECT_GE(::GetTickCount() - begin, c.minMs);
    ASSERT_TRUE(result);
    EXPECT_DOUBLE_EQ(result->dropRate, c.dropRate);
    if (c.dropRate == 1.0) {
      EXPECT_EQ(result->lag, 0);
    }
    if (!c.warning.empty()) {
      EXPECT_TRUE(log.Has(spdlog::level::warn, c.warning));
    }
  }
}

// A server with an IPv6 address is probed from a socket of its family, and answers.
TEST(LatencyBenchmark, ProbesAnIpv6Server) {
  EchoServer echo({"--ipv6"});
  ASSERT_TRUE(echo.ok());
  LogCapture log;
  const auto result = Measure(echo, 3, 0.05, true);
  ASSERT_TRUE(result);
  EXPECT_DOUBLE_EQ(result->dropRate, 0.0);
  EXPECT_EQ(CountLinesStarting(
                log, spdlog::level::warn,
                "LatencyBenchmark: latency test: jp-1 (::1:" + std::to_string(echo.Port()) + ") 3/3 packets received"),
            1u);
}

// A duplicating network counts each probe once: every probe is still sent, the copies are
// logged and never counted.
TEST(LatencyBenchmark, DuplicatedEchoesCountOncePerProbe) {
  EchoServer echo({"--duplicate"});
  ASSERT_TRUE(echo.ok());
  LogCapture log;
  const auto result = Measure(echo, 4, 0.05);
  ASSERT_TRUE(result);
  EXPECT_DOUBLE_EQ(result->dropRate, 0.0);
  EXPECT_EQ(CountLinesStarting(log, spdlog::level::warn,
                               "LatencyBenchmark: latency test: jp-1 (127.0.0.1:" + std::to_string(echo.Port()) +
                                   ") 4/4 packets received"),
            1u);
  EXPECT_GE(CountLinesStarting(log, spdlog::level::warn, "LatencyBenchmark: jp-1 echo carries a time not sent: "), 1u);
}

// A tick more than one interval late restarts the schedule at once instead of stalling the run.
TEST(LatencyBenchmark, LateTickDoesNotStallTheRun) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  UvTestLoop loop;
  Recorder recorder;
  recorder.Start(loop, echo, 3, 0.05);
  loop.After(5, [] { ::Sleep(200); });  // holds the loop four intervals after the first probe
  ASSERT_TRUE(loop.RunUntil([&] { return recorder.calls > 0; }, 10000));
  EXPECT_DOUBLE_EQ(recorder.result->dropRate, 0.0);
}

// The summary truncates the average and never reports a negative loss.
TEST(LatencyBenchmark, SummarizesRoundTrips) {
  struct Case {
    std::vector<uint64_t> rtts;
    int32_t sent;
    LatencySummary expected;
  };
  const Case cases[] = {
      {{10, 11, 13}, 3, {10, 11, 13, 0.0}},
      {{13, 10, 11}, 4, {10, 11, 13, 0.25}},
      {{5, 5, 5, 5, 5}, 4, {5, 5, 5, 0.0}},
      {{}, 3, {0, 0, 0, 1.0}},
  };
  for (const Case& c : cases) {
    const LatencySummary s = LatencyBenchmark::Summarize(c.rtts, c.sent);
    EXPECT_EQ(std::tie(s.min, s.avg, s.max), std::tie(c.expected.min, c.expected.avg, c.expected.max));
    EXPECT_DOUBLE_EQ(s.dropRate, c.expected.dropRate);
  }
}

}  // namespace
}  // namespace halyx
