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

namespace halyx {
namespace {

using bench::NowUs;

constexpr DWORD kTimeoutMs = 60000;
constexpr char kReadyLine[] = "IoLoop: start";

std::string ReadLog(const std::wstring& path) {
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  std::string text;
  if (!file) return text;
  char buffer[8192];
  DWORD read = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
  return text;
}

void DeleteTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(child);
      } else {
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
}

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
  ::CreateDirectoryW(temp.c_str(), nullptr);
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
    ready = ReadLog(log).find(kReadyLine) != std::string::npos;
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
    std::printf("no document-ready within %lu ms (exit code %lu); log:\n%s\n", kTimeoutMs, code, ReadLog(log).c_str());
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
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring root = std::wstring(temp) + L"client_start-" + std::to_wstring(::GetCurrentProcessId());
  std::vector<double> ready, workingSet, later;
  for (int i = 0; i < runs; ++i) {
    const std::wstring folder = root + L"-" + std::to_wstring(i);
    Sample sample;
    const bool ok = StartOnce(exe, folder, sample);
    DeleteTree(folder);
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
