#include "engine/view/dev_tools_window.h"

#include "engine/view/engine_host.h"
#include "engine/wke.h"
#include "base/utf8.h"

namespace halyx::engine {

DevToolsWindow::~DevToolsWindow() {
  if (is_open()) ::DestroyWindow(window_);
}

LRESULT CALLBACK DevToolsWindow::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SIZE) {
    HWND list = ::GetWindow(hwnd, GW_CHILD);
    if (list != nullptr) ::MoveWindow(list, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

bool DevToolsWindow::Open(const std::string& inspector_page, const std::deque<std::string>& lines) {
  if (is_open()) {
    ::ShowWindow(window_, SW_SHOW);
    ::SetForegroundWindow(window_);
    return true;
  }
  HINSTANCE instance = EngineHost::Module();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &DevToolsWindow::WindowProc;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = WKE_DEVTOOLS_WINDOW_CLASS;
  ::RegisterClassExW(&wc);  // fails harmlessly when already registered
  window_ = ::CreateWindowExW(0, WKE_DEVTOOLS_WINDOW_CLASS, L"Developer Tools", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 640, 400, nullptr, nullptr, instance, nullptr);
  if (window_ == nullptr) return false;
  RECT client{};
  ::GetClientRect(window_, &client);
  list_ = ::CreateWindowExW(0, L"LISTBOX", nullptr, WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, 0, 0,
                            client.right, client.bottom, window_, nullptr, instance, nullptr);
  ::SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  AddLine("Inspector: " + inspector_page);
  for (const std::string& line : lines) AddLine(line);
  ::ShowWindow(window_, SW_SHOWNORMAL);
  return true;
}

void DevToolsWindow::AddLine(const std::string& line) {
  if (!is_open() || list_ == nullptr) return;
  // The inspector line stays first; the oldest console line goes.
  if (::SendMessageW(list_, LB_GETCOUNT, 0, 0) > static_cast<LRESULT>(kMaxLines)) {
    ::SendMessageW(list_, LB_DELETESTRING, 1, 0);
  }
  const LRESULT at = ::SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(line).c_str()));
  if (at >= 0) ::SendMessageW(list_, LB_SETTOPINDEX, static_cast<WPARAM>(at), 0);
}

}  // namespace halyx::engine
