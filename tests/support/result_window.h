// A message-only window on the test's thread that collects the measurement
// result messages, freeing their payloads as the page's window does.
// Thread: the test's thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace halyx::testing {

class ResultWindow {
 public:
  struct Message {
    UINT id;
    std::string text;
  };

  ResultWindow();
  ~ResultWindow();
  ResultWindow(const ResultWindow&) = delete;
  ResultWindow& operator=(const ResultWindow&) = delete;

  HWND get() const { return window_; }
  // Dispatches this thread's messages until `done` holds or `timeoutMs` passed; returns done().
  bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
  void Pump(DWORD ms) {
    PumpUntil([] { return false; }, ms);
  }

  const std::vector<Message>& messages() const { return messages_; }
  // Counted without parsing: a pump that waits for a count checks it after
  // every message.
  std::size_t Count(UINT id) const;
  std::vector<nlohmann::json> Parsed(UINT id) const;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  std::vector<Message> messages_;
};

}  // namespace halyx::testing
