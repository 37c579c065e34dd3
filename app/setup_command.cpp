#include "app/setup_command.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string>

#include <spdlog/spdlog.h>

#include "app/app.h"
#include "app/auto_startup.h"
#include "app/process_values.h"
#include "app/tray_icon_wnd.h"
#include "base/error_code.h"
#include "base/protected_folder.h"

namespace halyx {
namespace {

enum class LockState { kFree, kHeld, kUnknown };

// Whether a running instance holds the lock: it shares the file for reading
// only, so opening it for writing fails with a sharing violation exactly
// while one holds it.
LockState InstanceLock(const UserDataFolder::Settings& folders) {
  std::wstring folder;
  if (!UserDataFolder::Ensure(L"", folder, "App", folders)) return LockState::kUnknown;
  const FileHandle lock = OpenProtectedFile(folder + L"\\" + App::kLockFileName, GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ, OPEN_EXISTING, nullptr);
  if (lock) return LockState::kFree;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return LockState::kFree;
  if (error == ERROR_SHARING_VIOLATION) return LockState::kHeld;
  spdlog::error("App: cannot read the lock file ({:#x})", Win32Code(error));
  return LockState::kUnknown;
}

bool RunValueExists() {
  return ::RegGetValueW(HKEY_CURRENT_USER, AutoStartup::kRunKey, AutoStartValueName, RRF_RT_ANY, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS;
}

struct QuitTarget {
  DWORD processId;
  int posted;
};

// Every tray window of the process gets the request: one process has one,
// but a window of another process never does.
BOOL CALLBACK PostQuitToTray(HWND window, LPARAM param) {
  auto* target = reinterpret_cast<QuitTarget*>(param);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  wchar_t name[64] = {};
  if (owner == target->processId && ::GetClassNameW(window, name, 64) > 0 &&
      std::wstring(name) == TrayIconWnd::kClassName && ::PostMessageW(window, QuitRequestMessage, 0, 0)) {
    ++target->posted;
  }
  return TRUE;
}

}  // namespace

SetupCommand::Action SetupCommand::Parse(const std::vector<std::wstring>& arguments) {
  if (arguments.empty()) return Action::kNone;
  if (arguments.size() != 1) return Action::kInvalid;
  const std::wstring& argument = arguments.front();
  if (argument == L"--autostart=on") return Action::kAutoStartOn;
  if (argument == L"--autostart=off") return Action::kAutoStartOff;
  if (argument == L"--quit-running") return Action::kQuitRunning;
  return Action::kInvalid;
}

std::vector<std::wstring> SetupCommand::ProcessArguments() {
  int count = 0;
  LPWSTR* words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::wstring> arguments;
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(words[i]);
  ::LocalFree(words);
  return arguments;
}

int SetupCommand::Run(Action action) {
  if (action == Action::kNone) return kExitDone;
  if (action == Action::kInvalid) return kExitUsage;
  // The log is the only place a refusal can be read: nothing is shown.
  if (!App::SetupLogging()) return kExitFailed;
  int code = kExitFailed;
  switch (action) {
    case Action::kAutoStartOn:
    case Action::kAutoStartOff: {
      const bool on = action == Action::kAutoStartOn;
      spdlog::info("App: setting auto-start {} from the command line", on ? "on" : "off");
      // Off removes the task and the Run value, whichever is there; with
      // neither, SetEnabled would log the missing value as a failure.
      if (on || AutoStartup::GetEnabled() || RunValueExists()) AutoStartup::SetEnabled(on);
      const bool done = on ? AutoStartup::GetEnabled() : !AutoStartup::GetEnabled() && !RunValueExists();
      code = done ? kExitDone : kExitFailed;
      break;
    }
    case Action::kQuitRunning:
      code = QuitRunning(kQuitWaitMs) ? kExitDone : kExitFailed;
      break;
    default:
      break;
  }
  App::ShutdownLogging();
  return code;
}

bool SetupCommand::QuitRunning(DWORD waitMs, const UserDataFolder::Settings& folders) {
  const LockState first = InstanceLock(folders);
  if (first == LockState::kFree) return true;
  if (first == LockState::kUnknown) return false;
  const DWORD processId = App::RunningInstanceId(folders);
  if (processId == 0) {
    spdlog::error("App: the running instance wrote no process id");
    return false;
  }
  spdlog::info("App: asking the running instance ({}) to quit", processId);
  // Held, so that the wait below names this process even if its id is
  // reused the moment it ends.
  const ProcessHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
  const ULONGLONG deadline = ::GetTickCount64() + waitMs;
  for (;;) {
    QuitTarget target{processId, 0};
    ::EnumWindows(&PostQuitToTray, reinterpret_cast<LPARAM>(&target));
    const ULONGLONG now = ::GetTickCount64();
    const DWORD slice = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kQuitRepostMs));
    // Its lock goes before its image: the files are free only once the
    // process has ended.
    if (process && ::WaitForSingleObject(process.get(), slice) == WAIT_OBJECT_0) break;
    if (!process) {
      ::Sleep(slice);
      if (InstanceLock(folders) == LockState::kFree) break;
    }
    if (::GetTickCount64() >= deadline) {
      spdlog::error("App: the running instance ({}) did not quit within {} ms", processId, waitMs);
      return false;
    }
  }
  spdlog::info("App: the running instance has quit");
  return true;
}

}  // namespace halyx
