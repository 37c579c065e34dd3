// Round trip of one QueryTunnel request to the stand-in tunnel service:
// through IpcClient (framing, JSON, delegate) and as a bare overlapped-pipe
// ping-pong of the same bytes, in the same run against the same server.
//
//   scripts/bench.sh ipc_roundtrip [requests]     (default 10000)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "benchmarks/bench_figures.h"
#include "base/unique_handle.h"
#include "tunnel/frame.h"
#include "tunnel/ipc_client.h"
#include "base/module_path.h"
#include "base/process_launch.h"

namespace halyx {
namespace {

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

using bench::Figures;
using bench::NowUs;
using bench::Summarise;

bool MeasureClient(const std::string& pipe, int count, std::vector<double>& samples) {
  Counter counter;
  IpcClient client(pipe, IpcClient::AnyServer());
  client.SetDelegate(&counter);
  client.Connect();
  if (!client.IsConnected()) return false;
  for (int i = 0; i < count; ++i) {
    const std::size_t before = counter.answers;
    const double start = NowUs();
    client.SendQueryTunnel();
    while (counter.answers == before && !counter.lost) {
      const HANDLE events[] = {client.ReadEvent(), client.WriteEvent()};
      const DWORD wait = ::WaitForMultipleObjects(2, events, FALSE, 5000);
      if (wait == WAIT_OBJECT_0)
        client.OnReadEvent();
      else if (wait == WAIT_OBJECT_0 + 1)
        client.OnWriteEvent();
      else
        return false;
    }
    if (counter.lost) return false;
    samples.push_back(NowUs() - start);
  }
  return true;
}

// Waits for one overlapped operation; false when it fails.
bool Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& bytes) {
  if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
  return ::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE) != FALSE;
}

bool MeasureBare(const std::string& name, int count, std::vector<double>& samples) {
  FileHandle pipe;
  for (int i = 0; i < 100 && !pipe; ++i) {
    pipe.reset(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe) ::Sleep(20);  // the server is still letting the previous client go
  }
  EventHandle readEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  EventHandle writeEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!pipe || !readEvent || !writeEvent) return false;
  std::string request;
  if (!SerializeMessage(ReqQueryTunnel(), request)) return false;
  const std::vector<uint8_t> frame = BuildFrame(request);
  std::vector<uint8_t> buffer(4096);
  std::vector<uint8_t> received;
  for (int i = 0; i < count; ++i) {
    const double start = NowUs();
    OVERLAPPED write{};
    write.hEvent = writeEvent.get();
    DWORD bytes = 0;
    if (!Finish(pipe.get(), write,
                ::WriteFile(pipe.get(), frame.data(), static_cast<DWORD>(frame.size()), nullptr, &write), bytes)) {
      return false;
    }
    std::string payload;
    while (!TakeFrame(received, payload)) {
      OVERLAPPED read{};
      read.hEvent = readEvent.get();
      if (!Finish(pipe.get(), read,
                  ::ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &read), bytes)) {
        return false;
      }
      received.insert(received.end(), buffer.begin(), buffer.begin() + bytes);
    }
    samples.push_back(NowUs() - start);
  }
  return true;
}

int Run(int count) {
  const std::string pipe = R"(\\.\pipe\QuorVPN\bench-)" + std::to_string(::GetCurrentProcessId());
  const std::wstring folder = ModuleFolder() + L"\\";
  const std::wstring line = L"\"" + folder + L"quortunnel.exe\" console --log-dir \"" + folder + L"log\" --pipe " +
                            std::wstring(pipe.begin(), pipe.end());
  ProcessHandle service = StartProcess(line);
  if (!service) {
    std::fprintf(stderr, "cannot start the stand-in service (%lu)\n", ::GetLastError());
    return 1;
  }
  for (int i = 0; i < 500 && !::WaitNamedPipeA(pipe.c_str(), 1) && ::GetLastError() != ERROR_SEM_TIMEOUT; ++i) {
    if (::WaitForSingleObject(service.get(), 20) == WAIT_OBJECT_0) {
      std::fprintf(stderr, "the stand-in service ended early\n");
      return 1;
    }
  }

  spdlog::set_level(spdlog::level::warn);
  std::vector<double> client;
  std::vector<double> bare;
  // The first requests of each path warm it up and are not counted.
  constexpr int kWarmUp = 200;
  const bool ok = MeasureClient(pipe, kWarmUp + count, client) && MeasureBare(pipe, kWarmUp + count, bare);
  if (ok) {
    client.erase(client.begin(), client.begin() + kWarmUp);
    bare.erase(bare.begin(), bare.begin() + kWarmUp);
  }
  ::TerminateProcess(service.get(), 0);
  if (!ok) {
    std::fprintf(stderr, "a round trip failed\n");
    return 1;
  }
  const Figures c = Summarise(client);
  const Figures b = Summarise(bare);
  std::printf("QueryTunnel round trip over %d requests against the stand-in service (microseconds)\n", count);
  std::printf("  IpcClient        median %8.1f   p99 %8.1f\n", c.median, c.p99);
  std::printf("  bare overlapped  median %8.1f   p99 %8.1f\n", b.median, b.p99);
  std::printf("  ratio            median %8.2f   p99 %8.2f\n", c.median / b.median, c.p99 / b.p99);
  return 0;
}

}  // namespace
}  // namespace halyx

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  try {
    return halyx::Run(count);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ipc_roundtrip: %s\n", e.what());
    return 1;
  }
}
