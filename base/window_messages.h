// The client's custom window messages, and the one rule for their payloads.
//
// Workers hand results to the GUI thread by posting one of these messages
// with a heap payload whose ownership moves with the message: the receiver
// takes it and frees it; when the post fails the sender frees it at once.
// Both sides go through PostPayload and TakePayload, so neither ever pairs
// new and delete by hand:
//
//   if (!PostPayload(window, kAdInfoMessage, std::make_unique<std::string>(json)))
//     spdlog::warn("PostMessageW from benchmark failed: {:#x}", LastError());
//
//   case kAdInfoMessage:
//     if (auto json = TakePayload<std::string>(wParam)) RunInPage(*json);
//
// A window that is destroyed with such messages still queued loses their
// payloads; every sender posts only to windows that live as long as it does.
//
// Thread: PostPayload any thread; TakePayload the receiving window's thread.
#pragma once

#include <windows.h>

#include <memory>

#include "base/error_code.h"

namespace halyx {

// WM_APP + 0x65 onwards, in the order the senders were added.
constexpr UINT kLogArchiveMessage = 0x8065;   // std::vector<uint8_t>: the zip archive of logs
constexpr UINT kSetAdInfoMessage = 0x8066;    // std::string: "SetAdInfo" JSON
constexpr UINT kAdInfoMessage = 0x8067;       // std::string: "AdInfo" JSON
constexpr UINT kSetAdGlobalMessage = 0x8068;  // std::string: "SetAdGlobal" JSON
constexpr UINT kAdGlobalMessage = 0x8069;     // std::string: "AdGlobal" JSON
constexpr UINT kNewWindowMessage = 0x806B;    // std::wstring URL in wParam, std::pair<int, int> size in lParam

// Posts `message` with `payload` in wParam (lParam 0). False when the post
// failed: the payload is freed then, and the thread's last error still holds
// the cause.
template <typename T>
bool PostPayload(HWND window, UINT message, std::unique_ptr<T> payload) {
  if (!::PostMessageW(window, message, reinterpret_cast<WPARAM>(payload.get()), 0)) {
    PreserveLastError keep;
    payload.reset();
    return false;
  }
  static_cast<void>(payload.release());  // the receiver owns it now
  return true;
}

// The same with a second payload in lParam; both move, or both are freed.
template <typename T, typename U>
bool PostPayloads(HWND window, UINT message, std::unique_ptr<T> first, std::unique_ptr<U> second) {
  if (!::PostMessageW(window, message, reinterpret_cast<WPARAM>(first.get()), reinterpret_cast<LPARAM>(second.get()))) {
    PreserveLastError keep;
    first.reset();
    second.reset();
    return false;
  }
  static_cast<void>(first.release());
  static_cast<void>(second.release());
  return true;
}

// Takes ownership of a payload received in wParam or lParam; null when the
// message carries none.
template <typename T>
std::unique_ptr<T> TakePayload(WPARAM wParam) {
  return std::unique_ptr<T>(reinterpret_cast<T*>(wParam));
}
template <typename T>
std::unique_ptr<T> TakePayload(LPARAM lParam) {
  return std::unique_ptr<T>(reinterpret_cast<T*>(lParam));
}

}  // namespace halyx
