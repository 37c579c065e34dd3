#include "net/http_connectivity.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http_endpoint.h"
#include "net/connect_task_delegate.h"
#include "support/log_capture.h"
#include "uv_test_loop.h"

namespace halyx {
namespace {

using testing::ClosedPort;
using testing::HttpEndpoint;
using testing::LogCapture;
using testing::UvTestLoop;

struct Report {
  std::string name;
  std::string title;
  std::string status;
};

class RecordingDelegate : public ConnectTaskDelegate {
 public:
  void OnConnectResult(const std::string& name, const std::string& title,
                       const std::string& status) override {
    reports.push_back({name, title, status});
    if (onReport) onReport();
  }

  std::vector<Report> reports;
  std::function<void()> onReport;
};

bool HasLineStarting(const LogCapture& log, spdlog::level::level_enum level,
                     const std::string& start) {
  for (const auto& record : log.Records()) {
    if (record.level == level && record.text.rfind(start, 0) == 0) return true;
  }
  return false;
}

// Polls the stand-in until `count` requests have reached it.
bool WaitForRequests(const HttpEndpoint& endpoint, int count, DWORD timeoutMs) {
  const DWORD begin = ::GetTickCount();
  while (endpoint.Stats().requests < count) {
    if (::GetTickCount() - begin > timeoutMs) return false;
    ::Sleep(20);
  }
  return true;
}

// Only the expected 400 page keeps the page's status; every other outcome reports MAINTAIN.
TEST(HttpConnectivity, KeepsThePageStatusOnlyForTheExpectedAnswer) {
  const struct {
    std::vector<std::string> options;
    const char* status;
    const char* warning;  // the start of the line explaining a failure
  } cases[] = {
      {{}, "ONLINE", nullptr},
      {{"--lower-case"}, "ONLINE", nullptr},
      {{"--status", "200"}, "MAINTAIN", "HttpConnectivity: no server found: HTTP/1.1 200 OK\r\n"},
      {{"--body", "<p>ERR_INVALID_URI</p>"}, "MAINTAIN", "HttpConnectivity: no server found: "},
      {{"--body", ""}, "MAINTAIN", "HttpConnectivity: failed to fetch http://127.0.0.1:"},
      {{"--close"}, "MAINTAIN", "HttpConnectivity: failed to fetch http://127.0.0.1:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.empty() ? std::string("default") : c.options[0]);
    HttpEndpoint endpoint(c.options);
    ASSERT_TRUE(endpoint.ok());
    LogCapture log;
    UvTestLoop loop;
    RecordingDelegate delegate;
    auto test = std::make_shared<HttpConnectivity>(loop.get(), endpoint.Url(), "jp-1", "Tokyo",
                                                   "ONLINE", &delegate);
    ASSERT_TRUE(test->Start());
    ASSERT_TRUE(loop.RunUntil([&] { return !delegate.reports.empty(); }, 10000));
    ASSERT_EQ(delegate.reports.size(), 1u);
    EXPECT_EQ(delegate.reports[0].name, "jp-1");
    EXPECT_EQ(delegate.reports[0].title, "Tokyo");
    EXPECT_EQ(delegate.reports[0].status, c.status);
    const bool ok = c.warning == nullptr;
    EXPECT_TRUE(log.Has(spdlog::level::warn, ok ? "HttpConnectivity: test jp-1 ok"
                                               : "HttpConnectivity: test jp-1 failed"));
    if (!ok) {
      EXPECT_TRUE(HasLineStarting(log, spdlog::level::warn, c.warning));
    }
  }
}

// A closed port and a scheme WinHTTP refuses are unreachable, reported once each.
TEST(HttpConnectivity, UnusableServersReportMaintain) {
  UvTestLoop loop;
  RecordingDelegate delegate;
  const std::string port = std::to_string(ClosedPort());
  auto closed = std::make_shared<HttpConnectivity>(loop.get(), "http://127.0.0.1:" + port, "a",
                                                   "A", "ONLINE", &delegate);
  auto udp = std::make_shared<HttpConnectivity>(loop.get(), "udp://127.0.0.1:" + port, "b", "B",
                                                "ONLINE", &delegate);
  ASSERT_TRUE(closed->Start());
  ASSERT_TRUE(udp->Start());
  EXPECT_FALSE(udp->Start());  // a second start of one test is refused
  ASSERT_TRUE(loop.RunUntil([&] { return delegate.reports.size() == 2; }, 10000));
  for (const Report& report : delegate.reports) EXPECT_EQ(report.status, "MAINTAIN");
}

// A test destroyed while its request runs is never reported nor written to; the loop still closes.
TEST(HttpConnectivity, DestroyedWhileItsRequestRunsReportsNothing) {
  HttpEndpoint endpoint({"--delay-ms", "600"});
  ASSERT_TRUE(endpoint.ok());
  LogCapture log;
  RecordingDelegate delegate;
  {
    UvTestLoop loop;
    auto test = std::make_shared<HttpConnectivity>(loop.get(), endpoint.Url(), "jp-1", "Tokyo",
                                                   "ONLINE", &delegate);
    ASSERT_TRUE(test->Start());
    ASSERT_TRUE(WaitForRequests(endpoint, 1, 5000));
    test.reset();
    // The loop runs on until the abandoned request has completed.
    loop.RunUntil([] { return false; }, 1500);
  }
  EXPECT_TRUE(delegate.reports.empty());
  EXPECT_FALSE(HasLineStarting(log, spdlog::level::warn, "HttpConnectivity: test"));
}

// A test destroyed while its request still waits for a pool thread is cancelled: no request leaves.
TEST(HttpConnectivity, DestroyedWhileQueuedIsCancelled) {
  HttpEndpoint slow({"--delay-ms", "800"});
  HttpEndpoint other;
  ASSERT_TRUE(slow.ok() && other.ok());
  UvTestLoop loop;
  RecordingDelegate delegate;
  // More than the pool has threads, so the last one waits in the queue.
  std::vector<std::shared_ptr<HttpConnectivity>> blockers;
  for (int i = 0; i < 8; ++i) {
    blockers.push_back(std::make_shared<HttpConnectivity>(loop.get(), slow.Url(), "slow", "Slow",
                                                          "ONLINE", &delegate));
    ASSERT_TRUE(blockers.back()->Start());
  }
  auto queued = std::make_shared<HttpConnectivity>(loop.get(), other.Url(), "queued", "Queued",
                                                   "ONLINE", &delegate);
  ASSERT_TRUE(queued->Start());
  queued.reset();
  ASSERT_TRUE(loop.RunUntil([&] { return delegate.reports.size() == 8; }, 15000));
  for (const Report& report : delegate.reports) EXPECT_EQ(report.name, "slow");
  EXPECT_EQ(other.Stats().requests, 0);
}

}  // namespace
}  // namespace halyx
