#include "duilib_test_support.h"

// iowin32.h relies on zlib's declarations, which zip.h brings in first.
#include <zip.h>

#include <iowin32.h>

namespace DuiLib::testing {

bool WriteZip(const std::wstring& path, const std::vector<std::pair<std::string, std::string>>& files) {
  zlib_filefunc64_def functions;
  fill_win32_filefunc64W(&functions);
  zipFile zip = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
  if (zip == nullptr) return false;
  bool ok = true;
  for (const auto& [name, content] : files) {
    zip_fileinfo info{};
    ok = ok && zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                   Z_DEFAULT_COMPRESSION) == ZIP_OK;
    ok = ok && zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size())) == ZIP_OK;
    ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
  }
  return zipClose(zip, nullptr) == ZIP_OK && ok;
}

void PumpPending() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start > timeoutMs) return done();
    PumpPending();
    if (done()) return true;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

int RecordingControl::Count(UiEventType type) const {
  int count = 0;
  for (const auto& event : events) count += event.type == type ? 1 : 0;
  return count;
}

const TEventUI* RecordingControl::Last(UiEventType type) const {
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    if (it->type == type) return &*it;
  }
  return nullptr;
}

int CountNotifications(const std::vector<TNotifyUI>& list, const wchar_t* type) {
  int count = 0;
  for (const auto& msg : list) count += msg.type == type ? 1 : 0;
  return count;
}

}  // namespace DuiLib::testing
