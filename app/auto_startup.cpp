#include "app/auto_startup.h"

#include <stdlib.h>

#include <spdlog/spdlog.h>

#include "app/log_on_task.h"
#include "app/process_values.h"
#include "app/registry_key.h"
#include "base/error_code.h"

namespace halyx {
namespace {

// _get_wpgmptr, which the 32-bit import library of MinGW's msvcrt lacks: the
// same variable through the accessor both libraries have, and EINVAL while
// the runtime has not set it.
errno_t GetWpgmptr(wchar_t** path) {
  *path = _wpgmptr;
  return *path == nullptr ? EINVAL : 0;
}

}  // namespace

AutoStartup::Settings::Settings()
    : runKey(kRunKey), valueName(AutoStartValueName), userSid(LogOnTask::CurrentUserSid()) {
  if (!userSid.empty()) taskName = LogOnTask::NameFor(userSid);
}

bool AutoStartup::GetEnabled(const Settings& settings) {
  try {
    const win32::RegistryKey run(HKEY_CURRENT_USER, settings.runKey, win32::RegistryKey::kReadWrite);
    for (const auto& value : run.ListValues()) {
      if (value.name == settings.valueName) return true;
    }
  } catch (const win32::RegistryError& e) {
    spdlog::error("AutoStartup: GetEnabled failed: {0} ({1:x})", e.what(), SignedErrorCode(e.code()));
  }
  return false;
}

void AutoStartup::SetEnabled(bool enabled, const Settings& settings) {
  try {
    const win32::RegistryKey run(HKEY_CURRENT_USER, settings.runKey, win32::RegistryKey::kReadWrite);
    if (!enabled) {
      // The task goes first: a value that is already missing raises, and the
      // task must not outlive it.
      if (!settings.taskName.empty()) LogOnTask::Remove(settings.taskName);
      run.DeleteValue(settings.valueName);
      return;
    }
    std::wstring executable = settings.executable;
    if (executable.empty()) {
      wchar_t* path = nullptr;
      if (const errno_t error = GetWpgmptr(&path)) {
        spdlog::error("AutoStartup: _get_wpgmptr failed: {:#x}", SignedErrorCode(error));
        return;
      }
      executable = path;
    }
    if (settings.taskName.empty()) {
      spdlog::error("AutoStartup: SetEnabled failed: no log-on task for this user");
      return;
    }
    if (!LogOnTask::Register(settings.taskName, settings.userSid, executable)) return;
    try {
      run.SetString(settings.valueName, L"\"" + executable + L"\"");
    } catch (const win32::RegistryError&) {
      LogOnTask::Remove(settings.taskName);
      throw;
    }
  } catch (const win32::RegistryError& e) {
    spdlog::error("AutoStartup: SetEnabled failed: {0} ({1:x})", e.what(), SignedErrorCode(e.code()));
  }
}

void AutoStartup::Refresh(const Settings& settings) {
  if (GetEnabled(settings)) SetEnabled(true, settings);
}

}  // namespace halyx
