// The window messages that carry measurement results from the loop thread to
// the GUI thread, and the ownership rule of their payload.
//
// wParam points to a heap std::string holding one compact JSON text; lParam
// is 0. The receiver takes the string and deletes it; when the post fails,
// the sender deletes it. Both sides go through these helpers:
//
//   if (!PostResultMessage(window, kAdInfoMessage, text))
//     spdlog::warn("PostMessageW from benchmark failed: {:#x}", LastError());
//
//   case kAdInfoMessage:
//     if (auto text = TakeResultPayload(wParam)) PostJsonToPage(*text, "AppAdInfo");
//
// Thread: PostResultMessage any thread; TakeResultPayload the window's thread.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace halyx {

constexpr UINT kSetAdInfoMessage = WM_APP + 0x66;    // "SetAdInfo" JSON
constexpr UINT kAdInfoMessage = WM_APP + 0x67;       // "AdInfo" JSON
constexpr UINT kSetAdGlobalMessage = WM_APP + 0x68;  // "SetAdGlobal" JSON
constexpr UINT kAdGlobalMessage = WM_APP + 0x69;     // "AdGlobal" JSON

// Posts `text` as a heap string. False when the post failed; the string is
// then already freed and the thread's last error still holds the cause.
bool PostResultMessage(HWND window, UINT message, std::string text);

// Takes ownership of a received payload; null when wParam carries none.
std::unique_ptr<std::string> TakeResultPayload(WPARAM wParam);

}  // namespace halyx
