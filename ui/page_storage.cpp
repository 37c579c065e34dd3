#include "ui/page_storage.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <string>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

void ApplyPageStorage(wkeWebView view, const char* logPrefix) {
  if (view == nullptr) return;
  PWSTR known = nullptr;
  const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known);
  if (FAILED(hr)) {
    // The out pointer must be freed even on failure.
    ::CoTaskMemFree(known);
    spdlog::error("{}: SHGetKnownFolderPath get LOCALAPPDATA failed ({:#x})", logPrefix, HResult(hr));
    return;
  }
  std::wstring dir = std::wstring(known) + L"\\QuorVPN\\";
  ::CoTaskMemFree(known);
  if (!::PathFileExistsW(dir.c_str()) && !::CreateDirectoryW(dir.c_str(), nullptr)) {
    spdlog::error("{}: CreateDirectory failed ({:#x})", logPrefix, LastError());
  }
  ::wkeSetCookieJarFullPath(view, (dir + L"cookies.dat").c_str());
  ::wkeSetLocalStorageFullPath(view, (dir + L"LocalStorage\\").c_str());
}

}  // namespace halyx
