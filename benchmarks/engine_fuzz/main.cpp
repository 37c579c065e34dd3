// Hostile pages against the engine until the time is up, reporting every
// page that crashes it, hangs it or makes it take memory without bound:
//
//   scripts/bench.sh engine_fuzz [--seconds N] [--seed S]   (60 s, seed 1)
//   scripts/bench.sh engine_fuzz --seed S --page I [--save FOLDER | --replay FOLDER]
//
// Pages come from HostilePageMaker (seed, page number). Each batch of pages
// runs in a child process of this program, which loads every page into a new
// view and plays input on it as a person would: resizes, paints into the
// view's DIB, moves, presses, clicks and wheels at random points, keys (Tab,
// Enter, arrows, Escape, characters), and runs its timers for a while. The
// child names each page before it starts it; a child that dies names the page
// that crashed it, one that names no new page for 10 s is stopped as hung,
// and one past 1.5 GB private memory as runaway. A page that failed is run
// again alone to show whether it fails by itself. --page runs one page in
// this process (for a debugger), --save writes its files instead, and
// --replay plays the page's input on the files of a folder (a page being
// minimised).
//
// Prints pages tried, pages per second, crashes, hangs, runaway pages and the
// children's peak private memory.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "benchmarks/engine_fuzz/hostile_page_maker.h"
#include "ui/wke_binding.h"

namespace halyx::bench {
namespace {

constexpr int kBatch = 20;
constexpr ULONGLONG kHangMs = 10000;
constexpr SIZE_T kRunawayBytes = SIZE_T{1536} * 1024 * 1024;

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  FileHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string ReadBytes(const std::wstring& path) {
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char chunk[65536];
  DWORD read = 0;
  while (file && ::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  return bytes;
}

// Calls `each` with the name of every file (not folder) in `folder`.
template <typename Each>
void ForEachFile(const std::wstring& folder, Each each) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) each(std::wstring(found.cFileName));
  }
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
}

// The files of a folder, "page.html" among them.
PageFiles ReadFolder(const std::wstring& folder) {
  PageFiles files;
  ForEachFile(folder, [&](const std::wstring& name) {
    files.emplace_back(WideToUtf8(name), ReadBytes(folder + L"\\" + name));
  });
  return files;
}

// The repository's pages (copied beside the program by the build), each with
// the files it links.
std::vector<PageFiles> ReadSeedPages() {
  const std::wstring folder = ModuleFolder() + L"\\engine_fuzz_seeds\\";
  const std::vector<std::vector<std::string>> pages = {
      {"main.html", "main.css", "strings.js", "main.js"}, {"help.html"}, {"reference.html"}};
  std::vector<PageFiles> seeds;
  for (const auto& names : pages) {
    PageFiles files;
    for (const std::string& name : names) files.emplace_back(name, ReadBytes(folder + Utf8ToWide(name)));
    if (!files[0].second.empty()) seeds.push_back(files);
  }
  return seeds;
}

// Runs the thread's messages (timers, the engine's frame tasks) for `ms`,
// as a message loop would between a person's inputs: a page whose timers are
// always due still lets the next input come (input comes before WM_TIMER).
void Pump(DWORD ms) {
  const ULONGLONG until = ::GetTickCount64() + ms;
  do {
    MSG message;
    while (::GetTickCount64() < until && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  } while (::GetTickCount64() < until);
}

// Loads the page into a new view and plays a person's input on it.
void RunPage(const HostilePage& page, const std::wstring& folder) {
  for (const auto& [name, bytes] : page.files) WriteBytes(folder + L"\\" + Utf8ToWide(name), bytes);
  Random r(page.inputSeed);
  wkeWebView view = ::wkeCreateWebView();
  int width = 200 + r.Below(900), height = 150 + r.Below(700);
  ::wkeResize(view, width, height);
  ::wkeSetDebugConfig(view, "localFileRoot", WideToUtf8(folder).c_str());
  ::wkeSetDebugConfig(view, "scriptTimeLimit", "300");
  ::wkeSetLocalStorageFullPath(view, folder.c_str());
  int ready = 0;
  ::wkeOnDocumentReady(
      view, [](wkeWebView, void* count) { ++*static_cast<int*>(count); }, &ready);
  ::wkeSetFocus(view);
  ::wkeLoadFileW(view, (folder + L"\\page.html").c_str());
  for (int waited = 0; ready == 0 && waited < 5000; waited += 10) Pump(10);
  const unsigned kKeys[] = {VK_TAB,    VK_TAB,   VK_RETURN, VK_LEFT,   VK_RIGHT, VK_UP,    VK_DOWN, VK_HOME, VK_END,
                            VK_ESCAPE, VK_SPACE, VK_BACK,   VK_DELETE, VK_F4,    VK_PRIOR, VK_NEXT, 'A'};
  const auto query = reinterpret_cast<wkeQueryElementRectFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"wke.dll"), WKE_QUERY_ELEMENT_RECT_NAME)));
  const unsigned kChars[] = {'a', ' ', '\r', '\t', 0x8, 0xD800, 0xDC00, 0xFFFF, 0x4E2D, '<', 0};
  for (int actions = 30 + r.Below(60); actions > 0; --actions) {
    const int x = r.Below(width + 40) - 20, y = r.Below(height + 40) - 20;
    const unsigned flags = r.Chance(20) ? MK_SHIFT | MK_CONTROL : r.Chance(30) ? MK_LBUTTON : 0;
    switch (r.Below(13)) {
      case 0:
        width = r.Chance(10) ? r.Below(3) : 1 + r.Below(1600);
        height = r.Chance(10) ? r.Below(3) : 1 + r.Below(1200);
        ::wkeResize(view, width, height);
        break;
      case 1:
        ::wkeRepaintIfNeeded(view);
        ::GetPixel(::wkeGetViewDC(view), x, y);
        break;
      case 2:
        ::wkeFireMouseEvent(view, WM_MOUSEMOVE, x, y, flags);
        break;
      case 3:
        ::wkeFireMouseEvent(view, r.Chance(80) ? WM_LBUTTONDOWN : WM_RBUTTONDOWN, x, y, MK_LBUTTON);
        if (r.Chance(30)) ::wkeFireMouseEvent(view, WM_MOUSEMOVE, r.Below(width), r.Below(height), MK_LBUTTON);
        ::wkeFireMouseEvent(view, r.Chance(80) ? WM_LBUTTONUP : WM_LBUTTONDBLCLK, x, y, 0);
        break;
      case 4:
        ::wkeFireMouseWheelEvent(view, x, y, r.Chance(50) ? -120 * (1 + r.Below(20)) : 120, flags);
        break;
      case 5:
      case 6: {
        const unsigned key = r.Pick(kKeys);
        const bool alt = r.Chance(10);
        ::wkeFireKeyDownEvent(view, key, r.Chance(10) ? KF_REPEAT << 16 : 0, alt);
        ::wkeFireKeyUpEvent(view, key, 0, alt);
        break;
      }
      case 7:
        ::wkeFireKeyPressEvent(view, r.Pick(kChars), 0, false);
        break;
      case 8:
        r.Chance(50) ? ::wkeKillFocus(view) : ::wkeSetFocus(view);
        break;
      case 9: {
        ::wkeGetCaretRect(view);
        const char* const kSelectors[] = {"*", "select", "input:focus", "div > p", "#a .b", "[x]", "", ":hover *"};
        wkeRect rect{};
        if (query != nullptr) query(view, r.Pick(kSelectors), &rect);
        break;
      }
      case 10:
        // A reload while timers, a press or an open list are live.
        if (r.Chance(20)) ::wkeLoadFileW(view, (folder + L"\\page.html").c_str());
        break;
      default:
        Pump(static_cast<DWORD>(r.Below(60)));
        break;
    }
  }
  ::wkeRepaintIfNeeded(view);
  Pump(100);
  ::wkeDestroyWebView(view);
  Pump(10);
}

LONG WINAPI ExitOnCrash(EXCEPTION_POINTERS* e) {
  std::printf("exception %08lx\n", e->ExceptionRecord->ExceptionCode);
  std::fflush(stdout);
  ::TerminateProcess(::GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The child's part: pages first..first+count-1, each named before it starts.
// With `replay`, the files of that folder stand in for the page's own (the
// input played on them is still the page's), to minimise a failing page.
int RunPages(const HostilePageMaker& maker, std::uint64_t seed, int first, int count, const char* replay) {
  // A crash ends the process at once with its exception code for the parent
  // to see, rather than in a debugger or an error box.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  ::SetUnhandledExceptionFilter(&ExitOnCrash);
  if (!wkeInitialize()) {
    std::printf("cannot bind wke.dll\n");
    return 1;
  }
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"engine_fuzz-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(folder.c_str(), nullptr);
  for (int index = first; index < first + count; ++index) {
    std::printf("page %d\n", index);
    std::fflush(stdout);
    HostilePage page = maker.Make(seed, index);
    if (replay != nullptr) page.files = ReadFolder(Utf8ToWide(replay));
    RunPage(page, folder);
  }
  std::printf("batch done\n");
  std::fflush(stdout);
  ForEachFile(folder, [&](const std::wstring& name) { ::DeleteFileW((folder + L"\\" + name).c_str()); });
  ::RemoveDirectoryW(folder.c_str());
  return 0;
}

struct Batch {
  int tried = 0;        // pages started
  int failed = -1;      // the page that failed, or -1
  std::string failure;  // "crash 0x...", "hang", "runaway memory"
  SIZE_T peakBytes = 0;
};

// The parent's part: one child for `count` pages, watched.
Batch WatchBatch(std::uint64_t seed, int first, int count) {
  Batch batch;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!::CreatePipe(&read, &write, &inherit, 0)) return batch;
  FileHandle reader(read), writer(write);
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  LaunchOptions options;
  options.stdOutput = write;
  ProcessHandle child = StartProcess(L"\"" + ModulePath() + L"\" --child --seed " + std::to_wstring(seed) +
                                         L" --page " + std::to_wstring(first) + L" --count " + std::to_wstring(count),
                                     options);
  writer.reset();
  if (!child) {
    std::printf("cannot start a child: error %lu\n", ::GetLastError());
    batch.failure = "no child";
    return batch;
  }
  std::string output;
  bool done = false;
  ULONGLONG last = ::GetTickCount64();
  for (;;) {
    const bool exited = ::WaitForSingleObject(child.get(), 100) == WAIT_OBJECT_0;
    DWORD available = 0, got = 0;
    char chunk[4096];
    while (::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ::ReadFile(reader.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
      output.append(chunk, got);
    for (std::size_t end; (end = output.find('\n')) != std::string::npos; output.erase(0, end + 1)) {
      // The child's stdout is in text mode: its lines end in CR LF.
      const std::string line = output.substr(0, output[end - (end > 0)] == '\r' ? end - 1 : end);
      if (line.compare(0, 5, "page ") == 0) {
        batch.failed = std::atoi(line.c_str() + 5);
        batch.tried = batch.failed - first + 1;
        last = ::GetTickCount64();
      } else if (line == "batch done") {
        done = true;
      } else if (line.compare(0, 10, "exception ") == 0) {
        batch.failure = "crash 0x" + line.substr(10);
      }
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(child.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    // Wine fills in the commit charge, not always the private bytes.
    const SIZE_T used = std::max(memory.PrivateUsage, memory.PagefileUsage);
    batch.peakBytes = std::max(batch.peakBytes, used);
    if (exited) {
      DWORD code = 0;
      ::GetExitCodeProcess(child.get(), &code);
      if (done && code == 0) {
        batch.failed = -1;
      } else if (batch.failure.empty()) {
        char text[32];
        std::snprintf(text, sizeof(text), "crash 0x%08lx", code);
        batch.failure = text;
      }
      return batch;
    }
    if (used > kRunawayBytes || ::GetTickCount64() - last > kHangMs) {
      batch.failure = used > kRunawayBytes ? "runaway memory" : "hang";
      ::TerminateProcess(child.get(), 1);
      ::WaitForSingleObject(child.get(), INFINITE);
      return batch;
    }
  }
}

int Supervise(std::uint64_t seed, int seconds) {
  std::printf("seed %llu, %d s, batches of %d pages, a page hangs after %llu s\n",
              static_cast<unsigned long long>(seed), seconds, kBatch, kHangMs / 1000);
  std::fflush(stdout);
  const ULONGLONG start = ::GetTickCount64();
  int tried = 0, crashes = 0, hangs = 0, runaway = 0, next = 0;
  SIZE_T peak = 0;
  while (::GetTickCount64() - start < static_cast<ULONGLONG>(seconds) * 1000) {
    const Batch batch = WatchBatch(seed, next, kBatch);
    if (batch.failure == "no child") return 1;
    tried += batch.tried;
    peak = std::max(peak, batch.peakBytes);
    if (batch.failed < 0) {
      next += kBatch;
      continue;
    }
    const Batch alone = WatchBatch(seed, batch.failed, 1);
    std::printf("%s: --seed %llu --page %d (alone: %s)\n", batch.failure.c_str(), static_cast<unsigned long long>(seed),
                batch.failed, alone.failed < 0 ? "passes" : alone.failure.c_str());
    std::fflush(stdout);
    (batch.failure == "hang" ? hangs : batch.failure == "runaway memory" ? runaway : crashes)++;
    next = batch.failed + 1;
  }
  const double elapsed = static_cast<double>(::GetTickCount64() - start) / 1000.0;
  std::printf(
      "pages tried: %d in %.0f s, %.2f pages/s; crashes: %d, hangs: %d, runaway memory: %d; "
      "peak private memory of a child: %.1f MB\n",
      tried, elapsed, tried / elapsed, crashes, hangs, runaway, static_cast<double>(peak) / 1048576.0);
  return crashes + hangs + runaway == 0 ? 0 : 2;
}

}  // namespace
}  // namespace halyx::bench

int main(int argc, char** argv) {
  using namespace halyx::bench;
  std::uint64_t seed = 1;
  int seconds = 60, page = -1, count = 1;
  bool child = false;
  const char* save = nullptr;
  const char* replay = nullptr;
  for (int i = 1; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (std::strcmp(argv[i], "--child") == 0)
      child = true;
    else if (more && std::strcmp(argv[i], "--seed") == 0)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (more && std::strcmp(argv[i], "--seconds") == 0)
      seconds = std::atoi(argv[++i]);
    else if (more && std::strcmp(argv[i], "--page") == 0)
      page = std::atoi(argv[++i]);
    else if (more && std::strcmp(argv[i], "--count") == 0)
      count = std::atoi(argv[++i]);
    else if (more && std::strcmp(argv[i], "--save") == 0)
      save = argv[++i];
    else if (more && std::strcmp(argv[i], "--replay") == 0)
      replay = argv[++i];
  }
  const HostilePageMaker maker(ReadSeedPages());
  if (page >= 0 && save != nullptr) {
    const std::wstring folder = halyx::Utf8ToWide(save);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    for (const auto& [name, bytes] : maker.Make(seed, page).files)
      WriteBytes(folder + L"\\" + halyx::Utf8ToWide(name), bytes);
    std::printf("page %d of seed %llu written to %s\n", page, static_cast<unsigned long long>(seed), save);
    return 0;
  }
  if (page >= 0) return RunPages(maker, seed, page, child ? count : 1, replay);
  return Supervise(seed, seconds);
}
