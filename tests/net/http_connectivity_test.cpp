#include "net/http_connectivity.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/connect_task_delegate.h"
#include "net_fixtures.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::ClosedPort;
using testing::CountLinesStarting;
using testing::HttpEndpoint;
using testing::LogCapture;
using testing::UvTestLoop;

// Every report as "name/title/status".
struct Reports : ConnectTaskDelegate, std::vector<std::string> {
  void OnConnectResult(const std::string& name, const std::string& title, const std::string& status) override {
    push_back(name + "/" + title + "/" + status);
  }

  std::shared_ptr<HttpConnectivity> Test(UvTestLoop& loop, const std::string& url, const std::string& name = "jp-1") {
    return std::make_shared<HttpConnectivity>(loop.get(), url, name, "Tokyo", "ONLINE", this);
  }
};

// Only the expected 400 page keeps the page's status; every other outcome, a closed port and a
// scheme WinHTTP refuses included, reports MAINTAIN once with a line saying why.
TEST(HttpConnectivity, KeepsThePageStatusOnlyForTheExpectedAnswer) {
  const std::string closed = "127.0.0.1:" + std::to_string(ClosedPort());
  const struct {
    std::vector<std::string> options;  // of the stand-in; none for the fixed URLs
    std::string url;
    const char* status;
    const char* warning;  // the start of the line explaining a failure
  } cases[] = {
      {{}, "", "ONLINE", nullptr},
      {{"--lower-case"}, "", "ONLINE", nullptr},
      {{"--status", "200"}, "", "MAINTAIN", "HttpConnectivity: no server found: HTTP/1.1 200 OK\r\n"},
      {{"--body", "<p>ERR_INVALID_URI</p>"}, "", "MAINTAIN", "HttpConnectivity: no server found: "},
      {{"--body", ""}, "", "MAINTAIN", "HttpConnectivity: failed to fetch http://127.0.0.1:"},
      {{"--close"}, "", "MAINTAIN", "HttpConnectivity: failed to fetch http://127.0.0.1:"},
      {{}, "http://" + closed, "MAINTAIN", "HttpConnectivity: failed to fetch http://127.0.0.1:"},
      {{}, "udp://" + closed, "MAINTAIN", "HttpConnectivity: failed to fetch udp://127.0.0.1:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.options.empty() ? "default" : c.options[0]) + " " + c.url);
    HttpEndpoint endpoint(c.options);
    ASSERT_TRUE(endpoint.ok());
    LogCapture log;
    UvTestLoop loop;
    Reports reports;
    auto test = reports.Test(loop, c.url.empty() ? endpoint.Url() : c.url);
    ASSERT_TRUE(test->Start());
    EXPECT_FALSE(test->Start());  // a second start of one test is refused
    ASSERT_TRUE(loop.RunUntil([&] { return !reports.empty(); }, 30000));
    loop.RunUntil([] { return false; }, 50);
    EXPECT_EQ(reports, std::vector<std::string>{std::string("jp-1/Tokyo/") + c.status});
    EXPECT_TRUE(log.Has(spdlog::level::warn,
                        c.warning ? "HttpConnectivity: test jp-1 failed" : "HttpConnectivity: test jp-1 ok"));
    if (c.warning) {
      EXPECT_EQ(CountLinesStarting(log, spdlog::level::warn, c.warning), 1u);
    }
  }
}

// A test destroyed while its request still waits for a pool thread is cancelled: no request leaves.
TEST(HttpConnectivity, DestroyedWhileQueuedIsCancelled) {
  HttpEndpoint slow({"--delay-ms", "800"});
  HttpEndpoint other;
  ASSERT_TRUE(slow.ok() && other.ok());
  UvTestLoop loop;
  Reports reports;
  // As many as the pool can have threads, so the last one waits in the queue.
  std::vector<std::shared_ptr<HttpConnectivity>> blockers;
  for (int i = 0; i < 8; ++i) {
    blockers.push_back(reports.Test(loop, slow.Url(), "slow"));
    ASSERT_TRUE(blockers.back()->Start());
  }
  auto queued = reports.Test(loop, other.Url(), "queued");
  ASSERT_TRUE(queued->Start());
  queued.reset();
  ASSERT_TRUE(loop.RunUntil([&] { return reports.size() == 8; }, 30000));
  for (const std::string& report : reports) EXPECT_EQ(report.rfind("slow/", 0), 0u) << report;
  EXPECT_EQ(other.Stats().requests, 0);
}

}  // namespace
}  // namespace halyx
