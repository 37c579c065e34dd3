// Start-up of the real QuorVPN.exe: from CreateProcess to its page's
// document-ready, and the client's working set then and a second later.
// Document-ready is where the main window's controller publishes the page's
// HalyxDispatch object, whose measurement loop writes "IoLoop: start" to the
// log at once (the log is flushed on every info line); the benchmark watches
// the log for that line. Each run starts the client with a temporary folder
// of its own (so a log of its own), then ends it with a WM_QUIT to its GUI
// thread, as the tray's exit item does.
//
//   scripts/bench.sh client_start [runs]     (default 10)
//
// Only one client runs per user: do not run it while a client or the suite
// runs. Each figure is the median (and the 99th percentile, the slowest of
// so few runs) over the runs.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/unique_handle.h"
#include "benchmarks/bench_figures.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using bench::NowUs;

constexpr DWORD kTimeoutMs = 60000;
constexpr char kReadyLine[] = "IoLoop: start";

struct Sample {
  double readyMs = 0;
  double workingSetMiB = 0;
  double workingSetLaterMiB = 0;
};

// Under Wine the working set also counts Wine's own mapped libraries.
double WorkingSetMiB(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(process, &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.WorkingSetSize) / (1024 * 1024);
}

// The GUI thread of `processId`: the thread of its main window.
DWORD GuiThread(DWORD processId) {
  HWND window = nullptr;
  while ((window = ::FindWindowExW(nullptr, window, L"QuorMainFrame", nullptr)) != nullptr) {
    DWORD owner = 0;
    const DWORD thread = ::GetWindowThreadProcessId(window, &owner);
    if (owner == processId) return thread;
  }
  return 0;
}

bool StartOnce(const std::wstring& exe, const std::wstring& temp, Sample& sample) {
  ::SetEnvironmentVariableW(L"TMP", temp.c_str());
  ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
  const std::wstring log = temp + L"\\QuorVPN\\quorvpn.log";

  const double started = NowUs();
  ProcessHandle client = StartProcess(L"\"" + exe + L"\"");
  if (!client) {
    std::printf("cannot start %ls (%lu)\n", exe.c_str(), ::GetLastError());
    return false;
  }
  bool ready = false;
  while (!ready && NowUs() - started < kTimeoutMs * 1000.0) {
    if (::WaitForSingleObject(client.get(), 1) == WAIT_OBJECT_0) break;
    ready = testing::ReadWholeFile(log).find(kReadyLine) != std::string::npos;
  }
  sample.readyMs = (NowUs() - started) / 1000;
  sample.workingSetMiB = WorkingSetMiB(client.get());
  ::Sleep(1000);
  sample.workingSetLaterMiB = WorkingSetMiB(client.get());

  const DWORD gui = GuiThread(::GetProcessId(client.get()));
  if (gui == 0 || !::PostThreadMessageW(gui, WM_QUIT, 0, 0)) ::TerminateProcess(client.get(), 99);
  DWORD code = 99;
  if (::WaitForSingleObject(client.get(), kTimeoutMs) != WAIT_OBJECT_0) ::TerminateProcess(client.get(), 99);
  ::GetExitCodeProcess(client.get(), &code);
  if (!ready) {
    std::printf("no document-ready within %lu ms (exit code %lu); log:\n%s\n", kTimeoutMs, code,
                testing::ReadWholeFile(log).c_str());
    return false;
  }
  return true;
}

void Print(const char* what, const std::vector<double>& values, const char* unit) {
  const bench::Figures figures = bench::Summarise(values);
  std::printf("%s: median %.1f %s, p99 %.1f %s (%zu runs)\n", what, figures.median, unit, figures.p99, unit,
              values.size());
}

}  // namespace
}  // namespace halyx

int main(int argc, char** argv) {
  using namespace halyx;
  const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::wstring exe = BesideExecutable(L"QuorVPN.exe");
  std::vector<double> ready, workingSet, later;
  for (int i = 0; i < runs; ++i) {
    Sample sample;
    bool ok = false;
    {
      const testing::ScopedTempDir temp;  // the client's TEMP, deleted after each run
      ok = StartOnce(exe, temp.path(), sample);
    }
    if (!ok) return 1;
    ready.push_back(sample.readyMs);
    workingSet.push_back(sample.workingSetMiB);
    later.push_back(sample.workingSetLaterMiB);
  }
  if (ready.empty()) return 1;
  Print("process start to the page's document-ready", ready, "ms");
  Print("working set at document-ready", workingSet, "MiB");
  Print("working set 1 s later", later, "MiB");
  return 0;
}
