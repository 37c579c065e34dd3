// The functions of "WinSparkle.dll" that the client binds by name
// (ui/updater.cpp), all __cdecl and without results:
//
//   win_sparkle_set_appcast_url(const char* url)          UTF-8
//   win_sparkle_set_registry_path(const char* path)       under HKEY_CURRENT_USER
//   win_sparkle_set_shutdown_request_callback(void (*)(void))
//   win_sparkle_init(void)                                no scheduled checks: nothing to start
//   win_sparkle_check_update_with_ui(void)                returns at once
//   win_sparkle_cleanup(void)
//
// What they do is update_checker.h's. No exception leaves an export.
#include <windows.h>

#include "base/guard.h"
#include "update_checker.h"

using halyx::GuardedQuietly;
using halyx::update::UpdateChecker;

extern "C" {

__declspec(dllexport) void __cdecl win_sparkle_set_appcast_url(const char* url) {
  if (url == nullptr) return;
  GuardedQuietly(false, [&] {
    UpdateChecker::Instance().SetAppcastUrl(url);
    return true;
  });
}

__declspec(dllexport) void __cdecl win_sparkle_set_registry_path(const char* path) {
  if (path == nullptr) return;
  GuardedQuietly(false, [&] {
    UpdateChecker::Instance().SetRegistryPath(path);
    return true;
  });
}

__declspec(dllexport) void __cdecl win_sparkle_set_shutdown_request_callback(UpdateChecker::ShutdownRequest callback) {
  UpdateChecker::Instance().SetShutdownRequest(callback);
}

__declspec(dllexport) void __cdecl win_sparkle_init() {}

__declspec(dllexport) void __cdecl win_sparkle_check_update_with_ui() {
  GuardedQuietly(false, [] {
    UpdateChecker::Instance().CheckWithUi();
    return true;
  });
}

__declspec(dllexport) void __cdecl win_sparkle_cleanup() {
  GuardedQuietly(false, [] {
    UpdateChecker::Instance().Cleanup();
    return true;
  });
}

}  // extern "C"
