#include "net/result_message.h"

#include "app/error_code.h"

namespace halyx {

bool PostResultMessage(HWND window, UINT message, std::string text) {
  auto payload = std::make_unique<std::string>(std::move(text));
  if (!::PostMessageW(window, message, reinterpret_cast<WPARAM>(payload.get()), 0)) {
    PreserveLastError keep;
    payload.reset();
    return false;
  }
  // The receiver owns it now.
  static_cast<void>(payload.release());
  return true;
}

std::unique_ptr<std::string> TakeResultPayload(WPARAM wParam) {
  return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(wParam));
}

}  // namespace halyx
