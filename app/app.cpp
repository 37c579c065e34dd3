#include "app/app.h"

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "app/auto_startup.h"
#include "app/crash_reporter.h"
#include "app/lsp_category.h"
#include "app/process_values.h"
#include "base/error_code.h"
#include "base/module_path.h"
#include "base/protected_folder.h"
#include "base/utf8.h"
#include "diag/rotating_log_sink.h"
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
  // The dumps go to the user's protected folder; the reporter makes and
  // checks "minidumps" in it. Nothing logs yet, so a failure only leaves
  // the reporter its own default.
  std::wstring folder;
  std::string database;
  if (UserDataFolder::Ensure(L"", folder, "App")) database = WideToUtf8(folder + L"\\" + UserDataFolder::kMinidumps);
  CrashReporter::Start(kCrashReporterDsn, kCrashHandlerPath, std::string("quorvpn-win32@") + kVersion, database);
}

bool App::Init(HINSTANCE instance) {
  StartCrashReporter();
  if (!SetupLogging()) return false;
  // Support reads exported logs: each run says which build wrote them.
  spdlog::info("App: QuorVPN {} starting", kVersion);
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

bool App::AcquireInstanceLock(const UserDataFolder::Settings& folders) {
  std::wstring folder;
  if (!UserDataFolder::Ensure(L"", folder, "App", folders)) return false;
  // Writing shared with no one: a second open for writing fails with a
  // sharing violation for as long as this handle lives, and the file's mere
  // presence blocks nothing. Reading is shared, so a second instance can
  // learn whom to let come to the front.
  instanceLock_ = OpenProtectedFile(folder + L"\\" + kLockFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    OPEN_ALWAYS, nullptr);
  if (!instanceLock_) {
    PreserveLastError keep;
    spdlog::error("App: CreateFile failed ({:#x})", keep.code());
    if (keep.error() == ERROR_SHARING_VIOLATION) {
      spdlog::debug("App: main app is already running");
      // A background process may not take the foreground by itself; the
      // process that holds it (this one, started by the user) may pass
      // that right on.
      if (const DWORD running = RunningInstanceId(folders)) ::AllowSetForegroundWindow(running);
      ::PostMessageW(HWND_BROADCAST, ShowRequestMessage, 0, 0);
    }
    return false;
  }
  const std::string id = std::to_string(::GetCurrentProcessId());
  DWORD written = 0;
  // Without the id a second instance still shows this one, only perhaps
  // behind others: no reason to refuse the start.
  if (!::SetEndOfFile(instanceLock_.get()) ||
      !::WriteFile(instanceLock_.get(), id.data(), static_cast<DWORD>(id.size()), &written, nullptr)) {
    spdlog::warn("App: cannot write the lock file ({:#x})", LastError());
  }
  return true;
}

DWORD App::RunningInstanceId(const UserDataFolder::Settings& folders) {
  std::wstring folder;
  if (!UserDataFolder::Ensure(L"", folder, "App", folders)) return 0;
  const FileHandle lock = OpenProtectedFile(folder + L"\\" + kLockFileName, GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
  char text[16] = {};
  DWORD read = 0;
  if (!lock || !::ReadFile(lock.get(), text, sizeof(text) - 1, &read, nullptr)) return 0;
  return static_cast<DWORD>(std::strtoul(text, nullptr, 10));
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
  trayIcon_->OnQuitRequest += DuiLib::MakeDelegate(this, &App::OnQuitRequest);
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

bool App::OnQuitRequest(void* param) {
  (void)param;
  spdlog::info("App: asked to quit by an installer");
  RequestQuit();
  return true;
}

void App::RequestQuit() {
  if (::GetCurrentThreadId() == MainThreadId) {
    ::PostQuitMessage(0);
  } else {
    ::PostThreadMessageW(MainThreadId, WM_QUIT, 0, 0);
  }
}

void App::Shutdown() {
  // Support reads where a run ended: a log without these two lines ended
  // in a crash or a kill, one with only the first hung tearing down.
  spdlog::info("App: shutting down");
  if (mainWindowController_) mainWindowController_->Hide();
  if (trayIcon_) trayIcon_->RemoveFromNotificationArea();
  // Stops the updater's threads before the process takes its DLLs away.
  Updater::Cleanup();
  ::wkeFinalize();
  ::CoUninitialize();
  spdlog::info("App: QuorVPN {} stopped", kVersion);
  ShutdownLogging();
  CrashReporter::Shutdown();
}

bool App::SetupLogging(const UserDataFolder::Settings& folders) {
  std::wstring folder;
  if (!UserDataFolder::Ensure(UserDataFolder::kLogs, folder, "util", folders)) {
    PreserveLastError keep;
    spdlog::error("App: temp_path failed ({:#x})", keep.code());
    return false;
  }
  auto sink = std::make_shared<RotatingLogSink>(folder, kLogFileName, kLogMaxSize, kLogRotatedFiles);
  if (!sink->Open("util")) {
    PreserveLastError keep;
    spdlog::error("App: open log file failed ({:#x})", keep.code());
    return false;
  }
  std::vector<spdlog::sink_ptr> sinks{sink};
  auto logger = std::make_shared<spdlog::logger>(kLoggerName, sinks.begin(), sinks.end());
  logger->flush_on(spdlog::level::info);
  spdlog::set_default_logger(std::move(logger));
  return true;
}

void App::ShutdownLogging() {
  // spdlog::shutdown() would leave a null default logger, and a thread that
  // logs late (a log-zip worker whose post failed, the I/O loop's detached
  // thread) would then crash the exit. The replacement has no sinks: late
  // lines go nowhere, and the file logger closes its file when the last
  // reference below goes.
  const std::shared_ptr<spdlog::logger> last = spdlog::default_logger();
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("discard"));
  if (last) last->flush();
}

}  // namespace halyx
