// Accuracy and scale of the latency benchmark, measured end to end under the
// real IoLoop against UDP echo stand-ins on loopback.
//
//   scripts/bench.sh latency_bench [servers] [probes] [spacing-ms] [echo-processes]
//   scripts/bench.sh latency_bench --sweep [probes] [spacing-ms] [echo-processes] [runs]
//
// Accuracy: one server whose echo is delayed by 20 ms, then by 50 ms, 10
// probes each; prints the reported lag and its error (target: within 1 ms).
// Scale: `servers` servers (default 500) served by `echo-processes` stand-in
// processes (default 4, so the echo side is never the bottleneck) x
// `probes` probes (default 10) at `spacing-ms` (default 100). Prints, beside
// the same machine's bare UDP round trip to the same stand-ins (a blocking
// socket, one echo at a time, measured in the same run): the wall time from
// the post to the last "AdInfo" against the bound count x spacing + 1 s,
// CPU time, peak working set, the probes the client sent and received (from
// its per-server summaries) and what the stand-ins received and answered,
// the servers lost and partly lost, the mean lag, and each target with
// PASS or FAIL. Last, the floor: what a bare libuv prober (one socket per
// server, nothing else done) sees on the same schedule and stand-ins, run
// once before the client and once after it, so the client's own share of
// the lag shows apart from the platform's; and the CPU each side spends per
// probe, the client's without the thread that collects its results.
// --sweep runs the scale part at 500, 1,000, 2,000, 3,000, 4,000 and 5,000
// datagrams a second (servers x probes / spacing, so servers = rate x
// spacing) and ends with one line per rate: the client's and the floor's
// mean, the difference, lost and partly lost, and the wall time against
// its bound, `runs` times over (default 1).
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "bare_prober.h"
#include "benchmarks/bench_figures.h"
#include "net/io_loop.h"
#include "base/window_messages.h"
#include "support/net_stand_ins.h"
#include "support/result_window.h"

namespace {

using halyx::BenchmarkGameConfig;
using halyx::IoLoop;
using halyx::kAdInfoMessage;
using halyx::ServerAddressPolicy;
using halyx::testing::EchoServer;
using halyx::testing::ResultWindow;

// Each probe's summary line, "... latency test: NAME (...) R/S packets
// received ..." or "... benchmark failed to NAME (...), 0/S all packets
// lost", gives that server's received and sent counts. The sink runs on the
// loop thread, inside the client's time: it only keeps the lines, and they
// are read once the run is over.
class SummarySink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  struct Counts {
    int sent = 0;
    int received = 0;
  };

  // Once the run is over.
  std::map<std::string, Counts> Summaries() const {
    static const std::regex measured(R"(latency test: (\S+) \(.*\) (\d+)/(\d+) packets received)");
    static const std::regex lost(R"(benchmark failed to (\S+) \(.*\), 0/(\d+) all packets lost)");
    std::map<std::string, Counts> counts;
    std::smatch match;
    for (const std::string& text : lines_) {
      if (std::regex_search(text, match, measured)) {
        counts[match[1]] = {std::stoi(match[3]), std::stoi(match[2])};
      } else if (std::regex_search(text, match, lost)) {
        counts[match[1]] = {std::stoi(match[2]), 0};
      }
    }
    return counts;
  }
  std::size_t lines() const { return lines_.size(); }
  // What the sink itself cost the threads that logged (the loop thread).
  double busyUs = 0.0;

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    const double begin = halyx::bench::NowUs();
    lines_.emplace_back(message.payload.data(), message.payload.size());
    busyUs += halyx::bench::NowUs() - begin;
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines_;
};

struct Server {
  const EchoServer* echo;
  std::size_t port;
};

std::shared_ptr<BenchmarkGameConfig> Config(const std::string& id, const std::vector<Server>& servers, int probes,
                                            double spacing) {
  auto config = std::make_shared<BenchmarkGameConfig>();
  config->id = id;
  config->setting = {0, spacing, probes};
  config->route = {"bench", "Benchmark"};
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const std::string name = "s" + std::to_string(i);
    config->servers.push_back({"udp", name, name, "127.0.0.1", servers[i].echo->Port(servers[i].port), "NORMAL"});
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

// This thread's CPU time: the GUI side, which pumps and collects the results.
double ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
  return Ms(kernel) + Ms(user);
}

const char* Verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

bool Accuracy(int delayMs) {
  EchoServer echo({"--delay-ms", std::to_string(delayMs)});
  if (!echo.ok()) {
    std::printf("accuracy: the echo stand-in did not start\n");
    return false;
  }
  ResultWindow window;
  IoLoop ioLoop(window.get(), ServerAddressPolicy::AllowingLocalServers());
  ioLoop.Start();
  ioLoop.PostGameConfig(Config("accuracy", {{&echo, 0}}, 10, 0.1));
  if (!window.PumpUntil([&] { return window.Count(kAdInfoMessage) == 1; }, 10000)) {
    std::printf("accuracy: no result for the %d ms echo\n", delayMs);
    return false;
  }
  const auto result = window.Parsed(kAdInfoMessage).front()["ad"];
  const int lag = result["lag"].get<int>();
  const bool ok = std::abs(lag - delayMs) <= 1;
  std::printf("accuracy: echo delayed %3d ms, 10 probes: lag %3d ms, error %+d ms, dropRate %.2f  [%s within 1 ms]\n",
              delayMs, lag, lag - delayMs, result["dropRate"].get<double>(), Verdict(ok));
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(echo.Port());
  const auto floor = halyx::bench::BareProber::Run({target}, 10, 100);
  std::printf(
      "  floor, a bare libuv prober against the same echo: mean %.2f ms; the client's lag differs by %+.2f ms\n",
      floor.meanMs, lag - floor.meanMs);
  return ok;
}

// What one scale run found, for the sweep's table.
struct ScaleSummary {
  int rate = 0;
  double clientMs = 0.0;
  double floorMs = 0.0;
  int lost = 0;
  int partial = 0;
  double wallMs = 0.0;
  double boundMs = 0.0;
  bool complete = false;
};

bool Scale(int servers, int probes, double spacing, int processes, ScaleSummary& summary) {
  std::vector<std::unique_ptr<EchoServer>> echoes;
  std::vector<Server> list;
  for (int p = 0; p < processes; ++p) {
    const int share = servers / processes + (p < servers % processes ? 1 : 0);
    echoes.push_back(std::make_unique<EchoServer>(std::vector<std::string>{"--sockets", std::to_string(share)}));
    if (!echoes.back()->ok() || static_cast<int>(echoes.back()->ports().size()) != share) {
      std::printf("scale: echo stand-in %d did not open %d sockets\n", p, share);
      return false;
    }
    for (int i = 0; i < share; ++i) list.push_back({echoes.back().get(), static_cast<std::size_t>(i)});
  }
  const auto bare = echoes.front()->BareRoundTripMs(200);

  // The floor runs once before the client and once after it, so neither
  // side alone meets stand-ins just started or a machine whose load drifts.
  std::vector<sockaddr_in> targets(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    targets[i].sin_family = AF_INET;
    targets[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    targets[i].sin_port = htons(list[i].echo->Port(list[i].port));
  }
  double cpuBefore = CpuMs();
  const auto floorBefore = halyx::bench::BareProber::Run(targets, probes, static_cast<int>(spacing * 1000.0));
  const double floorCpuFirst = CpuMs() - cpuBefore;
  long long echoReceived = 0, echoAnswered = 0;
  for (const auto& echo : echoes) {
    const EchoServer::Figures figures = echo->Stats();
    echoReceived -= figures.received;
    echoAnswered -= figures.answered;
  }

  auto sink = std::make_shared<SummarySink>();
  auto previous = spdlog::default_logger();
  auto logger = std::make_shared<spdlog::logger>("bench", sink);
  logger->set_level(spdlog::level::warn);
  spdlog::set_default_logger(logger);

  ResultWindow window;
  bool complete = false;
  double cpu = 0, guiCpu = 0, wallMs = 0;
  {
    IoLoop ioLoop(window.get(), ServerAddressPolicy::AllowingLocalServers());
    ioLoop.Start();
    auto config = Config("scale", list, probes, spacing);
    cpuBefore = CpuMs();
    const double guiCpuBefore = ThreadCpuMs();
    LARGE_INTEGER frequencyCounter, begin, end;
    ::QueryPerformanceFrequency(&frequencyCounter);
    ::QueryPerformanceCounter(&begin);
    ioLoop.PostGameConfig(config);
    complete =
        window.PumpUntil([&] { return window.Count(kAdInfoMessage) == static_cast<std::size_t>(servers); }, 60000);
    ::QueryPerformanceCounter(&end);
    cpu = CpuMs() - cpuBefore;
    guiCpu = ThreadCpuMs() - guiCpuBefore;
    wallMs = static_cast<double>(end.QuadPart - begin.QuadPart) * 1000.0 / frequencyCounter.QuadPart;
  }
  spdlog::set_default_logger(previous);

  int lost = 0, partial = 0;
  long long lagSum = 0;
  for (const auto& message : window.Parsed(kAdInfoMessage)) {
    const double dropRate = message["ad"]["dropRate"].get<double>();
    lost += dropRate >= 1.0;
    partial += dropRate > 0.0 && dropRate < 1.0;
    lagSum += message["ad"]["lag"].get<int>();
  }
  long long sent = 0, received = 0;
  int fewest = probes, most = 0;
  std::vector<std::string> short_;
  const auto summaries = sink->Summaries();
  for (const auto& [name, counts] : summaries) {
    sent += counts.sent;
    received += counts.received;
    fewest = std::min(fewest, counts.received);
    most = std::max(most, counts.received);
    if (counts.received < counts.sent && short_.size() < 10) {
      short_.push_back(name + " " + std::to_string(counts.received) + "/" + std::to_string(counts.sent));
    }
  }
  for (const auto& echo : echoes) {
    const EchoServer::Figures figures = echo->Stats();
    echoReceived += figures.received;
    echoAnswered += figures.answered;
  }

  // The second floor, after the client.
  cpuBefore = CpuMs();
  const auto floorAfter = halyx::bench::BareProber::Run(targets, probes, static_cast<int>(spacing * 1000.0));
  const double floorCpu = floorCpuFirst + CpuMs() - cpuBefore;
  halyx::bench::BareProber::Figures floor;
  floor.sent = floorBefore.sent + floorAfter.sent;
  floor.received = floorBefore.received + floorAfter.received;
  floor.meanMs = floor.received
                     ? (floorBefore.meanMs * floorBefore.received + floorAfter.meanMs * floorAfter.received) /
                           static_cast<double>(floor.received)
                     : 0.0;
  floor.lateMs = floor.sent ? (floorBefore.lateMs * floorBefore.sent + floorAfter.lateMs * floorAfter.sent) /
                                  static_cast<double>(floor.sent)
                            : 0.0;
  // For comparison only: a floor whose repeating timers drift when late.
  const auto drifting = halyx::bench::BareProber::Run(targets, probes, static_cast<int>(spacing * 1000.0),
                                                      halyx::bench::BareProber::Schedule::kDrift);

  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  const double workingSetMiB = memory.PeakWorkingSetSize / (1024.0 * 1024.0);
  const double boundMs = probes * spacing * 1000.0 + 1000.0;
  const std::size_t results = window.Count(kAdInfoMessage);
  const double meanLag = results ? static_cast<double>(lagSum) / results : 0.0;
  std::printf("scale: %d servers x %d probes at spacing %.0f ms, echoes served by %d processes%s\n", servers, probes,
              spacing * 1000.0, processes, complete ? "" : " (INCOMPLETE: not every server reported within 60 s)");
  std::printf("  bare UDP round trip to the same stand-in: mean %.3f ms, median %.3f ms (200 rounds)\n", bare.first,
              bare.second);
  std::printf("  wall time to last AdInfo: %.0f ms (bound %.0f ms)\n", wallMs, boundMs);
  std::printf(
      "  CPU time of this process: %.0f ms, of which %.0f ms on this thread (pumping and collecting the results)\n",
      cpu, guiCpu);
  std::printf("  log lines at warning level and above: %zu, %.1f ms in the benchmark's own sink\n", sink->lines(),
              sink->busyUs / 1000.0);
  std::printf("  peak working set: %.1f MiB\n", workingSetMiB);
  std::printf(
      "  client: %lld probes sent, %lld echoes counted (per server %d to %d of %d), summaries for %zu servers\n", sent,
      received, fewest, most, probes, summaries.size());
  std::printf("  stand-ins: %lld datagrams received, %lld answered\n", echoReceived, echoAnswered);
  if (!short_.empty()) {
    std::printf("  servers short of echoes (first 10):");
    for (const std::string& entry : short_) std::printf(" %s", entry.c_str());
    std::printf("\n");
  }
  std::printf("  results: %zu, lost: %d, partly lost: %d, mean lag %.2f ms\n", results, lost, partial, meanLag);
  std::printf(
      "  floor, a bare libuv prober on the same schedule, before and after the client: %lld of %lld echoes in time,"
      " mean %.2f ms (before %.2f, after %.2f); the client adds %+.2f ms\n",
      floor.received, floor.sent, floor.meanMs, floorBefore.meanMs, floorAfter.meanMs, meanLag - floor.meanMs);
  std::printf(
      "    its probes left %.2f ms after their planned times on average; with drifting timers instead: %lld of %lld"
      " echoes in time, mean %.2f ms\n",
      floor.lateMs, drifting.received, drifting.sent, drifting.meanMs);
  std::printf("  CPU per probe sent: client %.1f us (this thread's share left out), floor %.1f us\n",
              sent ? (cpu - guiCpu) * 1000.0 / sent : 0.0, floor.sent ? floorCpu * 1000.0 / floor.sent : 0.0);
  summary = {
      static_cast<int>(servers / spacing + 0.5), meanLag, floor.meanMs, lost, partial, wallMs, boundMs, complete};
  const bool noLoss = complete && lost == 0 && partial == 0;
  const bool lagOk = bare.first >= 0 && meanLag <= bare.first + 2.0;
  const bool inBound = wallMs <= boundMs;
  const bool memoryOk = workingSetMiB < 64.0;
  std::printf("  [%s] 0 servers lost or partly lost\n", Verdict(noLoss));
  std::printf("  [%s] mean lag %.2f ms within 2 ms of the bare round trip %.3f ms\n", Verdict(lagOk), meanLag,
              bare.first);
  std::printf("  [%s] run %.0f ms inside the bound %.0f ms\n", Verdict(inBound), wallMs, boundMs);
  std::printf("  [%s] working set %.1f MiB under 64 MiB\n", Verdict(memoryOk), workingSetMiB);
  return noLoss && lagOk && inBound && memoryOk;
}

// The client against the floor at each rate, `runs` times over (the rates
// interleaved, so drift in the machine's load spreads over all of them). Up
// to 3,000 datagrams a second the client should lag the bare prober by at
// most 2 ms; above, where the platform itself is noisy, by at most a tenth
// of the bare prober's mean in the same run.
bool Sweep(int probes, double spacing, int processes, int runs) {
  constexpr int kRates[] = {500, 1000, 2000, 3000, 4000, 5000};
  std::map<int, std::vector<ScaleSummary>> rows;
  for (int run = 1; run <= runs; ++run) {
    for (const int rate : kRates) {
      const int servers = std::max(1, static_cast<int>(rate * spacing + 0.5));
      std::printf("\n--- %d datagrams a second, run %d of %d ---\n", rate, run, runs);
      ScaleSummary row;
      Scale(servers, probes, spacing, processes, row);
      rows[rate].push_back(row);
    }
  }
  std::printf("\nsweep: %d probes per server at spacing %.0f ms, %d run%s per rate\n", probes, spacing * 1000.0, runs,
              runs == 1 ? "" : "s");
  std::printf("  %6s %4s %10s %10s %9s %5s %8s %9s %9s  %s\n", "rate/s", "run", "client ms", "floor ms", "diff ms",
              "lost", "partly", "wall ms", "bound ms", "verdict");
  bool ok = true;
  for (const int rate : kRates) {
    int met = 0;
    for (std::size_t i = 0; i < rows[rate].size(); ++i) {
      const ScaleSummary& row = rows[rate][i];
      const double diff = row.clientMs - row.floorMs;
      const double allowed = row.rate <= 3000 ? 2.0 : 0.1 * row.floorMs;
      const bool good =
          row.complete && row.lost == 0 && row.partial == 0 && diff <= allowed && row.wallMs <= row.boundMs;
      met += good;
      std::printf("  %6d %4zu %10.2f %10.2f %+9.2f %5d %8d %9.0f %9.0f  [%s diff <= %.1f ms, nothing lost, in bound]\n",
                  row.rate, i + 1, row.clientMs, row.floorMs, diff, row.lost, row.partial, row.wallMs, row.boundMs,
                  Verdict(good), allowed);
    }
    std::printf("  %6d: targets met in %d of %d runs\n", rate, met, runs);
    ok = ok && met == runs;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool sweep = argc > 1 && std::string(argv[1]) == "--sweep";
  // The numbers after the optional --sweep; the sweep sets the servers itself.
  std::vector<const char*> numbers(argv + (sweep ? 2 : 1), argv + argc);
  if (sweep) numbers.insert(numbers.begin(), "1");
  const auto number = [&](std::size_t i, double fallback) {
    return i < numbers.size() ? std::atof(numbers[i]) : fallback;
  };
  const int servers = static_cast<int>(number(0, 500));
  const int probes = static_cast<int>(number(1, 10));
  const double spacing = number(2, 100.0) / 1000.0;
  const int processes = static_cast<int>(number(3, 4));
  const int runs = static_cast<int>(number(4, 1));
  if (servers <= 0 || probes <= 0 || spacing <= 0.0 || processes <= 0 || runs <= 0) {
    std::printf(
        "usage: latency_bench [servers] [probes] [spacing-ms] [echo-processes]\n"
        "       latency_bench --sweep [probes] [spacing-ms] [echo-processes] [runs]\n");
    return 2;
  }
  // The per-probe lines would drown the figures.
  spdlog::set_level(spdlog::level::err);
  bool ok = Accuracy(20);
  ok = Accuracy(50) && ok;
  if (sweep) {
    ok = Sweep(probes, spacing, processes, runs) && ok;
  } else {
    ScaleSummary summary;
    ok = Scale(servers, probes, spacing, processes, summary) && ok;
  }
  return ok ? 0 : 1;
}
