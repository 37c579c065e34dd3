// What a person does in the update scenario of installer.sh, from another
// process of the same session, through the windows' own messages:
//   update_driver install     the tray menu's "check for updates", then
//                             "Install update" once it is offered; prints
//                             the window's last status line. Exit 0: the
//                             window closed because the installer runs;
//                             3: the update failed (the window said so and
//                             is closed again); 4: no offer; 5: no client;
//                             6: timed out
//   update_driver version EXE prints the file version of EXE's version block
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/utf8.h"

namespace {

constexpr DWORD kStepMs = 60000;
constexpr UINT kMenuCheckUpdate = 12;  // the tray menu's item

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kStepMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (!done()) {
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(100);
  }
  return true;
}

HWND Find(const wchar_t* className) { return ::FindWindowW(className, nullptr); }

std::wstring Status(HWND window) {
  wchar_t text[512] = {};
  ::GetDlgItemTextW(window, 100, text, 512);
  return text;
}

bool Offered(HWND window) {
  const HWND install = ::GetDlgItem(window, IDOK);
  return install != nullptr && ::IsWindowVisible(install);
}

void Print(const std::wstring& text) { std::printf("%s\n", halyx::WideToUtf8(text).c_str()); }

int Install() {
  const HWND tray = Find(L"TrayIconWindow");
  if (tray == nullptr) return 5;
  ::PostMessageW(tray, WM_COMMAND, kMenuCheckUpdate, 0);
  HWND window = nullptr;
  if (!WaitFor([&] { return (window = Find(L"QuorUpdateWindow")) != nullptr; })) return 6;
  if (!WaitFor([&] { return Offered(window) || Status(window) != L"Checking for updates..."; })) return 6;
  if (!Offered(window)) {
    Print(Status(window));
    ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    return 4;
  }
  ::PostMessageW(window, WM_COMMAND, IDOK, 0);
  std::wstring last;
  const bool settled = WaitFor([&] {
    if (!::IsWindow(window)) return true;
    last = Status(window);
    return last.rfind(L"Update failed", 0) == 0;
  });
  Print(last);
  if (!settled) return 6;
  if (!::IsWindow(window)) return 0;
  ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  return WaitFor([&] { return !::IsWindow(window); }) ? 3 : 6;
}

int Version(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return 1;
  std::vector<char> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) {
    return 1;
  }
  std::printf("%u.%u.%u.%u\n", unsigned{HIWORD(fixed->dwFileVersionMS)}, unsigned{LOWORD(fixed->dwFileVersionMS)},
              unsigned{HIWORD(fixed->dwFileVersionLS)}, unsigned{LOWORD(fixed->dwFileVersionLS)});
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"install" && argc == 2) return Install();
  if (command == L"version" && argc == 3) return Version(argv[2]);
  std::fprintf(stderr, "usage: update_driver install | version EXE\n");
  return 2;
}
