// The stand-in tunnel service "QuorTunnel".
//
//   quortunnel install [options]     registers the service (demand start)
//   quortunnel uninstall [--name N]  stops and removes it
//   quortunnel service [options]     what the service control manager runs
//   quortunnel console [options]     serves the pipe in the foreground
//
// Options are listed in stand_in_options.h. It keeps its own rotating log,
// "quor-svc.log" and "quor-svc.1.log", in "QuorVPN\log" under the all-users
// folder, where the client's log collector looks for it.
#include <windows.h>

#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "control_server.h"
#include "base/all_users_directory.h"
#include "base/unique_handle.h"
#include "stand_in_options.h"
#include "base/module_path.h"

namespace halyx::standin {
namespace {

constexpr std::size_t kLogMaxSize = 1024 * 1024;

StandInOptions g_options;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
EventHandle g_stop;

void SetupLog(bool console) {
  std::vector<spdlog::sink_ptr> sinks;
  std::wstring folder = g_options.logDirectory;
  if (folder.empty()) {
    std::string allUsers;
    if (GetAllUsersDirectory(allUsers)) {
      folder = std::wstring(allUsers.begin(), allUsers.end()) + L"\\QuorVPN";
      ::CreateDirectoryW(folder.c_str(), nullptr);
      folder += L"\\log";
    }
  }
  if (!folder.empty()) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    try {
      sinks.push_back(
          std::make_shared<spdlog::sinks::rotating_file_sink_mt>(folder + L"\\quor-svc.log", kLogMaxSize, 1));
    } catch (const spdlog::spdlog_ex&) {
      // Another instance may hold the file during a rotation; the service
      // runs on without a file log rather than not at all.
    }
  }
  if (console) sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
  auto logger = std::make_shared<spdlog::logger>("QuorTunnel", sinks.begin(), sinks.end());
  logger->flush_on(spdlog::level::info);
  logger->set_level(spdlog::level::debug);
  spdlog::set_default_logger(std::move(logger));
}

void ReportStatus(DWORD state, DWORD waitHint = 0) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwWaitHint = waitHint;
  ++g_status.dwCheckPoint;
  ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    spdlog::info("QuorTunnel: stop requested");
    ReportStatus(SERVICE_STOP_PENDING, 30000);
    // A service that never finishes stopping, for the client's bounded wait.
    if (!g_options.stuckStop) ::SetEvent(g_stop.get());
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// Serves the pipe, or with --no-pipe only waits, until g_stop.
void Serve() {
  if (g_options.noPipe) {
    spdlog::warn("QuorTunnel: running without a pipe");
    ::WaitForSingleObject(g_stop.get(), INFINITE);
    return;
  }
  ControlServer server(g_options);
  if (!server.Create()) return;
  server.Run(g_stop.get());
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_options.serviceName.c_str(), ControlHandler, nullptr);
  if (!g_statusHandle) {
    spdlog::error("QuorTunnel: RegisterServiceCtrlHandlerEx failed ({:#x})", LastError());
    return;
  }
  ReportStatus(SERVICE_START_PENDING, 3000);
  if (g_options.stuckStart) {
    spdlog::warn("QuorTunnel: staying in START_PENDING");
    ::WaitForSingleObject(g_stop.get(), INFINITE);
  } else {
    ReportStatus(SERVICE_RUNNING);
    spdlog::info("QuorTunnel: service running");
    Serve();
  }
  spdlog::info("QuorTunnel: service stopped");
  spdlog::default_logger()->flush();
  ReportStatus(SERVICE_STOPPED);
}

BOOL WINAPI ConsoleHandler(DWORD) {
  ::SetEvent(g_stop.get());
  return TRUE;
}

int Install() {
  const std::wstring binary = L"\"" + ModulePath() + L"\" service " + g_options.ToArguments();
  // Display names are unique too, so each stand-in carries its service name.
  const std::wstring display = g_options.serviceName + L" (QuorVPN stand-in)";
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    spdlog::error("QuorTunnel: OpenSCManager failed ({:#x})", LastError());
    return 1;
  }
  ScHandle service(::CreateServiceW(manager.get(), g_options.serviceName.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, g_options.startType, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    spdlog::error("QuorTunnel: CreateService failed ({:#x})", LastError());
    return 1;
  }
  spdlog::info("QuorTunnel: installed {}", Narrow(g_options.serviceName));
  return 0;
}

int Uninstall() {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(manager ? ::OpenServiceW(manager.get(), g_options.serviceName.c_str(),
                                            SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                           : nullptr);
  if (!service) {
    spdlog::error("QuorTunnel: OpenService failed ({:#x})", LastError());
    return 1;
  }
  SERVICE_STATUS status{};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
      ::Sleep(100);
      if (!::QueryServiceStatus(service.get(), &status)) break;
    }
  }
  // A service stuck in a pending state is ended by force, so that removing
  // it never leaves a process behind.
  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  if (::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof(process),
                             &needed) &&
      process.dwCurrentState != SERVICE_STOPPED && process.dwProcessId != 0) {
    ProcessHandle running(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId));
    if (running) {
      ::TerminateProcess(running.get(), 1);
      ::WaitForSingleObject(running.get(), 5000);
    }
  }
  if (!::DeleteService(service.get())) {
    spdlog::error("QuorTunnel: DeleteService failed ({:#x})", LastError());
    return 1;
  }
  spdlog::info("QuorTunnel: uninstalled {}", Narrow(g_options.serviceName));
  return 0;
}

int Main(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  std::vector<std::wstring> args(argv + std::min(argc, 2), argv + argc);
  std::wstring error;
  if (command.empty() || !ParseOptions(args, g_options, error)) {
    ::fwprintf(stderr, L"usage: quortunnel install|uninstall|service|console [options]\n%ls\n", error.c_str());
    return 2;
  }
  g_stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (command == L"service") {
    SetupLog(false);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(g_options.serviceName.c_str()), ServiceMain},
                                    {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
      spdlog::error("QuorTunnel: StartServiceCtrlDispatcher failed ({:#x})", LastError());
      return 1;
    }
    return 0;
  }
  SetupLog(true);
  if (command == L"install") return Install();
  if (command == L"uninstall") return Uninstall();
  if (command == L"console") {
    ::SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    Serve();
    return 0;
  }
  ::fwprintf(stderr, L"unknown command %ls\n", command.c_str());
  return 2;
}

}  // namespace
}  // namespace halyx::standin

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 1;
  try {
    const int code = halyx::standin::Main(argc, argv);
    ::LocalFree(argv);
    spdlog::shutdown();
    return code;
  } catch (const std::exception& e) {
    ::fprintf(stderr, "quortunnel: %s\n", e.what());
    return 1;
  }
}
