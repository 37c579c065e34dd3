#include "net/connectivity_watcher.h"

#include <map>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "net_fixtures.h"
#include "base/window_messages.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::ClosedPort;
using testing::HttpEndpoint;
using testing::RawListener;

struct Server {
  std::string name;
  uint16_t port;
  std::string protocol = "http";
  std::string title = "";
};

std::shared_ptr<ConnectMediaConfig> Config(const std::string& id, const std::vector<Server>& servers) {
  auto config = std::make_shared<ConnectMediaConfig>();
  config->id = id;
  config->route = {"r", "R"};
  for (const Server& server : servers) {
    config->servers.push_back({server.protocol, server.name, server.title.empty() ? "T-" + server.name : server.title,
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

// Connectivity tests run through a started IoLoop, as the page's window sees them.
struct ConnectivityRun : testing::WatcherRun {
  bool Run(std::shared_ptr<ConnectMediaConfig> config) {
    const std::string id = config->id;
    ioLoop->PostMediaConfig(std::move(config));
    return WaitFinished(id);
  }
  bool WaitFinished(const std::string& id) { return WaitForLine("connectivity testing finished: " + id); }

  // "name/title" -> status of every "AdGlobal" received, failing on a repeat.
  std::map<std::string, std::string> Results() const {
    std::map<std::string, std::string> results;
    for (const json& message : window.Parsed(kAdGlobalMessage)) {
      const json& ad = message["ad"];
      const std::string key = ad["name"].get<std::string>() + "/" + ad["title"].get<std::string>();
      EXPECT_TRUE(results.emplace(key, ad["status"].get<std::string>()).second) << key << " twice";
    }
    return results;
  }
};

// A run posts the list as MAINTAIN first (exact text, sorted keys), then one result per server
// by its outcome, also for servers sharing a name; https servers are tested over TLS.
TEST(ConnectivityWatcher, PostsTheListThenOneResultPerServer) {
  HttpEndpoint reachable({"--ports", "2", "--delay-ms", "100"});
  HttpEndpoint ok200({"--status", "200"});
  RawListener plain;
  ASSERT_TRUE(reachable.ok() && ok200.ok() && plain.port() != 0);
  ConnectivityRun run;
  ASSERT_TRUE(run.Run(Config("m1", {{"a", reachable.Port(0)},
                                    {"b", ok200.Port()},
                                    {"c", ClosedPort()},
                                    {"a", reachable.Port(1), "http", "A2"},
                                    {"e", plain.port(), "https"}})));
  const auto& messages = run.window.messages();
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[0].id, kSetAdGlobalMessage);
  EXPECT_EQ(messages[0].text, R"({"ads":[{"name":"a","status":"MAINTAIN","title":"T-a"},)"
                              R"({"name":"b","status":"MAINTAIN","title":"T-b"},)"
                              R"({"name":"c","status":"MAINTAIN","title":"T-c"},)"
                              R"({"name":"a","status":"MAINTAIN","title":"A2"},)"
                              R"({"name":"e","status":"MAINTAIN","title":"T-e"}],)"
                              R"("id":"m1","result":0,"route":{"name":"r","title":"R"},"type":"SetAdGlobal"})");
  const std::map<std::string, std::string> expected = {
      {"a/T-a", "ONLINE"}, {"b/T-b", "MAINTAIN"}, {"c/T-c", "MAINTAIN"}, {"a/A2", "ONLINE"}, {"e/T-e", "MAINTAIN"}};
  EXPECT_EQ(run.Results(), expected);
  for (std::size_t i = 1; i < messages.size(); ++i) {
    if (messages[i].text.find(R"("title":"T-a")") == std::string::npos) continue;
    EXPECT_EQ(messages[i].text,
              R"({"ad":{"name":"a","status":"ONLINE","title":"T-a"},"id":"m1","result":0,"type":"AdGlobal"})");
  }
  EXPECT_EQ(plain.FirstBytes().substr(0, 2), std::string("\x16\x03"));
  EXPECT_TRUE(run.log.Has(spdlog::level::info, "connectivity testing started: m1"));
}

// Twenty servers: no more than 8 requests at once, every server reported exactly once.
TEST(ConnectivityWatcher, TwentyServersRunAtMostEightAtOnce) {
  HttpEndpoint endpoint({"--ports", "20", "--delay-ms", "300"});
  ASSERT_TRUE(endpoint.ok());
  ConnectivityRun run;
  ASSERT_TRUE(run.Run(Config("m20", ServersOf(endpoint))));
  const auto results = run.Results();
  EXPECT_EQ(results.size(), 20u);
  for (const auto& [name, status] : results) EXPECT_EQ(status, "ONLINE") << name;
  const HttpEndpoint::Figures figures = endpoint.Stats();
  EXPECT_EQ(figures.requests, 20);
  EXPECT_LE(figures.maxConcurrent, 8);
  EXPECT_GE(figures.maxConcurrent, 2);  // they do run side by side
}

// A second list during a run is refused with an error line and not retried; the run goes on
// undisturbed, and the next list after it is taken (an empty one ends at once).
TEST(ConnectivityWatcher, SecondStartWhileBusyIsRefused) {
  HttpEndpoint endpoint({"--ports", "2", "--delay-ms", "400"});
  ASSERT_TRUE(endpoint.ok());
  ConnectivityRun run;
  run.ioLoop->PostMediaConfig(Config("first", ServersOf(endpoint)));
  ASSERT_TRUE(run.window.PumpUntil([&] { return run.window.Count(kSetAdGlobalMessage) == 1; }, 10000));
  run.ioLoop->PostMediaConfig(Config("second", {{"x", endpoint.Port(0)}}));
  ASSERT_TRUE(run.WaitFinished("first"));
  EXPECT_TRUE(run.log.Has(spdlog::level::err, "ConnectivityWatcher: already testing"));
  EXPECT_EQ(run.window.Count(kSetAdGlobalMessage), 1u);
  EXPECT_EQ(run.Results().size(), 2u);
  for (const json& message : run.window.Parsed(kAdGlobalMessage)) EXPECT_EQ(message["id"], "first");
  ASSERT_TRUE(run.Run(Config("third", {})));
  EXPECT_EQ(run.window.Parsed(kSetAdGlobalMessage).back()["ads"], json::array());
  EXPECT_EQ(run.window.Count(kSetAdGlobalMessage), 2u);
  EXPECT_EQ(run.window.Count(kAdGlobalMessage), 2u);
}

// A list whose id is not UTF-8 (the results could not be written) is refused with a warning,
// and the watcher takes the next list.
TEST(ConnectivityWatcher, IdThatIsNotUtf8IsRefusedAndTheNextRunGoesAhead) {
  ConnectivityRun run;
  run.ioLoop->PostMediaConfig(Config("bad\xff", {{"a", ClosedPort()}}));
  ASSERT_TRUE(run.window.PumpUntil(
      [&] { return run.log.Has(spdlog::level::warn, "ConnectivityWatcher: run refused: the id is not UTF-8"); },
      10000));
  ASSERT_TRUE(run.Run(Config("good", {{"a", ClosedPort()}})));
  EXPECT_FALSE(run.log.Has(spdlog::level::err, "ConnectivityWatcher: already testing"));
  EXPECT_EQ(run.window.Count(kSetAdGlobalMessage), 1u);
  EXPECT_EQ(run.window.Count(kAdGlobalMessage), 1u);
}

// Destroying the IoLoop mid-run cancels the queued tests and abandons the running ones: none of
// them reports or logs, nothing is posted after the destructor returns, and the loop closes.
TEST(ConnectivityWatcher, LoopDestroyedMidRunReportsNothingMore) {
  HttpEndpoint endpoint({"--ports", "20", "--delay-ms", "3000"});
  ASSERT_TRUE(endpoint.ok());
  ConnectivityRun run;
  run.ioLoop->PostMediaConfig(Config("gone", ServersOf(endpoint)));
  ASSERT_TRUE(endpoint.WaitForRequests(1, 10000));
  run.ioLoop.reset();
  run.window.Pump(300);
  EXPECT_EQ(run.window.Count(kSetAdGlobalMessage), 1u);
  EXPECT_EQ(run.window.Count(kAdGlobalMessage), 0u);
  for (const auto& record : run.log.Records()) {
    EXPECT_NE(record.text.rfind("HttpConnectivity: test", 0), 0u) << record.text;
    EXPECT_NE(record.text.rfind("connectivity testing finished", 0), 0u) << record.text;
  }
  EXPECT_EQ(run.log.CountAtLeast(spdlog::level::err), 0u);
  // Only the requests already running reached the servers; the queued ones never left.
  const int requests = endpoint.Stats().requests;
  EXPECT_GE(requests, 1);
  EXPECT_LE(requests, 8);
}

// A server that trickles its answer holds neither the page nor the run: destroying the IoLoop
// returns at once (its thread finishes on its own), and a run left alone ends at the request's
// deadline with the server unreachable.
TEST(ConnectivityWatcher, TricklingServerHoldsNeitherDestructionNorTheRun) {
  HttpEndpoint trickle({"--trickle-ms", "100"});
  ASSERT_TRUE(trickle.ok());
  {
    ConnectivityRun run;
    run.ioLoop->PostMediaConfig(Config("held", {{"slow", trickle.Port()}}));
    ASSERT_TRUE(trickle.WaitForRequests(1, 10000));
    const ULONGLONG begin = ::GetTickCount64();
    run.ioLoop.reset();
    EXPECT_LT(::GetTickCount64() - begin, 3000u) << "destruction waited for the trickle";
    EXPECT_TRUE(run.log.Has(spdlog::level::warn,
                            "IoLoop: loop thread still finishing after 500 ms, left to end on "
                            "its own"));
  }
  ConnectivityRun run;
  ASSERT_TRUE(run.Run(Config("ends", {{"slow", trickle.Port()}})));
  EXPECT_EQ(run.Results(), (std::map<std::string, std::string>{{"slow/T-slow", "MAINTAIN"}}));
}

}  // namespace
}  // namespace halyx
