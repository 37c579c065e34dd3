#include "net/latency_benchmark.h"

#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "echo_server.h"
#include "support/log_capture.h"
#include "uv_test_loop.h"

namespace halyx {
namespace {

using testing::EchoServer;
using testing::LogCapture;
using testing::UvTestLoop;

struct Result {
  std::string name;
  std::string title;
  int32_t lag;
  double dropRate;
};

// Records the one result and, as the watcher does, destroys the probe from
// inside the call.
class Recorder : public BenchmarkTaskDelegate {
 public:
  void OnBenchmarkResult(const std::string& name, const std::string& title, int32_t lag,
                         double dropRate) override {
    ++calls;
    result = Result{name, title, lag, dropRate};
    probe.reset();
  }

  std::shared_ptr<LatencyBenchmark> probe;
  std::optional<Result> result;
  int calls = 0;
};

std::shared_ptr<LatencyBenchmark> StartProbe(UvTestLoop& loop, const EchoServer& echo,
                                             Recorder& recorder, int32_t count, double frequency) {
  const sockaddr_in target = echo.Address();
  return std::make_shared<LatencyBenchmark>(loop.get(), -1,
                                            reinterpret_cast<const sockaddr*>(&target), "jp-1",
                                            "Tokyo", count, &recorder, frequency);
}

// Runs one probe against `echo` and returns what it reported.
std::optional<Result> Measure(const EchoServer& echo, int32_t count, double frequency,
                              uint64_t timeoutMs = 5000) {
  UvTestLoop loop;
  Recorder recorder;
  recorder.probe = StartProbe(loop, echo, recorder, count, frequency);
  EXPECT_TRUE(recorder.probe->started());
  loop.RunUntil([&] { return recorder.calls > 0; }, timeoutMs);
  EXPECT_LE(recorder.calls, 1);
  recorder.probe.reset();
  return recorder.result;
}

// Every probe answered: no loss, a loopback lag, the run over well before the deadline.
TEST(LatencyBenchmark, EchoedProbesReportNoLoss) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  LogCapture log;
  const auto result = Measure(echo, 3, 0.05);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->name, "jp-1");
  EXPECT_EQ(result->title, "Tokyo");
  EXPECT_DOUBLE_EQ(result->dropRate, 0.0);
  EXPECT_LT(result->lag, 50);
  bool summary = false;
  for (const auto& record : log.Records()) {
    summary |= record.level == spdlog::level::warn &&
               record.text.rfind("LatencyBenchmark: latency test: jp-1 (127.0.0.1:", 0) == 0 &&
               record.text.find(") 3/3 packets received, min/avg/max: ") != std::string::npos;
  }
  EXPECT_TRUE(summary);
}

// Ten probes at 0.2 s leave over 1.8 s; the run ends at the tick after the last echo.
TEST(LatencyBenchmark, ProbesKeepToTheirSchedule) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  const DWORD begin = ::GetTickCount();
  const auto result = Measure(echo, 10, 0.2);
  const DWORD elapsed = ::GetTickCount() - begin;
  ASSERT_TRUE(result);
  EXPECT_DOUBLE_EQ(result->dropRate, 0.0);
  EXPECT_GE(elapsed, 1800u);
  EXPECT_LT(elapsed, 3500u);
}

// Count 0 sends nothing and reports everything lost, but never from inside its constructor.
TEST(LatencyBenchmark, CountZeroReportsLostAfterConstruction) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  UvTestLoop loop;
  LogCapture log;
  Recorder recorder;
  recorder.probe = StartProbe(loop, echo, recorder, 0, 0.2);
  EXPECT_EQ(recorder.calls, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return recorder.calls > 0; }, 2000));
  EXPECT_EQ(recorder.result->lag, 0);
  EXPECT_DOUBLE_EQ(recorder.result->dropRate, 1.0);
  const std::string expected = "LatencyBenchmark: benchmark failed to jp-1 (127.0.0.1:" +
                               std::to_string(echo.ports()[0]) + "), 0/0 all packets lost";
  EXPECT_TRUE(log.Has(spdlog::level::warn, expected));
}

// Settings no schedule can follow are held to zero: a negative count sends nothing, a negative
// frequency sends at the shortest spacing; neither is undefined arithmetic.
TEST(LatencyBenchmark, NegativeSettingsAreHeldToZero) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  const auto none = Measure(echo, -3, 0.05);
  ASSERT_TRUE(none);
  EXPECT_DOUBLE_EQ(none->dropRate, 1.0);
  const auto burst = Measure(echo, 2, -1.0);
  ASSERT_TRUE(burst);
  EXPECT_LT(burst->dropRate, 1.0);
}

// Echoes of the wrong length or from another port are logged and not counted.
TEST(LatencyBenchmark, ForeignEchoesAreNotCounted) {
  struct Case {
    std::vector<std::string> options;
    std::string warning;
  };
  const Case cases[] = {
      {{"--truncate"}, "LatencyBenchmark: jp-1 data length mismatch, expect: 8, got: 7"},
      {{"--extend"}, "LatencyBenchmark: jp-1 data length mismatch, expect: 8, got: 9"},
      {{"--other-port"}, "LatencyBenchmark: target mismatch, recv packet from: 127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.warning);
    EchoServer echo(c.options);
    ASSERT_TRUE(echo.ok());
    LogCapture log;
    const auto result = Measure(echo, 2, 0.05);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->lag, 0);
    EXPECT_DOUBLE_EQ(result->dropRate, 1.0);
    EXPECT_TRUE(log.Has(spdlog::level::warn, c.warning));
  }
}

// One echo missing: the run ends by its deadline and reports that one probe lost.
TEST(LatencyBenchmark, MissingEchoEndsByDeadline) {
  EchoServer echo({"--drop", "0.1"});
  ASSERT_TRUE(echo.ok());
  LogCapture log;
  const DWORD begin = ::GetTickCount();
  const auto result = Measure(echo, 10, 0.02);
  ASSERT_TRUE(result);
  EXPECT_DOUBLE_EQ(result->dropRate, 0.1);
  EXPECT_GE(::GetTickCount() - begin, 10u * 20u + 1000u);
  EXPECT_TRUE(log.Has(spdlog::level::warn, "LatencyBenchmark: jp-1 expected to send 10, already sent 10"));
}

// A duplicating network returns more echoes than probes: that is no loss, never a negative one.
TEST(LatencyBenchmark, DuplicatedEchoesGiveNoNegativeLoss) {
  EchoServer echo({"--duplicate"});
  ASSERT_TRUE(echo.ok());
  const auto result = Measure(echo, 4, 0.05);
  ASSERT_TRUE(result);
  EXPECT_DOUBLE_EQ(result->dropRate, 0.0);
}

// A tick more than one interval late restarts the schedule at once instead of stalling the run.
TEST(LatencyBenchmark, LateTickDoesNotStallTheRun) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  UvTestLoop loop;
  Recorder recorder;
  recorder.probe = StartProbe(loop, echo, recorder, 3, 0.05);
  // Hold the loop for four intervals right after the first probe.
  loop.After(5, [] { ::Sleep(200); });
  ASSERT_TRUE(loop.RunUntil([&] { return recorder.calls > 0; }, 3000));
  EXPECT_DOUBLE_EQ(recorder.result->dropRate, 0.0);
}

// A probe whose socket cannot be set up says so and never sends or reports.
TEST(LatencyBenchmark, FailedSetUpIsReportedToTheOwner) {
  EchoServer echo;
  ASSERT_TRUE(echo.ok());
  UvTestLoop loop;
  LogCapture log;
  Recorder recorder;
  // Without Winsock no socket can be created.
  int cleanups = 0;
  while (::WSACleanup() == 0) ++cleanups;
  recorder.probe = StartProbe(loop, echo, recorder, 3, 0.05);
  WSADATA data;
  for (int i = 0; i < cleanups; ++i) ::WSAStartup(MAKEWORD(2, 2), &data);
  EXPECT_FALSE(recorder.probe->started());
  EXPECT_GE(log.CountAtLeast(spdlog::level::err), 1u);
  loop.RunUntil([] { return false; }, 200);
  EXPECT_EQ(recorder.calls, 0);
  recorder.probe.reset();
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
    const LatencySummary summary = LatencyBenchmark::Summarize(c.rtts, c.sent);
    EXPECT_EQ(summary.min, c.expected.min);
    EXPECT_EQ(summary.avg, c.expected.avg);
    EXPECT_EQ(summary.max, c.expected.max);
    EXPECT_DOUBLE_EQ(summary.dropRate, c.expected.dropRate);
  }
}

}  // namespace
}  // namespace halyx
