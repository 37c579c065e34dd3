// The functions of "sentry.dll" that the client binds by name
// (app/crash_reporter.cpp), all __cdecl:
//
//   void* sentry_options_new(void)
//   void  sentry_options_set_dsn(void* options, const char* dsn)
//   void  sentry_options_set_handler_path(void* options, const char* path)
//   void  sentry_options_set_release(void* options, const char* release)
//   void  sentry_options_set_database_path(void* options, const char* path)
//   int   sentry_init(void* options)     takes the options over; 0 when installed
//   int   sentry_shutdown(void)          0
//
// The DSN and the handler path are kept but unused: this reporter sends
// nothing anywhere and starts no handler process; it writes the dump itself
// (crash_handler.h). Without a database path the dumps go to "minidumps" in
// the user's protected folder (base/user_data_folder.h), never to the
// temporary folder, which a program of the same user may turn into a link. Paths are UTF-8; a path that is
// not valid UTF-8 is read in the ANSI code page, which is what a caller
// holding SHGetFolderPathA's result passes.
//
// No exception leaves an export; there is no log to write to, so a failure
// is only a result.
#include <windows.h>

#include <memory>
#include <string>

#include "base/guard.h"
#include "base/user_data_folder.h"
#include "base/utf8.h"
#include "crash_handler.h"

namespace {

struct ReporterOptions {
  std::string dsn;
  std::string handlerPath;
  std::string release;
  std::string databasePath;
};

void SetOption(void* options, const char* value, std::string ReporterOptions::*member) {
  if (options == nullptr || value == nullptr) return;
  halyx::GuardedQuietly(false, [&] {
    static_cast<ReporterOptions*>(options)->*member = value;
    return true;
  });
}

std::wstring DecodePath(const std::string& path) {
  std::wstring wide;
  if (!halyx::AppendDecoded(CP_UTF8, MB_ERR_INVALID_CHARS, path, wide)) halyx::AppendDecoded(CP_ACP, 0, path, wide);
  return wide;
}

std::wstring DefaultDatabase() {
  std::wstring folder;
  if (!halyx::UserDataFolder::Ensure(halyx::UserDataFolder::kMinidumps, folder, "CrashReporter")) return {};
  return folder;
}

}  // namespace

extern "C" {

__declspec(dllexport) void* __cdecl sentry_options_new() {
  return halyx::GuardedQuietly(static_cast<void*>(nullptr), [] { return static_cast<void*>(new ReporterOptions); });
}

__declspec(dllexport) void __cdecl sentry_options_set_dsn(void* options, const char* dsn) {
  SetOption(options, dsn, &ReporterOptions::dsn);
}

__declspec(dllexport) void __cdecl sentry_options_set_handler_path(void* options, const char* path) {
  SetOption(options, path, &ReporterOptions::handlerPath);
}

__declspec(dllexport) void __cdecl sentry_options_set_release(void* options, const char* release) {
  SetOption(options, release, &ReporterOptions::release);
}

__declspec(dllexport) void __cdecl sentry_options_set_database_path(void* options, const char* path) {
  SetOption(options, path, &ReporterOptions::databasePath);
}

__declspec(dllexport) int __cdecl sentry_init(void* options) {
  std::unique_ptr<ReporterOptions> owned(static_cast<ReporterOptions*>(options));
  if (!owned) return 1;
  return halyx::GuardedQuietly(1, [&] {
    const std::wstring folder = owned->databasePath.empty() ? DefaultDatabase() : DecodePath(owned->databasePath);
    if (folder.empty()) return 1;
    return halyx::crash::CrashHandler::Install(folder, owned->release) ? 0 : 1;
  });
}

__declspec(dllexport) int __cdecl sentry_shutdown() {
  halyx::crash::CrashHandler::Uninstall();
  return 0;
}

}  // extern "C"
