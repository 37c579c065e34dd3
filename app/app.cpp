#include "app/app.h"

#include <shlwapi.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

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
