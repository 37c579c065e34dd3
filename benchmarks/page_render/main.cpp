// The engine on the reference page (about 300 elements: a header bar, a
// side panel with a round button, a list of server rows with right-aligned
// figures, a text field):
//
//   scripts/bench.sh page_render_bench [loads] [toggles]
//   scripts/bench.sh page_render_bench --show SECONDS
//   scripts/bench.sh page_render_bench --churn [MINUTES [SPEED [same]]]
//
// Prints the time from the load call to the first paint (reading, parsing,
// scripts, style, layout and paint, all from the message loop), the time
// from a class toggle in script to its repaint, each as median and 99th
// percentile over `loads` (default 20) and `toggles` (default 100) runs,
// and the process's private bytes and peak working set with the page shown,
// against the targets (first paint under 50 ms, toggle under 8 ms).
// --show opens a window with the page for SECONDS (default 10), forwarding
// the mouse and keys, for screenshots under Xvfb.
// --churn has the page replace 300 nodes a second for MINUTES (default 10)
// of page time, SPEED (default 10) times faster than that: rows made by
// script (with a listener each, held for a while by a script array) and
// rows made from markup, in turn. It prints the document's node count and
// the private bytes at the start, every tenth of the run and at the end,
// and with each tenth what the process's heaps hold (blocks in use against
// what the heaps have committed) and the engine's own figures for each of
// its tables and caches (wkeQueryMemory), so that a growth has an owner.
// With "same", the rows' texts repeat (a hundred labels) instead of growing
// without end, which leaves the fonts' caches of measured words out.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/module_path.h"
#include "benchmarks/bench_figures.h"
#include "ui/wke_binding.h"

namespace {

constexpr int kWidth = 900;
constexpr int kHeight = 640;

struct Counters {
  int paints = 0;
  int ready = 0;
};

void Pump() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

// Pumps until `done` holds or 5 s passed; false on the timeout.
template <typename Done>
bool PumpUntil(Done done) {
  const ULONGLONG deadline = ::GetTickCount64() + 5000;
  while (!done()) {
    if (::GetTickCount64() > deadline) return false;
    Pump();
    if (!done()) ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
  return true;
}

void PrintMemory(const char* when) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
  std::printf("memory %s: private %.1f MB, working set %.1f MB, peak working set %.1f MB\n", when,
              static_cast<double>(counters.PrivateUsage) / 1048576.0,
              static_cast<double>(counters.WorkingSetSize) / 1048576.0,
              static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0);
}

LRESULT CALLBACK ShowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto view = reinterpret_cast<wkeWebView>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  const int x = static_cast<short>(LOWORD(lparam)), y = static_cast<short>(HIWORD(lparam));
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(window, &paint);
      if (view != nullptr) {
        ::wkeRepaintIfNeeded(view);
        ::BitBlt(dc, 0, 0, kWidth, kHeight, ::wkeGetViewDC(view), 0, 0, SRCCOPY);
      }
      ::EndPaint(window, &paint);
      return 0;
    }
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      if (view != nullptr) ::wkeFireMouseEvent(view, message, x, y, static_cast<unsigned>(wparam));
      return 0;
    case WM_KEYDOWN:
      if (view != nullptr)
        ::wkeFireKeyDownEvent(view, static_cast<unsigned>(wparam), static_cast<unsigned>(lparam), false);
      return 0;
    case WM_CHAR:
      if (view != nullptr)
        ::wkeFireKeyPressEvent(view, static_cast<unsigned>(wparam), static_cast<unsigned>(lparam), false);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

int Show(wkeWebView view, int seconds) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = ShowProc;
  window_class.hInstance = ::GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"PageRenderBenchWindow";
  window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  ::RegisterClassW(&window_class);
  HWND window = ::CreateWindowExW(0, window_class.lpszClassName, L"Reference page", WS_POPUP | WS_VISIBLE, 0, 0, kWidth,
                                  kHeight, nullptr, nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return 1;
  ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
  ::wkeOnPaintUpdated(
      view,
      [](wkeWebView, void* param, const HDC, int, int, int, int) {
        ::InvalidateRect(static_cast<HWND>(param), nullptr, FALSE);
      },
      window);
  ::wkeSetFocus(view);
  ::InvalidateRect(window, nullptr, FALSE);
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  while (::GetTickCount64() < deadline && ::IsWindow(window)) {
    Pump();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  ::wkeOnPaintUpdated(view, nullptr, nullptr);
  if (::IsWindow(window)) ::DestroyWindow(window);
  std::printf("shown for %d s\n", seconds);
  return 0;
}

// Committed private memory, from the address space itself: Wine leaves
// PrivateUsage of GetProcessMemoryInfo at 0.
double PrivateMiB() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (const char* at = nullptr; ::VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
       at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    if (info.RegionSize == 0) break;
  }
  return static_cast<double>(total) / 1048576.0;
}

// What the process's heaps hold: the blocks in use, and what the heaps
// have committed for them (the difference is free space inside the heaps,
// kept by the allocator, which private bytes count too).
struct HeapFigures {
  double busy_mib = 0;
  double committed_mib = 0;
  std::size_t heaps = 0;
  std::string each;  // in use/committed MiB of each heap
};

HeapFigures WalkHeaps() {
  HeapFigures figures;
  std::vector<HANDLE> heaps(64);
  DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  if (count > heaps.size()) {
    heaps.resize(count);
    count = ::GetProcessHeaps(count, heaps.data());
  }
  std::size_t busy = 0, committed = 0;
  for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
    if (!::HeapLock(heaps[i])) continue;
    std::size_t heap_busy = 0, heap_committed = 0;
    PROCESS_HEAP_ENTRY entry{};
    while (::HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_REGION) {
        heap_committed += entry.Region.dwCommittedSize;
      } else if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
        heap_busy += entry.cbData + entry.cbOverhead;
      }
    }
    ::HeapUnlock(heaps[i]);
    ++figures.heaps;
    char one[64];
    std::snprintf(one, sizeof(one), "%s%.2f/%.2f", figures.each.empty() ? "" : ", ",
                  static_cast<double>(heap_busy) / 1048576.0, static_cast<double>(heap_committed) / 1048576.0);
    figures.each += one;
    busy += heap_busy;
    committed += heap_committed;
  }
  figures.busy_mib = static_cast<double>(busy) / 1048576.0;
  figures.committed_mib = static_cast<double>(committed) / 1048576.0;
  return figures;
}

// The engine's own figures, one owner a line, folded into one line of
// "owner: figure" in KiB (counts as they are).
std::string EngineFigures(wkeWebView view) {
  auto query = reinterpret_cast<wkeQueryMemoryFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"wke.dll"), WKE_QUERY_MEMORY_NAME)));
  if (query == nullptr) return "the engine gives no figures";
  std::string text(static_cast<std::size_t>(std::max(0, query(view, nullptr, 0))) + 1, '\0');
  text.resize(static_cast<std::size_t>(std::max(0, query(view, text.data(), static_cast<int>(text.size())))));
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    const double value = std::atof(line.c_str() + space + 1);
    char figure[96];
    if (line.find("bytes") != std::string::npos || line.find("heap") != std::string::npos ||
        line.find("tables") != std::string::npos || line.find("retired") != std::string::npos) {
      std::snprintf(figure, sizeof(figure), "%s%s %.0f KiB", out.empty() ? "" : ", ", line.substr(0, space).c_str(),
                    value / 1024.0);
    } else {
      std::snprintf(figure, sizeof(figure), "%s%s %.0f", out.empty() ? "" : ", ", line.substr(0, space).c_str(), value);
    }
    out += figure;
  }
  return out;
}

void PrintOwners(wkeWebView view) {
  const HeapFigures heaps = WalkHeaps();
  std::printf("  heaps: %zu, in use %.2f MiB, committed %.2f MiB (each in use/committed: %s)\n", heaps.heaps,
              heaps.busy_mib, heaps.committed_mib, heaps.each.c_str());
  std::printf("  engine: %s\n", EngineFigures(view).c_str());
}

int Churn(wkeWebView view, int minutes, int speed, bool sameText) {
  auto count = reinterpret_cast<wkeQueryNodeCountFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"wke.dll"), WKE_QUERY_NODE_COUNT_NAME)));
  if (count == nullptr) {
    std::printf("the engine cannot count its nodes\n");
    return 1;
  }
  jsExecState es = ::wkeGlobalExec(view);
  // Each call replaces `n` nodes under one host: rows of a div, a span and
  // its text.
  const std::string setup =
      std::string(
          "var churnHost = document.createElement('div'); document.body.appendChild(churnHost);"
          "var made = 0, recent = [], sameText = ") +
      std::string(sameText ? "true" : "false") +
      ";"
      "function label() { made++; return sameText ? String(made % 100) : String(made); }"
      "function churn(n, markup) {"
      "  if (markup) {"
      "    var html = '';"
      "    for (var i = 0; i < n / 3; i++) html += '<div class=row><span>server ' + label() + '</span></div>';"
      "    churnHost.innerHTML = html; return;"
      "  }"
      "  while (churnHost.firstChild) churnHost.removeChild(churnHost.firstChild);"
      "  for (var i = 0; i < n / 3; i++) {"
      "    var row = document.createElement('div'); row.className = 'row';"
      "    var name = document.createElement('span'); name.textContent = 'server ' + label();"
      "    row.appendChild(name); row.addEventListener('click', function () { row.title = 'x'; });"
      "    churnHost.appendChild(row); recent.push(row);"
      "  }"
      "  if (recent.length > 600) recent.splice(0, recent.length - 600);"
      "}";
  ::jsEval(es, setup.c_str());
  const long long steps = static_cast<long long>(minutes) * 60 * 10;  // 30 nodes each 100 ms of page time
  const DWORD step_ms = static_cast<DWORD>(std::max(1, 100 / speed));
  std::printf("churn: %d min of page time at 300 nodes/s, %dx faster\n", minutes, speed);
  std::printf("churn start: %d nodes, private %.1f MiB\n", count(view), PrivateMiB());
  PrintOwners(view);
  const double start = halyx::bench::NowUs();
  for (long long step = 1; step <= steps; ++step) {
    // 30 nodes a step, made one way for a page minute, then the other.
    ::jsEval(es, (step / 600) % 2 == 0 ? "churn(30, false)" : "churn(30, true)");
    const ULONGLONG until = ::GetTickCount64() + step_ms;
    do {
      Pump();
      ::wkeRepaintIfNeeded(view);
    } while (::GetTickCount64() < until &&
             ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT) != WAIT_FAILED);
    if (step % (steps / 10) == 0) {
      std::printf("churn %lld%%: %d nodes, private %.1f MiB, %lld nodes replaced, %.0f s\n", step * 100 / steps,
                  count(view), PrivateMiB(), step * 30, (halyx::bench::NowUs() - start) / 1e6);
      PrintOwners(view);
    }
  }
  std::printf("churn end: %d nodes, private %.1f MiB, %lld nodes replaced\n", count(view), PrivateMiB(), steps * 30);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool show = argc > 1 && std::strcmp(argv[1], "--show") == 0;
  const bool churn = argc > 1 && std::strcmp(argv[1], "--churn") == 0;
  const int loads = churn ? 1 : !show && argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int toggles = !show && argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  PrintMemory("before the engine");
  if (!wkeInitialize()) {
    std::printf("cannot bind wke.dll\n");
    return 1;
  }
  const std::wstring page = halyx::ModuleFolder() + L"\\page_render_reference.html";
  wkeWebView view = ::wkeCreateWebView();
  ::wkeResize(view, kWidth, kHeight);
  Counters counters;
  ::wkeOnDocumentReady(
      view, [](wkeWebView, void* p) { ++static_cast<Counters*>(p)->ready; }, &counters);
  ::wkeOnPaintUpdated(
      view, [](wkeWebView, void* p, const HDC, int, int, int, int) { ++static_cast<Counters*>(p)->paints; }, &counters);

  std::vector<double> first_paint;
  for (int i = 0; i < (show ? 1 : loads); ++i) {
    const int paints = counters.paints;
    const double start = halyx::bench::NowUs();
    ::wkeLoadFileW(view, page.c_str());
    if (!PumpUntil([&] { return counters.paints > paints && counters.ready > i; })) {
      std::printf("the page did not paint\n");
      return 1;
    }
    first_paint.push_back((halyx::bench::NowUs() - start) / 1000.0);
  }
  if (show) return Show(view, argc > 2 ? std::atoi(argv[2]) : 10);
  if (churn) {
    const int result =
        Churn(view, argc > 2 ? std::max(1, std::atoi(argv[2])) : 10,
              argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 100) : 10, argc > 4 && std::strcmp(argv[4], "same") == 0);
    ::wkeDestroyWebView(view);
    return result;
  }

  jsExecState es = ::wkeGlobalExec(view);
  // Rows in view: a change out of sight rightly paints nothing, and the
  // figure is the time until the user sees it.
  ::jsEval(es,
           "var shown = document.getElementById('list').getBoundingClientRect();"
           "var rows = [].filter.call(document.querySelectorAll('.row'), function (r) {"
           "  var b = r.getBoundingClientRect(); return b.top >= shown.top && b.bottom <= shown.bottom; });"
           "var at = 0;");
  std::vector<double> toggle;
  for (int i = 0; i < toggles; ++i) {
    const int paints = counters.paints;
    const double start = halyx::bench::NowUs();
    // One row's class: its style and the repaint of that row.
    ::jsEval(es, "rows[at % rows.length].classList.toggle('selected'); at++;");
    if (!PumpUntil([&] { return counters.paints > paints; })) {
      std::printf("the toggle did not repaint\n");
      return 1;
    }
    toggle.push_back((halyx::bench::NowUs() - start) / 1000.0);
  }
  // The same toggle up to its style and layout only (the engine's own
  // rectangle query lays out what is pending), without the paint.
  auto query = reinterpret_cast<wkeQueryElementRectFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"wke.dll"), WKE_QUERY_ELEMENT_RECT_NAME)));
  std::vector<double> script_only, layout_only;
  for (int i = 0; i < toggles && query != nullptr; ++i) {
    wkeRect rect{};
    double start = halyx::bench::NowUs();
    ::jsEval(es, "rows[at % rows.length].classList.toggle('selected'); at++;");
    script_only.push_back((halyx::bench::NowUs() - start) / 1000.0);
    start = halyx::bench::NowUs();
    query(view, "#list", &rect);
    layout_only.push_back((halyx::bench::NowUs() - start) / 1000.0);
    Pump();
  }
  std::vector<double> density;
  for (int i = 0; i < 20; ++i) {
    const int paints = counters.paints;
    const double start = halyx::bench::NowUs();
    ::jsEval(es, "document.getElementById('app').classList.toggle('compact');");
    if (!PumpUntil([&] { return counters.paints > paints; })) return 1;
    density.push_back((halyx::bench::NowUs() - start) / 1000.0);
  }
  const int elements = ::jsToInt(es, ::jsEval(es, "document.querySelectorAll('*').length"));
  const auto paint = halyx::bench::Summarise(first_paint);
  const auto change = halyx::bench::Summarise(toggle);
  const auto whole = halyx::bench::Summarise(density);
  std::printf("reference page: %d elements, view %dx%d\n", elements, kWidth, kHeight);
  std::printf("first paint: median %.2f ms, p99 %.2f ms over %d loads (target < 50 ms: %s)\n", paint.median, paint.p99,
              loads, paint.median < 50 ? "PASS" : "FAIL");
  std::printf("class toggle to repaint: median %.2f ms, p99 %.2f ms over %d toggles (target < 8 ms: %s)\n",
              change.median, change.p99, toggles, change.median < 8 ? "PASS" : "FAIL");
  if (!script_only.empty()) {
    const auto a = halyx::bench::Summarise(script_only);
    const auto b = halyx::bench::Summarise(layout_only);
    std::printf("  of which the script call: median %.2f ms; style and layout: median %.2f ms\n", a.median, b.median);
  }
  std::printf("page-wide class toggle (every row restyled): median %.2f ms, p99 %.2f ms over 20\n", whole.median,
              whole.p99);
  PrintMemory("with the page shown");
  ::wkeDestroyWebView(view);
  return 0;
}
