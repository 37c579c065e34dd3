// The engine's developer tools: a plain top-level window that lists the
// inspector page it was opened with and the last kMaxLines console lines of
// its view.
//
// Thread: GUI thread; owned by its view, which destroys it with itself.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>

namespace halyx::engine {

class DevToolsWindow {
 public:
  static constexpr std::size_t kMaxLines = 1000;

  DevToolsWindow() = default;
  ~DevToolsWindow();
  DevToolsWindow(const DevToolsWindow&) = delete;
  DevToolsWindow& operator=(const DevToolsWindow&) = delete;

  // Opens the window (or brings it forward) showing `lines`.
  bool Open(const std::string& inspector_page, const std::deque<std::string>& lines);
  void AddLine(const std::string& line);
  bool is_open() const { return window_ != nullptr && ::IsWindow(window_); }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_ = nullptr;
  HWND list_ = nullptr;
};

}  // namespace halyx::engine
