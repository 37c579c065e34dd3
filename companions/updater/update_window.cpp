#include "update_window.h"

#include <memory>
#include <string>
#include <utility>

#include "base/guard.h"
#include "base/window_messages.h"

namespace halyx::update {
namespace {

constexpr int kWidth = 460;
constexpr int kHeight = 220;

// What each window keeps, freed with it (WM_NCDESTROY).
struct WindowState {
  std::function<void()> onAccept;
  std::function<void()> onDone;
  bool offered = false;
};

WindowState* StateOf(HWND window) { return reinterpret_cast<WindowState*>(::GetWindowLongPtrW(window, GWLP_USERDATA)); }

HWND AddChild(HWND parent, const wchar_t* type, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id) {
  const HWND child = ::CreateWindowExW(0, type, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  if (child != nullptr) {
    ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  }
  return child;
}

void ShowOutcome(HWND window, const UpdateWindow::Outcome& outcome) {
  WindowState* state = StateOf(window);
  if (state == nullptr) return;
  if (outcome.done) {
    if (state->onDone) state->onDone();
    ::DestroyWindow(window);
    return;
  }
  state->offered = outcome.offered;
  ::SetDlgItemTextW(window, UpdateWindow::kStatusId, outcome.text.c_str());
  if (outcome.offered) {
    ::ShowWindow(::GetDlgItem(window, IDOK), SW_SHOW);
    ::SetFocus(::GetDlgItem(window, IDOK));
  }
}

LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case UpdateWindow::kOutcomeMessage:
      if (const auto outcome = TakePayload<UpdateWindow::Outcome>(wParam)) ShowOutcome(window, *outcome);
      return 0;
    case UpdateWindow::kProgressMessage: {
      const std::wstring text = L"Downloading the update... " + std::to_wstring(wParam) + L"%";
      ::SetDlgItemTextW(window, UpdateWindow::kStatusId, text.c_str());
      return 0;
    }
    case UpdateWindow::kDismissMessage:
      ::DestroyWindow(window);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        WindowState* state = StateOf(window);
        // Only an offer can be accepted; the button is hidden before one.
        if (state == nullptr || !state->offered) return 0;
        state->offered = false;
        ::ShowWindow(::GetDlgItem(window, IDOK), SW_HIDE);
        ::SetDlgItemTextW(window, UpdateWindow::kStatusId, L"Downloading the update...");
        if (state->onAccept) state->onAccept();
      } else if (LOWORD(wParam) == IDCANCEL) {
        ::DestroyWindow(window);
      }
      return 0;
    case WM_CLOSE:
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      delete StateOf(window);
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  const bool handled = GuardedQuietly(false, [&] {
    result = Handle(window, message, wParam, lParam);
    return true;
  });
  return handled ? result : ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND UpdateWindow::Create(HINSTANCE module, std::function<void()> onAccept, std::function<void()> onDone) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &WindowProc;
  windowClass.hInstance = module;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  // Registered by the first window; later ones find it there.
  if (!::RegisterClassExW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;

  const int x = (::GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
  const HWND window = ::CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClassName, L"Software Update",
                                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, x, y, kWidth, kHeight, nullptr,
                                        nullptr, module, nullptr);
  if (window == nullptr) return nullptr;
  auto state = std::make_unique<WindowState>();
  state->onAccept = std::move(onAccept);
  state->onDone = std::move(onDone);
  ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));

  RECT client{};
  ::GetClientRect(window, &client);
  const int right = client.right - 12;
  const int bottom = client.bottom - 12;
  AddChild(window, L"STATIC", kChecking, SS_LEFT | SS_NOPREFIX, 12, 12, right - 12, bottom - 48, kStatusId);
  // Hidden until there is an offer to accept.
  const HWND install = AddChild(window, L"BUTTON", L"Install update", WS_TABSTOP | BS_DEFPUSHBUTTON, right - 220,
                                bottom - 26, 120, 26, IDOK);
  ::ShowWindow(install, SW_HIDE);
  AddChild(window, L"BUTTON", L"Close", WS_TABSTOP | BS_PUSHBUTTON, right - 92, bottom - 26, 92, 26, IDCANCEL);
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::SetForegroundWindow(window);
  return window;
}

}  // namespace halyx::update
