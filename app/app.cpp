#include "app/app.h"

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "app/auto_startup.h"
#include "app/crash_reporter.h"
#include "app/lsp_category.h"
#include "app/process_values.h"
#include "base/error_code.h"
#include "base/module_path.h"
#include "platform/duilib/dpi.h"
#include "platform/duilib/paint_manager_ui.h"
#include "tunnel/tunnel_manager.h"
#include "ui/main_wnd.h"
#include "ui/updater.h"
#include "ui/wke_binding.h"

namespace halyx {

App::App() = default;

App::~App() {
  instanceLock_.reset();
  trayIcon_.reset();
  mainWindowController_.reset();
}

void App::StartCrashReporter() {
  char folder[MAX_PATH] = {};
  std::string database;
  if (SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder)) &&
      ::PathAppendA(folder, "QuorVPN") && ::PathAppendA(folder, "minidumps")) {
    database = folder;
  }
  CrashReporter::Start(kCrashReporterDsn, kCrashHandlerPath, std::string("quorvpn-win32@") + kVersion, database);
}

bool App::Init(HINSTANCE instance) {
  StartCrashReporter();
  if (!SetupLogging()) return false;
  EnsureLspCategory();
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    spdlog::error("App: CoInitializeEx failed ({:#x})", HResult(hr));
    return false;
  }
  hr = ::SetCurrentProcessExplicitAppUserModelID(kAppUserModelId);
  if (FAILED(hr)) {
    spdlog::error("App: SetCurrentProcessExplicitAppUserModelID failed ({:#x})", HResult(hr));
    return false;
  }
  if (!AcquireInstanceLock()) return false;
  AutoStartup::Refresh();
  if (!::wkeInitialize()) {
    spdlog::error("App: wkeInitialize failed ({:#x})", LastError());
    return false;
  }
  ::wkeEnableHighDPISupport();
  DuiLib::CPaintManagerUI::SetInstance(instance);
  return true;
}

void App::EnsureLspCategory() {
  const std::wstring path = ModulePath();
  LspCategory::Ensure(LspCategory::System(), path);
}

bool App::AcquireInstanceLock() {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    spdlog::error("App: OpenProcessToken failed ({:#x})", LastError());
    return false;
  }
  const ProcessHandle token(rawToken);
  wchar_t profile[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH + 1;
  if (!::GetUserProfileDirectoryW(token.get(), profile, &size)) {
    spdlog::error("App: GetUserProfileDirectory failed ({:#x})", LastError());
    return false;
  }
  const std::wstring path = std::wstring(profile) + L"\\" + kLockFileName;
  // No sharing: a second open fails with a sharing violation for as long as
  // this handle lives, and the file's mere presence blocks nothing.
  instanceLock_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr));
  if (!instanceLock_) {
    PreserveLastError keep;
    spdlog::error("App: CreateFile failed ({:#x})", keep.code());
    if (keep.error() == ERROR_SHARING_VIOLATION) {
      spdlog::debug("App: main app is already running");
      ::PostMessageW(HWND_BROADCAST, ShowRequestMessage, 0, 0);
    }
    return false;
  }
  return true;
}

std::shared_ptr<MainWindowController> App::GetMainWindowController() {
  if (mainWindowController_) return mainWindowController_;
  auto window = std::make_shared<MainWnd>();
  window->Create(nullptr, kMainWindowTitle, BaseWnd::kDialogStyle, 0, 0, 0, kMainWindowWidth, kMainWindowHeight);
  window->SetDPI(DuiLib::CDPI::GetMainMonitorDPI());
  mainWindowController_ = std::make_shared<MainWindowController>(window, TunnelManager::Instance());
  return mainWindowController_;
}

bool App::ShowMainWindow(void* param) {
  (void)param;
  GetMainWindowController()->Show();
  return true;
}

std::shared_ptr<TrayIcon> App::GetTrayIcon() {
  if (trayIcon_) return trayIcon_;
  trayIcon_ = std::make_shared<TrayIcon>();
  trayIcon_->SetTipText(kMainWindowTitle);
  // An icon of its own at the notification area's size, rather than the
  // shared large icon LoadIcon gives, which no owner may destroy.
  trayIcon_->SetIcon(static_cast<HICON>(
      ::LoadImageW(DuiLib::CPaintManagerUI::GetInstance(), MAKEINTRESOURCEW(kTrayIconResource), IMAGE_ICON,
                   ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
  trayIcon_->SetMenu(BuildTrayMenu());
  trayIcon_->OnDoubleClick += DuiLib::MakeDelegate(this, &App::ShowMainWindow);
  trayIcon_->OnMenuCommand += DuiLib::MakeDelegate(this, &App::OnTrayMenuCommand);
  trayIcon_->OnShowRequest += DuiLib::MakeDelegate(this, &App::ShowMainWindow);
  return trayIcon_;
}

HMENU App::BuildTrayMenu() {
  const HMENU menu = ::CreatePopupMenu();
  if (menu == nullptr) return nullptr;
  ::AppendMenuW(menu, MF_STRING, kMenuShow, L"显示界面");
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING | (AutoStartup::GetEnabled() ? MF_CHECKED : MF_UNCHECKED), kMenuAutoStart, L"开机启动");
  ::AppendMenuW(menu, MF_STRING, kMenuCheckUpdate, L"检查更新");
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING, kMenuQuit, L"退出应用");
  return menu;
}

bool App::OnTrayMenuCommand(void* param) {
  if (param == nullptr) return true;
  switch (*static_cast<const UINT*>(param)) {
    case kMenuShow:
      GetMainWindowController()->Show();
      break;
    case kMenuAutoStart:
      AutoStartup::SetEnabled(!AutoStartup::GetEnabled());
      GetTrayIcon()->SetMenu(BuildTrayMenu());  // the check mark shows the new state
      break;
    case kMenuCheckUpdate:
      Updater::CheckUpdateWithUi();
      break;
    case kMenuQuit:
      RequestQuit();
      break;
    default:
      break;
  }
  return true;
}

int App::Run() {
  const auto controller = GetMainWindowController();
  if (BaseWnd* window = controller->GetWindow()) window->CenterWindow();
  controller->Show();
  const auto tray = GetTrayIcon();
  if (!tray->visible()) tray->SetVisible(true);
  Updater::SetAppcastUrl(kAppcastUrl);
  Updater::SetRegistryPath(kUpdaterRegistryPath);
  Updater::SetShutdownRequestCallback(&App::RequestQuit);
  Updater::Init();
  return TunnelManager::Instance().Run();
}

void App::RequestQuit() {
  if (::GetCurrentThreadId() == MainThreadId) {
    ::PostQuitMessage(0);
  } else {
    ::PostThreadMessageW(MainThreadId, WM_QUIT, 0, 0);
  }
}

void App::Shutdown() {
  if (mainWindowController_) mainWindowController_->Hide();
  if (trayIcon_) trayIcon_->RemoveFromNotificationArea();
  // Stops the updater's threads before the process takes its DLLs away.
  Updater::Cleanup();
  ::wkeFinalize();
  ::CoUninitialize();
  ShutdownLogging();
  CrashReporter::Shutdown();
}

bool App::SetupLogging() {
  wchar_t folder[MAX_PATH + 1] = {};
  // PathAppendW both fails on an over-long result and, depending on the
  // Windows version, may drop the trailing separator, so it is restored.
  bool ok = ::GetTempPathW(MAX_PATH + 1, folder) != 0 && ::PathAppendW(folder, L"QuorVPN\\") &&
            ::PathAddBackslashW(folder) != nullptr;
  if (ok && !::PathFileExistsW(folder) && !::CreateDirectoryW(folder, nullptr)) {
    PreserveLastError keep;
    spdlog::error("util: CreateDirectory failed ({:#x})", keep.code());
    ok = false;
  }
  if (!ok) {
    PreserveLastError keep;
    spdlog::error("App: temp_path failed ({:#x})", keep.code());
    return false;
  }

  const std::wstring file = std::wstring(folder) + L"quorvpn.log";
  std::shared_ptr<spdlog::sinks::rotating_file_sink_mt> sink;
  try {
    sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file, kLogMaxSize, kLogRotatedFiles);
  } catch (const spdlog::spdlog_ex& e) {
    // The file may be a folder, or locked or denied to this user; the process
    // must fail its start-up cleanly rather than die on the exception.
    spdlog::error("App: open log file failed ({})", e.what());
    return false;
  }
  std::vector<spdlog::sink_ptr> sinks{sink};
  auto logger = std::make_shared<spdlog::logger>(kLoggerName, sinks.begin(), sinks.end());
  logger->flush_on(spdlog::level::info);
  spdlog::set_default_logger(std::move(logger));
  return true;
}

void App::ShutdownLogging() {
  if (auto logger = spdlog::default_logger()) logger->flush();
  spdlog::shutdown();
}

}  // namespace halyx
