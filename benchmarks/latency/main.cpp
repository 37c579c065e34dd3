// Accuracy and scale of the latency benchmark, measured end to end under the
// real IoLoop against the UDP echo stand-in on loopback.
//
//   scripts/bench.sh latency_bench [servers] [probes]
//
// Accuracy: one server whose echo is delayed by 20 ms, then by 50 ms, 10
// probes each; prints the reported lag and its error.
// Scale: `servers` servers (default 500, distinct ports of one stand-in) x
// `probes` probes (default 10) at frequency 0.1; prints the wall time from
// the post to the last "AdInfo" beside the bound count x interval + 1000 ms,
// the CPU time and peak working set of this process, and how many servers
// were reported lost.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

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

using halyx::BenchmarkGameConfig;
using halyx::IoLoop;
using halyx::kAdInfoMessage;
using halyx::testing::EchoServer;
using halyx::testing::ResultWindow;

std::shared_ptr<BenchmarkGameConfig> Config(const std::string& id, const EchoServer& echo, int servers, int probes,
                                            double frequency) {
  auto config = std::make_shared<BenchmarkGameConfig>();
  config->id = id;
  config->setting = {0, frequency, probes};
  config->route = {"bench", "Benchmark"};
  for (int i = 0; i < servers; ++i) {
    const std::string name = "s" + std::to_string(i);
    config->servers.push_back({"udp", name, name, "127.0.0.1", static_cast<uint16_t>(echo.ports().at(i)), "NORMAL"});
  }
  return config;
}

double Ms(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 10000.0;
}

double CpuMs() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Ms(kernel) + Ms(user);
}

bool Accuracy(int delayMs) {
  EchoServer echo({"--delay-ms", std::to_string(delayMs)});
  if (!echo.ok()) {
    std::printf("accuracy: the echo stand-in did not start\n");
    return false;
  }
  ResultWindow window;
  IoLoop ioLoop(window.get());
  ioLoop.Start();
  ioLoop.PostGameConfig(Config("accuracy", echo, 1, 10, 0.1));
  if (!window.PumpUntil([&] { return window.Count(kAdInfoMessage) == 1; }, 10000)) {
    std::printf("accuracy: no result for the %d ms echo\n", delayMs);
    return false;
  }
  const auto result = window.Parsed(kAdInfoMessage).front()["ad"];
  const int lag = result["lag"].get<int>();
  std::printf("accuracy: echo delayed %3d ms, 10 probes: lag %3d ms, error %+d ms, dropRate %.2f\n", delayMs, lag,
              lag - delayMs, result["dropRate"].get<double>());
  return true;
}

bool Scale(int servers, int probes) {
  const double frequency = 0.1;
  EchoServer echo({"--sockets", std::to_string(servers)});
  if (!echo.ok() || static_cast<int>(echo.ports().size()) != servers) {
    std::printf("scale: the echo stand-in did not open %d sockets\n", servers);
    return false;
  }
  ResultWindow window;
  IoLoop ioLoop(window.get());
  ioLoop.Start();
  auto config = Config("scale", echo, servers, probes, frequency);
  const double cpuBefore = CpuMs();
  LARGE_INTEGER frequencyCounter, begin, end;
  ::QueryPerformanceFrequency(&frequencyCounter);
  ::QueryPerformanceCounter(&begin);
  ioLoop.PostGameConfig(config);
  const bool complete =
      window.PumpUntil([&] { return window.Count(kAdInfoMessage) == static_cast<std::size_t>(servers); }, 60000);
  ::QueryPerformanceCounter(&end);
  const double cpu = CpuMs() - cpuBefore;
  const double wallMs = static_cast<double>(end.QuadPart - begin.QuadPart) * 1000.0 / frequencyCounter.QuadPart;

  int lost = 0, partial = 0;
  long long lagSum = 0;
  for (const auto& message : window.Parsed(kAdInfoMessage)) {
    const double dropRate = message["ad"]["dropRate"].get<double>();
    lost += dropRate >= 1.0;
    partial += dropRate > 0.0 && dropRate < 1.0;
    lagSum += message["ad"]["lag"].get<int>();
  }
  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  const double boundMs = probes * frequency * 1000.0 + 1000.0;
  std::printf("scale: %d servers x %d probes at frequency %.1f%s\n", servers, probes, frequency,
              complete ? "" : " (INCOMPLETE: not every server reported within 60 s)");
  std::printf("  wall time to last AdInfo: %.0f ms (bound %.0f ms)\n", wallMs, boundMs);
  std::printf("  CPU time of this process: %.0f ms\n", cpu);
  std::printf("  peak working set: %.1f MiB\n", memory.PeakWorkingSetSize / (1024.0 * 1024.0));
  std::printf("  results: %zu, lost: %d, partly lost: %d, mean lag %.1f ms\n", window.Count(kAdInfoMessage), lost,
              partial, window.Count(kAdInfoMessage) ? static_cast<double>(lagSum) / window.Count(kAdInfoMessage) : 0.0);
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  const int servers = argc > 1 ? std::atoi(argv[1]) : 500;
  const int probes = argc > 2 ? std::atoi(argv[2]) : 10;
  // The per-probe summaries would drown the figures.
  spdlog::set_level(spdlog::level::err);
  bool ok = Accuracy(20);
  ok = Accuracy(50) && ok;
  ok = Scale(servers, probes) && ok;
  return ok ? 0 : 1;
}
