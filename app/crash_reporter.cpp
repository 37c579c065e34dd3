#include "app/crash_reporter.h"

#include <windows.h>

#include "base/module_path.h"
#include "base/unique_handle.h"

namespace halyx {
namespace {

using Options = void*;

struct Api {
  Options(__cdecl* optionsNew)() = nullptr;
  void(__cdecl* setDsn)(Options, const char*) = nullptr;
  void(__cdecl* setHandlerPath)(Options, const char*) = nullptr;
  void(__cdecl* setRelease)(Options, const char*) = nullptr;
  void(__cdecl* setDatabasePath)(Options, const char*) = nullptr;
  int(__cdecl* init)(Options) = nullptr;
  int(__cdecl* shutdown)() = nullptr;
};

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return fn != nullptr;
}

// Bound once; the DLL stays loaded, since its exception handler must outlive
// everything else.
const Api* Bound() {
  static Api api;
  static bool bound = false;
  static bool tried = false;
  if (tried) return bound ? &api : nullptr;
  tried = true;
  const std::wstring path = BesideExecutable(L"sentry.dll");
  ModuleHandle module(path.empty() ? nullptr : ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return nullptr;
  Api candidate;
  const bool complete = Resolve(module.get(), "sentry_options_new", candidate.optionsNew) &&
                        Resolve(module.get(), "sentry_options_set_dsn", candidate.setDsn) &&
                        Resolve(module.get(), "sentry_options_set_handler_path", candidate.setHandlerPath) &&
                        Resolve(module.get(), "sentry_options_set_release", candidate.setRelease) &&
                        Resolve(module.get(), "sentry_options_set_database_path", candidate.setDatabasePath) &&
                        Resolve(module.get(), "sentry_init", candidate.init) &&
                        Resolve(module.get(), "sentry_shutdown", candidate.shutdown);
  if (!complete) return nullptr;
  api = candidate;
  static_cast<void>(module.release());
  bound = true;
  return &api;
}

}  // namespace

void CrashReporter::Start(const char* dsn, const char* handlerPath, const std::string& release,
                          const std::string& databasePath) {
  const Api* api = Bound();
  if (api == nullptr) return;
  Options options = api->optionsNew();
  if (options == nullptr) return;
  api->setDsn(options, dsn);
  api->setHandlerPath(options, handlerPath);
  api->setRelease(options, release.c_str());
  if (!databasePath.empty()) api->setDatabasePath(options, databasePath.c_str());
  api->init(options);  // takes the options; its result changes nothing here
}

void CrashReporter::Shutdown() {
  if (const Api* api = Bound()) api->shutdown();
}

}  // namespace halyx
