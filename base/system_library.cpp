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

}  // namespace halyx
