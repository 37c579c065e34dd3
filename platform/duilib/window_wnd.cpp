#include "platform/duilib/window_wnd.h"

#include <algorithm>
#include <exception>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "platform/duilib/dui_string.h"
#include "platform/duilib/paint_manager_ui.h"
#include "base/guard.h"

namespace DuiLib {

CWindowWnd::~CWindowWnd() { DestroyDetached(); }

void CWindowWnd::DestroyDetached() {
  if (hwnd_ == nullptr) return;
  const HWND hwnd = hwnd_;
  hwnd_ = nullptr;
  // From here on the window procedure finds no object and uses the default
  // procedure, so the messages of the destruction reach no dead override.
  ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  if (::IsWindow(hwnd)) ::DestroyWindow(hwnd);
}

bool CWindowWnd::RegisterWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = GetClassStyle();
  wc.lpfnWndProc = &CWindowWnd::WindowProc;
  wc.hInstance = CPaintManagerUI::GetInstance();
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = GetWindowClassName();
  if (::RegisterClassExW(&wc) != 0) return true;
  if (::GetLastError() == ERROR_CLASS_ALREADY_EXISTS) return true;
  spdlog::error("DuiLib: RegisterClassEx {} failed ({:#x})", CDuiString(GetWindowClassName()).ToUtf8(),
                halyx::LastError());
  return false;
}

HWND CWindowWnd::Create(HWND parent, LPCWSTR title, DWORD style, DWORD exStyle, const RECT& rc, HMENU menu) {
  return Create(parent, title, style, exStyle, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, menu);
}

HWND CWindowWnd::Create(HWND parent, LPCWSTR title, DWORD style, DWORD exStyle, int x, int y, int cx, int cy,
                        HMENU menu) {
  if (hwnd_ != nullptr) {
    spdlog::error("DuiLib: {} window already created", CDuiString(GetWindowClassName()).ToUtf8());
    return nullptr;
  }
  if (!RegisterWindowClass()) return nullptr;
  // WM_NCCREATE stores the object and the handle before WM_CREATE runs.
  const HWND hwnd = ::CreateWindowExW(exStyle, GetWindowClassName(), title, style, x, y, cx, cy, parent, menu,
                                      CPaintManagerUI::GetInstance(), this);
  if (hwnd == nullptr) {
    spdlog::error("DuiLib: CreateWindowEx {} failed ({:#x})", CDuiString(GetWindowClassName()).ToUtf8(),
                  halyx::LastError());
  }
  return hwnd;
}

void CWindowWnd::ShowWindow(bool show, bool takeFocus) {
  if (hwnd_ == nullptr) return;
  ::ShowWindow(hwnd_, show ? (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void CWindowWnd::Close(UINT code) {
  if (hwnd_ == nullptr) return;
  ::PostMessageW(hwnd_, WM_CLOSE, code, 0);
}

void CWindowWnd::CenterWindow() {
  if (hwnd_ == nullptr) return;
  RECT window{};
  ::GetWindowRect(hwnd_, &window);
  const HMONITOR monitor = ::MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  RECT work{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (::GetMonitorInfoW(monitor, &info)) work = info.rcWork;
  RECT center = work;
  const HWND owner = ::GetWindow(hwnd_, GW_OWNER);
  if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &center);
  }
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  int left = (center.left + center.right - width) / 2;
  int top = (center.top + center.bottom - height) / 2;
  // Keep the caption reachable: a window larger than the work area is
  // pinned to its top-left corner.
  left = std::max<int>(work.left, std::min<int>(left, work.right - width));
  top = std::max<int>(work.top, std::min<int>(top, work.bottom - height));
  ::SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::ResizeClient(int cx, int cy) { ResizeClientOf(hwnd_, cx, cy); }

void CWindowWnd::ResizeClientOf(HWND hwnd, int cx, int cy) {
  if (hwnd == nullptr) return;
  RECT client{};
  ::GetClientRect(hwnd, &client);
  if (cx < 0) cx = client.right;
  if (cy < 0) cy = client.bottom;
  RECT outer{0, 0, cx, cy};
  const DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(hwnd, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(::GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
  const bool menu = !(style & WS_CHILD) && ::GetMenu(hwnd) != nullptr;
  ::AdjustWindowRectEx(&outer, style, menu, exStyle);
  ::SetWindowPos(hwnd, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // A menu bar that wraps at the new width, or a frame the estimate got
  // wrong, leaves the client off; one correction by the difference fixes it.
  ::GetClientRect(hwnd, &client);
  if (client.right != cx || client.bottom != cy) {
    RECT window{};
    ::GetWindowRect(hwnd, &window);
    ::SetWindowPos(hwnd, nullptr, 0, 0, window.right - window.left + cx - client.right,
                   window.bottom - window.top + cy - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CWindowWnd::SetIcon(UINT id) {
  if (hwnd_ == nullptr) return;
  const HINSTANCE instance = CPaintManagerUI::GetInstance();
  // LR_SHARED: the icons stay with the module and are not destroyed by us;
  // both sizes are system sizes, for which sharing is allowed.
  const auto load = [&](int cxMetric, int cyMetric) {
    return static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, ::GetSystemMetrics(cxMetric),
                                           ::GetSystemMetrics(cyMetric), LR_DEFAULTCOLOR | LR_SHARED));
  };
  const HICON big = load(SM_CXICON, SM_CYICON);
  if (big == nullptr) {
    spdlog::warn("DuiLib: icon {} not found ({:#x})", id, halyx::LastError());
    return;
  }
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  if (const HICON small = load(SM_CXSMICON, SM_CYSMICON)) {
    ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  }
}

LRESULT CWindowWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(hwnd_, msg, wParam, lParam);
}

bool CWindowWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageW(hwnd_, msg, wParam, lParam) != FALSE;
}

LRESULT CWindowWnd::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcW(hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK CWindowWnd::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWindowWnd* self = nullptr;
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    self = static_cast<CWindowWnd*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<CWindowWnd*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (self == nullptr) return ::DefWindowProcW(hwnd, msg, wParam, lParam);

  // Nothing may unwind through the system's window-procedure frames.
  bool failed = false;
  LRESULT result = halyx::GuardedWith(
      LRESULT{0},
      [&](const char* what) {
        failed = true;
        if (what) {
          spdlog::error("DuiLib: message {:#x} failed: {}", msg, what);
        } else {
          spdlog::error("DuiLib: message {:#x} failed", msg);
        }
      },
      [&] { return self->HandleMessage(msg, wParam, lParam); });
  if (failed) result = ::DefWindowProcW(hwnd, msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    // Cut the link before OnFinalMessage, which may delete the object.
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    halyx::GuardedWith(
        false, [](const char*) { spdlog::error("DuiLib: OnFinalMessage failed"); },
        [&] { self->OnFinalMessage(hwnd); });
  }
  return result;
}

}  // namespace DuiLib
