// From a push of the tunnel service to the page's callback: the service
// writes a SetOutboundMode frame into the service-control pipe, the tunnel
// manager reads it in its message loop and raises its event, the page's
// HalyxDispatch object relays it through HalyxBridge.PostResult, and the
// page's callback runs, which calls a native stamp function. The service is a
// pipe server on a thread of this process that stamps each write and writes
// the next frame once the previous one was stamped. The figure is the median
// (and 99th percentile) over `count` pushes.
//
//   scripts/bench.sh page_push [count]     (default 1000)
//
// The page runs in a view of the real engine, on this process's GUI thread,
// with the client's own dispatch object.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/unique_handle.h"
#include "base/utf8.h"
#include "benchmarks/bench_figures.h"
#include "support/tunnel_stand_ins.h"
#include "tunnel/frame.h"
#include "tunnel/tunnel_manager.h"
#include "ui/halyx_dispatch.h"
#include "ui/wke_binding.h"

namespace halyx {
namespace {

using bench::NowUs;

// The page: its callback stamps every SetOutboundMode event.
const char kPage[] =
    "<script>var HalyxBridge = { PostResult: function (o) {"
    " if (o.type === 'SetOutboundMode') benchStamp(); } };</script>";

struct Run {
  std::size_t count = 0;
  std::atomic<double> pushedAt{0};
  std::vector<double> samples;
  HANDLE stamped = nullptr;
};
Run run;

jsValue WKE_CALL_TYPE OnStamp(jsExecState, jsValue, jsValue*, int) {
  const double now = NowUs();
  run.samples.push_back(now - run.pushedAt.load());
  if (run.samples.size() >= run.count) ::PostQuitMessage(0);
  ::SetEvent(run.stamped);
  return ::jsUndefined();
}

void WKE_CALL_TYPE OnReady(wkeWebView, void* param) { *static_cast<bool*>(param) = true; }

bool PumpUntil(const bool& flag, DWORD timeoutMs) {
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (!flag && ::GetTickCount64() < end) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return flag;
}

bool Measure(std::size_t count) {
  run.count = count;
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring page = std::wstring(temp) + L"page_push-" + std::to_wstring(::GetCurrentProcessId()) + L".html";
  {
    FileHandle file(::CreateFileW(page.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), kPage, sizeof(kPage) - 1, &written, nullptr)) return false;
  }
  if (!::wkeInitialize()) {
    std::printf("cannot bind the engine\n");
    return false;
  }
  const wkeWebView view = ::wkeCreateWebView();
  bool ready = false;
  ::wkeResize(view, 640, 480);
  ::wkeOnDocumentReady(view, &OnReady, &ready);
  // The temporary folder stands in for the application's, the one folder
  // whose files a local page may load.
  ::wkeSetDebugConfig(view, "localFileRoot", WideToUtf8(temp).c_str());
  ::wkeLoadFileW(view, page.c_str());
  const bool loaded = PumpUntil(ready, 10000);
  ::DeleteFileW(page.c_str());
  if (!loaded || std::string(::jsToTempString(::wkeGlobalExec(view),
                                              ::jsEval(::wkeGlobalExec(view), "typeof HalyxBridge"))) != "object") {
    std::printf("the page did not load\n");
    return false;
  }

  const std::string name = testing::UniquePipeName();
  FileHandle pipe(
      ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
  EventHandle stamped(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!pipe || !stamped) return false;
  run.stamped = stamped.get();
  TunnelManager::Settings settings;
  settings.pipeName = name;
  settings.serverCheck = IpcClient::AnyServer();
  TunnelManager manager(std::move(settings));

  // The client's dispatch object, published as the main window's controller
  // does, and the stamp function beside it.
  const HWND sink = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  auto* dispatch = new HalyxDispatch(view, sink, manager, PageAccess::kFull);
  ::jsSetGlobal(::wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
  static jsData stamp{"BenchStamp", nullptr, nullptr, nullptr, &OnStamp};
  ::jsSetGlobal(::wkeGlobalExec(view), "benchStamp", ::jsFunction(::wkeGlobalExec(view), &stamp));

  // A service that stops short ends the run too, instead of leaving the
  // loop waiting.
  const DWORD gui = ::GetCurrentThreadId();
  std::thread service([&] {
    auto pushAll = [&] {
      if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return false;
      const auto frame = BuildFrame(R"({"result":0,"type":"SetOutboundMode"})");
      for (std::size_t i = 0; i < count; ++i) {
        run.pushedAt = NowUs();
        DWORD written = 0;
        if (!::WriteFile(pipe.get(), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) return false;
        if (::WaitForSingleObject(stamped.get(), 10000) != WAIT_OBJECT_0) return false;
      }
      return true;
    };
    if (!pushAll()) ::PostThreadMessageW(gui, WM_QUIT, 1, 0);
  });
  const int code = manager.Run();
  ::DisconnectNamedPipe(pipe.get());
  service.join();
  // Finalizes the dispatch object, which unsubscribes from the manager.
  ::wkeDestroyWebView(view);
  ::DestroyWindow(sink);
  ::wkeFinalize();

  if (run.samples.empty()) {
    std::printf("service push to the page's PostResult callback: no samples\n");
    return false;
  }
  const bench::Figures figures = bench::Summarise(run.samples);
  std::printf("service push to the page's PostResult callback: median %.3f ms, p99 %.3f ms (%zu samples)\n",
              figures.median / 1000, figures.p99 / 1000, run.samples.size());
  return code == 0 && run.samples.size() == count;
}

}  // namespace
}  // namespace halyx

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
  // Only the figures: per-event log lines would be timed too.
  spdlog::set_level(spdlog::level::warn);
  try {
    return halyx::Measure(count == 0 ? 1 : count) ? 0 : 1;
  } catch (const std::exception& e) {
    std::printf("page_push: %s\n", e.what());
    return 1;
  }
}
