// From a page call to the page's event, through the tunnel manager's own
// message loop:
//   1. Start() to the StartTunnel response event, against the stand-in
//      service registered as "QuorTunnel" with a stand-in "DnsCache"
//      running and the stand-in proxy tool in bin\ (each Start runs the
//      tool, checks the DNS client, then writes the request);
//   2. Start()'s own steps, each timed alone as Start() takes it: the proxy
//      tool's run, the DNS client check, and the floor for the first, the
//      same launch (standard error captured, the exit waited for) of a
//      trivial executable that only exits (fake_tool);
//   3. a frame the service pushes to its event (SetOutboundMode), from a
//      pipe server on a thread of this process that stamps each write.
// Each figure is the median (and 99th percentile) over `count` samples, the
// steps over a tenth of them (at least 20).
//
//   scripts/bench.sh tunnel_events [count]     (default 1000)
//
// It registers and removes the services in the build's Wine prefix: do not
// run it while the suite runs. A registration of this build's own stand-in
// left behind by a run that crashed is removed first; a service of the same
// name that is anything else is left alone, and the run stops.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "benchmarks/bench_figures.h"
#include "platform/duilib/event_source.h"
#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/unique_handle.h"
#include "tunnel/frame.h"
#include "tunnel/proxy_tool.h"
#include "tunnel/service_supervision.h"
#include "tunnel/tunnel_manager.h"
#include "support/tunnel_stand_ins.h"

namespace halyx {
namespace {

using ::halyx::testing::RegisteredService;
using ::halyx::testing::UniquePipeName;

constexpr UINT kStartCommand = WM_APP + 1;
constexpr UINT kStopCommand = WM_APP + 2;

using bench::NowUs;

void Print(const char* what, std::vector<double> samples) {
  if (samples.empty()) {
    std::printf("%s: no samples\n", what);
    return;
  }
  const bench::Figures figures = bench::Summarise(samples);
  std::printf("%s: median %.3f ms, p99 %.3f ms (%zu samples)\n", what, figures.median / 1000, figures.p99 / 1000,
              samples.size());
}

// Starts and stops the tunnel `count` times, each step begun from a window
// message as the page's calls are.
class StartStopDriver {
 public:
  StartStopDriver(TunnelManager& manager, std::size_t count) : manager_(manager), count_(count) {
    manager_.OnTunnelEvent += DuiLib::MakeDelegate(this, &StartStopDriver::OnTunnelEvent);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &StartStopDriver::WndProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TunnelEventsBenchmark";
    ::RegisterClassW(&windowClass);
    window_ = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~StartStopDriver() {
    manager_.OnTunnelEvent -= DuiLib::MakeDelegate(this, &StartStopDriver::OnTunnelEvent);
    ::DestroyWindow(window_);
  }

  void Begin() { ::PostMessageW(window_, kStartCommand, 0, 0); }

  bool OnTunnelEvent(void* param) {
    const std::string text = static_cast<const char*>(param);
    if (text == R"({"result":0,"type":"StartTunnel"})") {
      const double now = NowUs();
      startToEvent.push_back(now - startedAt_);
      ::PostMessageW(window_, kStopCommand, 0, 0);
    } else if (text == R"({"result":0,"type":"StopTunnel"})") {
      if (startToEvent.size() >= count_) {
        ::PostQuitMessage(0);
      } else {
        ::PostMessageW(window_, kStartCommand, 0, 0);
      }
    } else if (text.rfind(R"({"type":)", 0) == 0) {
      // A local notice: the manager refused a step.
      std::printf("unexpected notice %s\n", text.c_str());
      ::PostQuitMessage(1);
    }
    return true;
  }

  std::vector<double> startToEvent;
  std::vector<double> insideStart;

 private:
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<StartStopDriver*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == kStartCommand) {
      self->startedAt_ = NowUs();
      self->manager_.Start();
      self->insideStart.push_back(NowUs() - self->startedAt_);
      return 0;
    }
    if (self != nullptr && message == kStopCommand) {
      self->manager_.Stop();
      return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }

  TunnelManager& manager_;
  std::size_t count_;
  HWND window_ = nullptr;
  double startedAt_ = 0;
};

// Removes a registration of `name` that this build's stand-in left behind.
// False when the name is taken by some other program, or the removal failed.
bool RemoveStaleStandIn(const std::wstring& name) {
  const std::wstring standIn = BesideExecutable(L"quortunnel.exe");
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager ? ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG) : nullptr);
  if (!service) return true;  // nothing registered
  DWORD needed = 0;
  ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return false;
  const std::wstring binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  const std::wstring ours = L"\"" + standIn + L"\" ";
  if (binary.compare(0, ours.size(), ours) != 0) {
    std::printf("a service %ls is registered that is not this build's stand-in; leaving it alone\n", name.c_str());
    return false;
  }
  service.reset();
  std::printf("removing a stale registration of the stand-in %ls\n", name.c_str());
  ProcessHandle uninstall = StartProcess(L"\"" + standIn + L"\" uninstall --name " + name);
  DWORD code = 1;
  return uninstall && ::WaitForSingleObject(uninstall.get(), 60000) == WAIT_OBJECT_0 &&
         ::GetExitCodeProcess(uninstall.get(), &code) && code == 0;
}

// Start()'s steps one by one, with the services Start() meets.
bool MeasureSteps(std::size_t count) {
  std::vector<double> tool, trivial, dns;
  const std::wstring trivialPath = BesideExecutable(L"fake_tool.exe");
  for (std::size_t i = 0; i < count; ++i) {
    double start = NowUs();
    if (!RunProxyTool(ProxyToolPath())) return false;
    tool.push_back(NowUs() - start);
    start = NowUs();
    if (!RunProxyTool(trivialPath)) return false;
    trivial.push_back(NowUs() - start);
    start = NowUs();
    if (!CheckDnsCacheService()) return false;
    dns.push_back(NowUs() - start);
  }
  Print("  step: proxy tool run (bin\\sysproxy.exe off)", tool);
  Print("  step: DNS client check (DnsCache running)", dns);
  Print("  floor: a trivial executable launched the same way", trivial);
  return true;
}

bool MeasureStart(std::size_t count) {
  if (!RemoveStaleStandIn(L"QuorTunnel") || !RemoveStaleStandIn(L"DnsCache")) return false;
  RegisteredService tunnel(L"QuorTunnel", L"");
  if (!tunnel.installed()) {
    std::printf("cannot register the stand-in QuorTunnel\n");
    return false;
  }
  RegisteredService dns(L"DnsCache", L"--no-pipe");
  if (!dns.installed() || !tunnel.Start() || !dns.Start()) {
    std::printf("cannot register and start the stand-in services\n");
    return false;
  }
  TunnelManager manager{TunnelManager::Settings()};
  StartStopDriver driver(manager, count);
  // Connected on the first tick; then the first step is posted.
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, nullptr);
  for (;;) {
    MSG msg;
    if (::GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == timer) {
      if (manager.connected()) break;
      continue;
    }
    ::DispatchMessageW(&msg);
  }
  ::KillTimer(nullptr, timer);
  driver.Begin();
  const int code = manager.Run();
  Print("Start() to StartTunnel response event", driver.startToEvent);
  Print("  of which inside Start() (proxy tool, DNS client check, write)", driver.insideStart);
  const bool steps = MeasureSteps(std::max<std::size_t>(20, count / 10));
  return code == 0 && steps;
}

// The service's side for pushes: accepts the manager, then writes one
// SetOutboundMode frame at a time, stamped, each after the previous one's
// event was raised.
bool MeasurePush(std::size_t count) {
  const std::string name = UniquePipeName();
  FileHandle pipe(
      ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
  EventHandle raised(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!pipe || !raised) return false;
  TunnelManager::Settings settings;
  settings.pipeName = name;
  settings.serverCheck = IpcClient::AnyServer();
  TunnelManager manager(std::move(settings));

  std::atomic<double> pushedAt{0};
  std::vector<double> samples;
  struct Subscriber {
    std::atomic<double>* pushedAt;
    std::vector<double>* samples;
    HANDLE raised;
    std::size_t count;
    bool OnTunnelEvent(void* param) {
      const double now = NowUs();
      if (std::string(static_cast<const char*>(param)) != R"({"result":0,"type":"SetOutboundMode"})") return true;
      samples->push_back(now - pushedAt->load());
      if (samples->size() >= count) ::PostQuitMessage(0);
      ::SetEvent(raised);
      return true;
    }
  } subscriber{&pushedAt, &samples, raised.get(), count};
  manager.OnTunnelEvent += DuiLib::MakeDelegate(&subscriber, &Subscriber::OnTunnelEvent);

  std::thread service([&] {
    if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return;
    const auto built = BuildFrame(R"({"result":0,"type":"SetOutboundMode"})");
    for (std::size_t i = 0; i < count; ++i) {
      pushedAt = NowUs();
      DWORD written = 0;
      if (!::WriteFile(pipe.get(), built.data(), static_cast<DWORD>(built.size()), &written, nullptr)) return;
      if (::WaitForSingleObject(raised.get(), 10000) != WAIT_OBJECT_0) return;
    }
  });
  const int code = manager.Run();
  service.join();
  manager.OnTunnelEvent -= DuiLib::MakeDelegate(&subscriber, &Subscriber::OnTunnelEvent);
  Print("service push to its event", samples);
  return code == 0 && samples.size() == count;
}

}  // namespace
}  // namespace halyx

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
  // Only the figures: the manager's per-request info lines would be timed too.
  spdlog::set_level(spdlog::level::warn);
  try {
    const bool start = halyx::MeasureStart(count);
    const bool push = halyx::MeasurePush(count);
    return start && push ? 0 : 1;
  } catch (const std::exception& e) {
    std::printf("tunnel_events: %s\n", e.what());
    return 1;
  }
}
