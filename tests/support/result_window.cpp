#include "support/result_window.h"

#include <algorithm>

#include "base/window_messages.h"

namespace halyx::testing {

namespace {
constexpr wchar_t kClassName[] = L"QuorTestResultWindow";
}

ResultWindow::ResultWindow() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &ResultWindow::WindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClassName;
  ::RegisterClassExW(&windowClass);  // fails harmlessly when already registered
  window_ = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

ResultWindow::~ResultWindow() {
  Pump(0);  // payloads still queued are freed before the window goes
  ::DestroyWindow(window_);
}

LRESULT CALLBACK ResultWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message < kSetAdInfoMessage || message > kAdGlobalMessage) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  auto* self = reinterpret_cast<ResultWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  std::unique_ptr<std::string> text = TakePayload<std::string>(wParam);
  if (self && text) self->messages_.push_back({message, *text});
  return 0;
}

bool ResultWindow::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD begin = ::GetTickCount();
  for (;;) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    if (done()) return true;
    const DWORD elapsed = ::GetTickCount() - begin;
    if (elapsed >= timeoutMs) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(timeoutMs - elapsed, 20), QS_ALLINPUT);
  }
}

std::size_t ResultWindow::Count(UINT id) const {
  return static_cast<std::size_t>(
      std::count_if(messages_.begin(), messages_.end(), [id](const Message& message) { return message.id == id; }));
}

std::vector<nlohmann::json> ResultWindow::Parsed(UINT id) const {
  std::vector<nlohmann::json> parsed;
  for (const Message& message : messages_) {
    if (message.id == id) parsed.push_back(nlohmann::json::parse(message.text));
  }
  return parsed;
}

}  // namespace halyx::testing
