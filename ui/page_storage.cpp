#include "ui/page_storage.h"

#include <windows.h>

#include <string>

namespace halyx {

void ApplyPageStorage(wkeWebView view, const char* logPrefix, const UserDataFolder::Settings& folders) {
  if (view == nullptr) return;
  std::wstring dir;
  if (!UserDataFolder::Ensure(L"", dir, logPrefix, folders)) return;
  // The engine makes and checks "LocalStorage" itself, as it opens a store.
  ::wkeSetCookieJarFullPath(view, (dir + L"\\cookies.dat").c_str());
  ::wkeSetLocalStorageFullPath(view, (dir + L"\\" + UserDataFolder::kLocalStorage + L"\\").c_str());
}

}  // namespace halyx
