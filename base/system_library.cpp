#include "base/system_library.h"

#include <cwchar>
#include <string>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/utf8.h"

namespace halyx {

ModuleHandle LoadSystemLibrary(const wchar_t* name) {
  if (name == nullptr || *name == L'\0' || std::wcspbrk(name, L"\\/:") != nullptr) return ModuleHandle();
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    spdlog::warn("LoadSystemLibrary: GetSystemDirectoryW failed: {:#x}", LastError());
    return ModuleHandle();
  }
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  // With a full path no search runs; the altered search order makes the
  // DLL's own imports resolve from its folder, the system folder, as well.
  ModuleHandle module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) spdlog::debug("LoadSystemLibrary: {} not loaded: {:#x}", WideToUtf8(name), LastError());
  return module;
}

bool RestrictDllSearch(DWORD& error) {
  error = ERROR_SUCCESS;
  const auto note = [&](BOOL ok) {
    if (!ok && error == ERROR_SUCCESS) error = ::GetLastError();
  };
  // Bound at run time: a Windows 7 without KB2533623 lacks the first, and a
  // static import of it would keep the client from starting at all.
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
  using SetPathMode = BOOL(WINAPI*)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDirectories>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
  const auto setMode =
      reinterpret_cast<SetPathMode>(reinterpret_cast<void*>(::GetProcAddress(kernel, "SetSearchPathMode")));
  note(setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32));
  // Only matters to SearchPath and to loads outside the default
  // directories; permanent, so no later caller can turn it off again.
  note(setMode != nullptr && setMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT));
  // An empty string (not null) takes the current folder out of the
  // standard search order.
  note(::SetDllDirectoryW(L""));
  return error == ERROR_SUCCESS;
}

}  // namespace halyx
