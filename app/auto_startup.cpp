#include "app/auto_startup.h"

#include <stdlib.h>

#include <spdlog/spdlog.h>

#include "app/log_on_task.h"
#include "app/process_values.h"
#include "app/registry_key.h"
#include "base/error_code.h"
#include "base/utf8.h"

namespace halyx {
namespace {

// _get_wpgmptr, which the 32-bit import library of MinGW's msvcrt lacks: the
// same variable through the accessor both libraries have, and EINVAL while
// the runtime has not set it.
errno_t GetWpgmptr(wchar_t** path) {
  *path = _wpgmptr;
  return *path == nullptr ? EINVAL : 0;
}

// The executable the settings name, or the running one; false after one
// error line.
bool ExecutableOf(const AutoStartup::Settings& settings, std::wstring& executable) {
  executable = settings.executable;
  if (!executable.empty()) return true;
  wchar_t* path = nullptr;
  if (const errno_t error = GetWpgmptr(&path)) {
    spdlog::error("AutoStartup: _get_wpgmptr failed: {:#x}", SignedErrorCode(error));
    return false;
  }
  executable = path;
  return true;
}

// Removes our task if there is one; quiet when there is none.
void RemoveTask(const AutoStartup::Settings& settings) {
  bool exists = false;
  if (!settings.taskName.empty() && LogOnTask::Exists(settings.taskName, exists) && exists) {
    LogOnTask::Remove(settings.taskName);
  }
}

}  // namespace

AutoStartup::Settings::Settings()
    : runKey(kRunKey),
      valueName(AutoStartValueName),
      userSid(LogOnTask::CurrentUserSid()),
      trusted(IsAdministrativeSid) {
  if (!userSid.empty()) taskName = LogOnTask::NameFor(userSid);
}

bool AutoStartup::GetEnabled(const Settings& settings) {
  bool exists = false;
  return !settings.taskName.empty() && LogOnTask::Exists(settings.taskName, exists) && exists;
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
    std::wstring executable;
    if (!ExecutableOf(settings, executable)) return;
    if (settings.taskName.empty()) {
      spdlog::error("AutoStartup: SetEnabled failed: no log-on task for this user");
      return;
    }
    std::string why;
    if (!OnlyAdministratorsCanChange(executable, why, settings.trusted)) {
      spdlog::error("AutoStartup: SetEnabled refused: not only administrators can change {} ({})",
                    WideToUtf8(executable), why);
      RemoveTask(settings);
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
  std::wstring executable;
  if (!ExecutableOf(settings, executable)) return;
  std::string why;
  if (!OnlyAdministratorsCanChange(executable, why, settings.trusted)) {
    spdlog::warn("AutoStartup: not only administrators can change {} ({}); auto-start is refused",
                 WideToUtf8(executable), why);
    RemoveTask(settings);
    return;
  }
  if (GetEnabled(settings)) SetEnabled(true, settings);
}

}  // namespace halyx
