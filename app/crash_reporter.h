// The crash reporter "sentry.dll", bound at run time from the executable's
// folder: configured and started first thing at start-up, shut down last.
//
//   CrashReporter::Start(dsn, "bin\\crashpad_handler.exe", release, databaseFolder);
//   ...
//   CrashReporter::Shutdown();
//
// Start-up relies on nothing the reporter does: without the DLL or one of its
// functions both calls do nothing, silently (nothing is logged yet when the
// reporter starts).
//
// Thread: GUI thread.
#pragma once

#include <string>

namespace halyx {

class CrashReporter {
 public:
  // `databasePath` empty: the reporter's own default.
  static void Start(const char* dsn, const char* handlerPath, const std::string& release,
                    const std::string& databasePath);
  static void Shutdown();
};

}  // namespace halyx
