#include "net/connectivity_watcher.h"

#include <map>
#include <memory>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "http_endpoint.h"
#include "net/io_loop.h"
#include "net/result_message.h"
#include "result_window.h"
#include "support/log_capture.h"

namespace halyx {
namespace {

using testing::ClosedPort;
using testing::HttpEndpoint;
using testing::LogCapture;
using testing::RawListener;
using testing::ResultWindow;

struct Server {
  std::string name;
  uint16_t port;
  std::string protocol = "http";
  std::string title = "";
};

std::shared_ptr<ConnectMediaConfig> Config(const std::string& id,
                                           const std::vector<Server>& servers) {
  auto config = std::make_shared<ConnectMediaConfig>();
  config->id = id;
  config->route = {"r", "R"};
  for (const Server& server : servers) {
    config->servers.push_back({server.protocol, server.name,
                               server.title.empty() ? "T-" + server.name : server.title,
                               "127.0.0.1", server.port, "ONLINE"});
  }
  return config;
}

// Servers on every port of one stand-in, named s0, s1, ...
std::vector<Server> ServersOf(const HttpEndpoint& endpoint) {
  std::vector<Server> servers;
  for (std::size_t i = 0; i < endpoint.ports().size(); ++i) {
    servers.push_back({"s" + std::to_string(i), endpoint.Port(i)});
  }
  return servers;
}

// Runs connectivity tests through a started IoLoop, as the page's window sees them.
class ConnectivityRun {
 public:
  ConnectivityRun() : ioLoop_(std::in_place, window_.get()) { ioLoop_->Start(); }

  void Post(std::shared_ptr<ConnectMediaConfig> config) {
    ioLoop_->PostMediaConfig(std::move(config));
  }

  bool WaitFinished(const std::string& id, DWORD timeoutMs = 15000) {
    const std::string finished = "connectivity testing finished: " + id;
    const bool done =
        window_.PumpUntil([&] { return log_.Has(spdlog::level::info, finished); }, timeoutMs);
    // The last result was posted before the line was written, but may not
    // have been dispatched yet.
    window_.PumpUntil([] { return false; }, 0);
    return done;
  }

  // Name -> status of every "AdGlobal" received, failing on a repeat.
  std::map<std::string, std::string> Results() const {
    std::map<std::string, std::string> results;
    for (const json& message : window_.Parsed(kAdGlobalMessage)) {
      const std::string key =
          message["ad"]["name"].get<std::string>() + "/" + message["ad"]["title"].get<std::string>();
      EXPECT_TRUE(results.emplace(key, message["ad"]["status"].get<std::string>()).second)
          << key << " reported twice";
    }
    return results;
  }

  ResultWindow window_;
  LogCapture log_;
  std::optional<IoLoop> ioLoop_;
};

// The page's texts carry their keys in the library's sorted order.
TEST(ConnectivityWatcherJson, WritesSortedKeys) {
  SetAdGlobalMessage start;
  start.id = "m1";
  start.route = {"r", "R"};
  start.ads = {{"a", "A", "MAINTAIN"}};
  EXPECT_EQ(json(start).dump(),
            R"({"ads":[{"name":"a","status":"MAINTAIN","title":"A"}],"id":"m1","result":0,)"
            R"("route":{"name":"r","title":"R"},"type":"SetAdGlobal"})");
  AdGlobalMessage result;
  result.id = "m1";
  result.ad = {"a", "A", "ONLINE"};
  EXPECT_EQ(json(result).dump(),
            R"({"ad":{"name":"a","status":"ONLINE","title":"A"},"id":"m1","result":0,)"
            R"("type":"AdGlobal"})");
}

// A run posts the list as MAINTAIN first, then one result per server by its outcome.
TEST(ConnectivityWatcher, PostsTheListThenOneResultPerServer) {
  HttpEndpoint reachable({"--ports", "2"});
  HttpEndpoint ok200({"--status", "200"});
  ASSERT_TRUE(reachable.ok() && ok200.ok());
  ConnectivityRun run;
  run.Post(Config("m1", {{"a", reachable.Port(0)},
                         {"b", ok200.Port()},
                         {"c", ClosedPort()},
                         {"d", reachable.Port(1)}}));
  ASSERT_TRUE(run.WaitFinished("m1"));

  const auto& messages = run.window_.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0].id, kSetAdGlobalMessage);
  EXPECT_EQ(messages[0].text,
            R"({"ads":[{"name":"a","status":"MAINTAIN","title":"T-a"},)"
            R"({"name":"b","status":"MAINTAIN","title":"T-b"},)"
            R"({"name":"c","status":"MAINTAIN","title":"T-c"},)"
            R"({"name":"d","status":"MAINTAIN","title":"T-d"}],)"
            R"("id":"m1","result":0,"route":{"name":"r","title":"R"},"type":"SetAdGlobal"})");
  EXPECT_EQ(run.window_.Count(kSetAdGlobalMessage), 1u);
  const std::map<std::string, std::string> expected = {
      {"a/T-a", "ONLINE"}, {"b/T-b", "MAINTAIN"}, {"c/T-c", "MAINTAIN"}, {"d/T-d", "ONLINE"}};
  EXPECT_EQ(run.Results(), expected);
  for (const json& message : run.window_.Parsed(kAdGlobalMessage)) {
    EXPECT_EQ(message["id"], "m1");
    EXPECT_EQ(message["type"], "AdGlobal");
  }
  EXPECT_TRUE(run.log_.Has(spdlog::level::info, "connectivity testing started: m1"));
}

// An empty list posts an empty "ads" array and ends at once.
TEST(ConnectivityWatcher, EmptyListFinishesAtOnce) {
  ConnectivityRun run;
  run.Post(Config("empty", {}));
  ASSERT_TRUE(run.WaitFinished("empty", 5000));
  ASSERT_EQ(run.window_.messages().size(), 1u);
  EXPECT_EQ(run.window_.Parsed(kSetAdGlobalMessage)[0]["ads"], json::array());
}

// Twenty servers: no more than 8 requests at once, every server reported exactly once.
TEST(ConnectivityWatcher, TwentyServersRunAtMostEightAtOnce) {
  HttpEndpoint endpoint({"--ports", "20", "--delay-ms", "300"});
  ASSERT_TRUE(endpoint.ok());
  ConnectivityRun run;
  run.Post(Config("m20", ServersOf(endpoint)));
  ASSERT_TRUE(run.WaitFinished("m20"));
  const auto results = run.Results();
  EXPECT_EQ(results.size(), 20u);
  for (const auto& [name, status] : results) EXPECT_EQ(status, "ONLINE") << name;
  const HttpEndpoint::Figures figures = endpoint.Stats();
  EXPECT_EQ(figures.requests, 20);
  EXPECT_LE(figures.maxConcurrent, 8);
  EXPECT_GE(figures.maxConcurrent, 2);  // they do run side by side
}

// A second list during a run is refused with an error line; the run goes on undisturbed.
TEST(ConnectivityWatcher, SecondStartWhileBusyIsRefused) {
  HttpEndpoint endpoint({"--ports", "2", "--delay-ms", "400"});
  ASSERT_TRUE(endpoint.ok());
  ConnectivityRun run;
  run.Post(Config("first", ServersOf(endpoint)));
  ASSERT_TRUE(run.window_.PumpUntil([&] { return run.window_.Count(kSetAdGlobalMessage) == 1; },
                                    5000));
  run.Post(Config("second", {{"x", endpoint.Port(0)}}));
  ASSERT_TRUE(run.WaitFinished("first"));
  EXPECT_TRUE(run.log_.Has(spdlog::level::err, "ConnectivityWatcher: already testing"));
  EXPECT_EQ(run.window_.Count(kSetAdGlobalMessage), 1u);
  EXPECT_EQ(run.Results().size(), 2u);
  for (const json& message : run.window_.Parsed(kAdGlobalMessage)) EXPECT_EQ(message["id"], "first");
  // The refused list is not retried, but the next one after the run is taken.
  run.Post(Config("third", {{"y", endpoint.Port(1)}}));
  EXPECT_TRUE(run.WaitFinished("third"));
}

// Servers sharing a name are each tested and reported, and the run still ends.
TEST(ConnectivityWatcher, RepeatedNameIsReportedForEachServer) {
  HttpEndpoint endpoint({"--ports", "2", "--delay-ms", "100"});
  HttpEndpoint ok200({"--status", "200"});
  ASSERT_TRUE(endpoint.ok() && ok200.ok());
  ConnectivityRun run;
  run.Post(Config("dup", {{"same", endpoint.Port(0), "http", "First"},
                          {"same", ok200.Port(), "http", "Second"},
                          {"same", endpoint.Port(1), "http", "Third"}}));
  ASSERT_TRUE(run.WaitFinished("dup"));
  const std::map<std::string, std::string> expected = {
      {"same/First", "ONLINE"}, {"same/Second", "MAINTAIN"}, {"same/Third", "ONLINE"}};
  EXPECT_EQ(run.Results(), expected);
}

// A server listed with protocol https is tested over TLS; a plain listener cannot answer it.
TEST(ConnectivityWatcher, HttpsServerIsTestedOverTls) {
  RawListener listener;
  ASSERT_NE(listener.port(), 0);
  ConnectivityRun run;
  run.Post(Config("tls", {{"secure", listener.port(), "https"}}));
  ASSERT_TRUE(run.WaitFinished("tls"));
  EXPECT_EQ(run.Results().at("secure/T-secure"), "MAINTAIN");
  const std::string hello = listener.FirstBytes();
  ASSERT_GE(hello.size(), 2u);
  EXPECT_EQ(hello.substr(0, 2), std::string("\x16\x03"));
}

// Destroying the IoLoop mid-run cancels the queued tests and abandons the running ones:
// none of them reports, and nothing is posted after the destructor returns.
TEST(ConnectivityWatcher, LoopDestroyedMidRunReportsNothingMore) {
  HttpEndpoint endpoint({"--ports", "20", "--delay-ms", "1000"});
  ASSERT_TRUE(endpoint.ok());
  ConnectivityRun run;
  run.Post(Config("gone", ServersOf(endpoint)));
  const DWORD begin = ::GetTickCount();
  while (endpoint.Stats().requests < 1 && ::GetTickCount() - begin < 5000) ::Sleep(20);
  ASSERT_GE(endpoint.Stats().requests, 1);

  run.ioLoop_.reset();
  // Whatever is still queued for the window is delivered now.
  run.window_.PumpUntil([] { return false; }, 300);

  EXPECT_EQ(run.window_.Count(kSetAdGlobalMessage), 1u);
  EXPECT_EQ(run.window_.Count(kAdGlobalMessage), 0u);
  for (const auto& record : run.log_.Records()) {
    EXPECT_NE(record.text.rfind("HttpConnectivity: test", 0), 0u) << record.text;
    EXPECT_NE(record.text.rfind("connectivity testing finished", 0), 0u) << record.text;
  }
  // Only the requests already running reached the servers; the queued ones never left.
  const HttpEndpoint::Figures figures = endpoint.Stats();
  EXPECT_GE(figures.requests, 1);
  EXPECT_LE(figures.requests, 8);
}

}  // namespace
}  // namespace halyx
