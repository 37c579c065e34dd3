#include "ui/updater.h"

#include <windows.h>

#include <mutex>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/module_path.h"
#include "base/unique_handle.h"

namespace halyx {
namespace {

struct Api {
  void(__cdecl* setAppcastUrl)(const char*) = nullptr;
  void(__cdecl* setRegistryPath)(const char*) = nullptr;
  void(__cdecl* setShutdownRequestCallback)(Updater::ShutdownRequestCallback) = nullptr;
  void(__cdecl* init)() = nullptr;
  void(__cdecl* checkUpdateWithUi)() = nullptr;
  void(__cdecl* cleanup)() = nullptr;
};

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  if (fn == nullptr) spdlog::warn("App: updater function {} not found", name);
  return fn != nullptr;
}

// The DLL stays loaded for the life of the process: its threads run code in
// it until the process ends.
const Api* Bound() {
  static Api api;
  static bool bound = false;
  static std::once_flag once;
  std::call_once(once, [] {
    // From the executable's folder only: an elevated process must not load a
    // planted copy from the current folder or the PATH.
    const std::wstring path = BesideExecutable(L"WinSparkle.dll");
    ModuleHandle module(path.empty() ? nullptr
                                     : ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) {
      spdlog::warn("App: updater WinSparkle.dll not loaded ({:#x}); updates are off", LastError());
      return;
    }
    Api candidate;
    bool complete = Resolve(module.get(), "win_sparkle_set_appcast_url", candidate.setAppcastUrl);
    complete &= Resolve(module.get(), "win_sparkle_set_registry_path", candidate.setRegistryPath);
    complete &=
        Resolve(module.get(), "win_sparkle_set_shutdown_request_callback", candidate.setShutdownRequestCallback);
    complete &= Resolve(module.get(), "win_sparkle_init", candidate.init);
    complete &= Resolve(module.get(), "win_sparkle_check_update_with_ui", candidate.checkUpdateWithUi);
    complete &= Resolve(module.get(), "win_sparkle_cleanup", candidate.cleanup);
    if (!complete) return;
    api = candidate;
    static_cast<void>(module.release());
    bound = true;
  });
  return bound ? &api : nullptr;
}

}  // namespace

bool Updater::Available() { return Bound() != nullptr; }

void Updater::SetAppcastUrl(const char* url) {
  if (const Api* api = Bound()) api->setAppcastUrl(url);
}

void Updater::SetRegistryPath(const char* path) {
  if (const Api* api = Bound()) api->setRegistryPath(path);
}

void Updater::SetShutdownRequestCallback(ShutdownRequestCallback callback) {
  if (const Api* api = Bound()) api->setShutdownRequestCallback(callback);
}

void Updater::Init() {
  if (const Api* api = Bound()) api->init();
}

void Updater::CheckUpdateWithUi() {
  if (const Api* api = Bound()) api->checkUpdateWithUi();
}

void Updater::Cleanup() {
  if (const Api* api = Bound()) api->cleanup();
}

}  // namespace halyx
