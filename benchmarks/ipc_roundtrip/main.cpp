// Round trip of one QueryTunnel request to the stand-in tunnel service:
// through IpcClient (framing, JSON, delegate) and as a bare overlapped-pipe
// ping-pong of the same bytes. The two sides take turns, one round trip
// each, against two stand-in services started alike, so that drift of the
// machine (under Wine, of the one wineserver) falls on both alike; the
// figure is the median of the per-pair ratios. Each run swaps which service
// each side talks to.
//
//   scripts/bench.sh ipc_roundtrip [requests] [runs]     (default 10000, 5)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/unique_handle.h"
#include "benchmarks/bench_figures.h"
#include "tunnel/frame.h"
#include "tunnel/ipc_client.h"

namespace halyx {
namespace {

using bench::Figures;
using bench::NowUs;
using bench::Summarise;

class Counter : public IpcClientDelegate {
 public:
  void OnConnected() override {}
  void OnConnectFailed(DWORD) override {}
  void OnDisconnected() override { lost = true; }
  void OnStartTunnel(const RespStartTunnel&) override {}
  void OnStopTunnel(const RespStopTunnel&) override {}
  void OnQueryTunnel(const RespQueryTunnel&) override { ++answers; }
  void OnSetConfig(const RespSetConfig&) override {}
  void OnSetOutboundMode(const RespSetOutboundMode&) override {}
  std::size_t answers = 0;
  bool lost = false;
};

// The client's side: IpcClient driven by a wait on its two events, as the
// tunnel manager's loop drives it.
class ClientSide {
 public:
  explicit ClientSide(const std::string& pipe) : client_(pipe, IpcClient::AnyServer()) {
    client_.SetDelegate(&counter_);
    // The service may still be letting the previous run's client go.
    for (int i = 0; i < 100 && !client_.IsConnected(); ++i) {
      client_.Connect();
      if (!client_.IsConnected()) ::Sleep(20);
    }
  }
  bool ok() const { return client_.IsConnected(); }

  bool RoundTrip(double& us) {
    const std::size_t before = counter_.answers;
    const double start = NowUs();
    client_.SendQueryTunnel();
    while (counter_.answers == before && !counter_.lost) {
      const HANDLE events[] = {client_.ReadEvent(), client_.WriteEvent()};
      const DWORD wait = ::WaitForMultipleObjects(2, events, FALSE, 5000);
      if (wait == WAIT_OBJECT_0)
        client_.OnReadEvent();
      else if (wait == WAIT_OBJECT_0 + 1)
        client_.OnWriteEvent();
      else
        return false;
    }
    us = NowUs() - start;
    return !counter_.lost;
  }

 private:
  Counter counter_;
  IpcClient client_;
};

// The floor: the same frame written and its answer read on an overlapped
// pipe, nothing else done.
class BareSide {
 public:
  explicit BareSide(const std::string& name) {
    for (int i = 0; i < 100 && !pipe_; ++i) {
      pipe_.reset(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
      if (!pipe_) ::Sleep(20);  // the server is still letting the previous client go
    }
    std::string request;
    if (SerializeMessage(ReqQueryTunnel(), request)) frame_ = BuildFrame(request);
  }
  bool ok() const { return pipe_ && readEvent_ && writeEvent_ && !frame_.empty(); }

  bool RoundTrip(double& us) {
    const double start = NowUs();
    OVERLAPPED write{};
    write.hEvent = writeEvent_.get();
    DWORD bytes = 0;
    if (!Finish(write, ::WriteFile(pipe_.get(), frame_.data(), static_cast<DWORD>(frame_.size()), nullptr, &write),
                bytes)) {
      return false;
    }
    std::string payload;
    while (!TakeFrame(received_, payload)) {
      OVERLAPPED read{};
      read.hEvent = readEvent_.get();
      if (!Finish(read, ::ReadFile(pipe_.get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr, &read),
                  bytes)) {
        return false;
      }
      received_.insert(received_.end(), buffer_.begin(), buffer_.begin() + bytes);
    }
    us = NowUs() - start;
    return true;
  }

 private:
  // Waits for one overlapped operation; false when it fails.
  bool Finish(OVERLAPPED& overlapped, BOOL started, DWORD& bytes) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
    return ::GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE) != FALSE;
  }

  FileHandle pipe_;
  EventHandle readEvent_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  EventHandle writeEvent_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(4096);
  std::vector<uint8_t> received_;
};

// A stand-in service on a pipe of its own; empty when it did not come up.
ProcessHandle StartService(const std::string& pipe) {
  const std::wstring folder = ModuleFolder() + L"\\";
  const std::wstring line = L"\"" + folder + L"quortunnel.exe\" console --log-dir \"" + folder + L"log\" --pipe " +
                            std::wstring(pipe.begin(), pipe.end());
  ProcessHandle service = StartProcess(line);
  if (!service) return service;
  for (int i = 0; i < 500 && !::WaitNamedPipeA(pipe.c_str(), 1) && ::GetLastError() != ERROR_SEM_TIMEOUT; ++i) {
    if (::WaitForSingleObject(service.get(), 20) == WAIT_OBJECT_0) return {};
  }
  return service;
}

struct RunFigures {
  Figures client;
  Figures bare;
  double medianRatio = 0.0;
};

// One run: `count` pairs after a warm-up, the client first in even pairs and
// the bare pipe first in odd ones, so neither always follows the other.
bool MeasureRun(const std::string& clientPipe, const std::string& barePipe, int count, RunFigures& out) {
  ClientSide client(clientPipe);
  BareSide bare(barePipe);
  if (!client.ok() || !bare.ok()) return false;
  constexpr int kWarmUp = 200;
  std::vector<double> clientUs, bareUs, ratios;
  for (int i = 0; i < kWarmUp + count; ++i) {
    double c = 0, b = 0;
    const bool ok = (i % 2 == 0) ? client.RoundTrip(c) && bare.RoundTrip(b) : bare.RoundTrip(b) && client.RoundTrip(c);
    if (!ok) return false;
    if (i < kWarmUp) continue;
    clientUs.push_back(c);
    bareUs.push_back(b);
    ratios.push_back(c / b);
  }
  out.client = Summarise(clientUs);
  out.bare = Summarise(bareUs);
  out.medianRatio = Summarise(ratios).median;
  return true;
}

int Run(int count, int runs) {
  const std::string base = R"(\\.\pipe\QuorVPN\bench-)" + std::to_string(::GetCurrentProcessId());
  const std::string pipes[] = {base + "-a", base + "-b"};
  ProcessHandle services[] = {StartService(pipes[0]), StartService(pipes[1])};
  if (!services[0] || !services[1]) {
    std::fprintf(stderr, "cannot start the two stand-in services (%lu)\n", ::GetLastError());
    return 1;
  }
  spdlog::set_level(spdlog::level::warn);
  std::printf("QueryTunnel round trip, %d runs of %d interleaved pairs against two stand-in services (microseconds)\n",
              runs, count);
  std::vector<double> runRatios;
  bool ok = true;
  for (int r = 0; r < runs && ok; ++r) {
    RunFigures figures;
    ok = MeasureRun(pipes[r % 2], pipes[1 - r % 2], count, figures);
    if (!ok) break;
    runRatios.push_back(figures.medianRatio);
    std::printf("  run %d: IpcClient median %7.1f p99 %7.1f | bare median %7.1f p99 %7.1f | median pair ratio %.2f\n",
                r + 1, figures.client.median, figures.client.p99, figures.bare.median, figures.bare.p99,
                figures.medianRatio);
  }
  for (ProcessHandle& service : services) ::TerminateProcess(service.get(), 0);
  if (!ok) {
    std::fprintf(stderr, "a round trip failed\n");
    return 1;
  }
  std::sort(runRatios.begin(), runRatios.end());
  const double median = runRatios[runRatios.size() / 2];
  std::printf("  median pair ratio over %d runs: %.2f (runs from %.2f to %.2f)  [%s <= 1.2]\n", runs, median,
              runRatios.front(), runRatios.back(), median <= 1.2 ? "PASS" : "FAIL");
  return 0;
}

}  // namespace
}  // namespace halyx

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  try {
    return halyx::Run(count, runs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ipc_roundtrip: %s\n", e.what());
    return 1;
  }
}
