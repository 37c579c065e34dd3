#include "support/message_pump.h"

#include <algorithm>

#include "base/unique_handle.h"

namespace halyx::testing {

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (done()) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 10)), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
    // A condition that itself posts work (evaluating script queues an
    // engine task) would keep this queue from ever running dry: the
    // deadline is checked here too, so such a wait fails instead of hanging.
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
      if (done()) return true;
      if (::GetTickCount64() >= deadline) return false;
    }
  }
}

void PumpMessagesFor(DWORD ms) {
  PumpMessagesUntil([] { return false; }, ms);
}

bool WriteWholeFile(const std::wstring& path, const std::string& contents) {
  FileHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
         written == contents.size();
}

}  // namespace halyx::testing
