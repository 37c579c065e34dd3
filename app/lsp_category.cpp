#include "app/lsp_category.h"

#include <winsock2.h>
#include <windows.h>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {
namespace {

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = module != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
}

}  // namespace

const LspCategory::Api& LspCategory::System() {
  static const Api api = [] {
    Api bound;
    // The program links ws2_32 already, so the module is loaded for good.
    const HMODULE ws2 = ::GetModuleHandleW(L"ws2_32.dll");
    Resolve(ws2, "WSCGetApplicationCategory", bound.get);
    Resolve(ws2, "WSCSetApplicationCategory", bound.set);
    return bound;
  }();
  return api;
}

void LspCategory::Ensure(const Api& api, const std::wstring& path) {
  const auto length = static_cast<DWORD>(path.size());
  DWORD category = 0;
  int error = 0;
  if (api.get == nullptr) {
    spdlog::error("App: WSCGetApplicationCategory failed ({:#x})", SignedErrorCode(ERROR_PROC_NOT_FOUND));
    return;
  }
  if (api.get(path.c_str(), length, nullptr, 0, &category, &error) == SOCKET_ERROR && error != kNoEntry) {
    spdlog::error("App: WSCGetApplicationCategory failed ({:#x})", SignedErrorCode(error));
    return;
  }
  if (category == kLspSystem) {
    spdlog::info("App: LSP category is LSP_SYSTEM");
    return;
  }
  if (api.set == nullptr) {
    spdlog::error("App: WSCSetApplicationCategory (LSP_SYSTEM) failed: {:#x}", SignedErrorCode(ERROR_PROC_NOT_FOUND));
    return;
  }
  if (category != 0) {
    spdlog::warn("App: LSP category has been modified to ({:#x}), reverting to LSP_SYSTEM now...", Win32Code(category));
    if (api.set(path.c_str(), length, nullptr, 0, 0, nullptr, &error) == SOCKET_ERROR) {
      spdlog::error("App: WSCSetApplicationCategory (0) failed: {:#x}", SignedErrorCode(error));
      return;
    }
    spdlog::info("App: LSP category reset to 0");
  } else {
    spdlog::info("App: LSP category not set, setting to LSP_SYSTEM now...");
  }
  if (api.set(path.c_str(), length, nullptr, 0, kLspSystem, nullptr, &error) == SOCKET_ERROR) {
    spdlog::error("App: WSCSetApplicationCategory (LSP_SYSTEM) failed: {:#x}", SignedErrorCode(error));
  } else {
    spdlog::info("App: LSP category set to LSP_SYSTEM");
  }
}

}  // namespace halyx
