// Throughput of the connectivity test, measured end to end under the real
// IoLoop against the HTTP endpoint stand-in on loopback.
//
//   scripts/bench.sh connectivity_bench [servers] [delay-ms] [runs]
//
// `servers` servers (default 64, distinct ports of one stand-in) each answer
// the expected 400 page `delay-ms` after the request (default 100). Each of
// `runs` runs (default 3, each with a fresh IoLoop; the work pool is the
// process's) prints the wall time from the post to the last "AdGlobal" next
// to the ideal of 8 requests in parallel, ceil(servers / 8) x delay, and the
// run's unreachable count. The stand-in's own figures close: requests seen
// and the most it had in progress at once.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <spdlog/spdlog.h>

#include "net/io_loop.h"
#include "base/window_messages.h"
#include "support/net_stand_ins.h"
#include "support/result_window.h"

namespace {

using halyx::ConnectMediaConfig;
using halyx::IoLoop;
using halyx::kAdGlobalMessage;
using halyx::ServerAddressPolicy;
using halyx::testing::HttpEndpoint;
using halyx::testing::ResultWindow;

constexpr int kParallel = 8;  // the work pool's threads

std::shared_ptr<ConnectMediaConfig> Config(const std::string& id, const HttpEndpoint& endpoint) {
  auto config = std::make_shared<ConnectMediaConfig>();
  config->id = id;
  config->route = {"bench", "Benchmark"};
  for (std::size_t i = 0; i < endpoint.ports().size(); ++i) {
    const std::string name = "s" + std::to_string(i);
    config->servers.push_back({"http", name, name, "127.0.0.1", endpoint.Port(i), "ONLINE"});
  }
  return config;
}

bool Run(int run, const HttpEndpoint& endpoint, int servers, double idealMs) {
  ResultWindow window;
  IoLoop ioLoop(window.get(), ServerAddressPolicy::AllowingLocalServers());
  ioLoop.Start();
  LARGE_INTEGER frequency, begin, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&begin);
  ioLoop.PostMediaConfig(Config("run" + std::to_string(run), endpoint));
  const bool complete =
      window.PumpUntil([&] { return window.Count(kAdGlobalMessage) == static_cast<std::size_t>(servers); }, 120000);
  ::QueryPerformanceCounter(&end);
  const double wallMs = static_cast<double>(end.QuadPart - begin.QuadPart) * 1000.0 / frequency.QuadPart;
  int unreachable = 0;
  for (const auto& message : window.Parsed(kAdGlobalMessage)) {
    unreachable += message["ad"]["status"] != "ONLINE";
  }
  std::printf("run %d: %d servers, wall time %.0f ms, ideal %.0f ms, ratio %.2f, unreachable %d%s\n", run, servers,
              wallMs, idealMs, wallMs / idealMs, unreachable,
              complete ? "" : " (INCOMPLETE: not every server reported within 120 s)");
  return complete && unreachable == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int servers = argc > 1 ? std::atoi(argv[1]) : 64;
  const int delayMs = argc > 2 ? std::atoi(argv[2]) : 100;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  if (servers <= 0 || delayMs < 0 || runs <= 0) {
    std::printf("usage: connectivity_bench [servers] [delay-ms] [runs]\n");
    return 2;
  }
  // The per-test lines would drown the figures.
  spdlog::set_level(spdlog::level::err);

  HttpEndpoint endpoint({"--ports", std::to_string(servers), "--delay-ms", std::to_string(delayMs)});
  if (!endpoint.ok() || static_cast<int>(endpoint.ports().size()) != servers) {
    std::printf("the HTTP endpoint stand-in did not open %d ports\n", servers);
    return 1;
  }
  const double idealMs = static_cast<double>((servers + kParallel - 1) / kParallel) * delayMs;
  std::printf(
      "connectivity: %d servers answering after %d ms, ideal with %d in parallel: "
      "%.0f ms\n",
      servers, delayMs, kParallel, idealMs);
  bool ok = true;
  for (int run = 1; run <= runs; ++run) ok = Run(run, endpoint, servers, idealMs) && ok;
  const HttpEndpoint::Figures figures = endpoint.Stats();
  std::printf("stand-in: %d requests, at most %d in progress at once\n", figures.requests, figures.maxConcurrent);
  return ok ? 0 : 1;
}
