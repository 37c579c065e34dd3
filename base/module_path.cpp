#include "base/module_path.h"

namespace halyx {

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (size == 0) return {};
    // A full buffer means truncated: long-path prefixes exceed MAX_PATH.
    if (size < path.size()) {
      path.resize(size);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring ModuleFolder(HMODULE module) {
  std::wstring path = ModulePath(module);
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring BesideExecutable(std::wstring_view relative) {
  const std::wstring folder = ModuleFolder();
  if (folder.empty()) return {};
  return folder + L"\\" + std::wstring(relative);
}

}  // namespace halyx
