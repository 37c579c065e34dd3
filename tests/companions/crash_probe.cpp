// A program that starts the crash reporter stand-in beside itself the way the
// client does, and then crashes on purpose:
//
//   crash_probe <database folder> main|thread|overflow|none
//
//   main      an access violation on the main thread
//   thread    an access violation on a second thread
//   overflow  a stack overflow on the main thread
//   none      shuts the reporter down and exits with 0
//
// Exit code 2: the reporter could not be loaded or started.
#include <windows.h>

#include <cstdint>
#include <string>
#include <thread>

#include "base/module_path.h"
#include "base/utf8.h"

namespace {

struct Reporter {
  void*(__cdecl* optionsNew)();
  void(__cdecl* setDsn)(void*, const char*);
  void(__cdecl* setHandlerPath)(void*, const char*);
  void(__cdecl* setRelease)(void*, const char*);
  void(__cdecl* setDatabasePath)(void*, const char*);
  int(__cdecl* init)(void*);
  int(__cdecl* shutdown)();
};

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return fn != nullptr;
}

// An address the optimiser cannot see through.
volatile std::uintptr_t unmapped = 0x10;

void AccessViolation() { *reinterpret_cast<volatile int*>(unmapped) = 1; }

// Never reached: the stack runs out first.
volatile int deepest = -1;

// The array keeps each frame large and the call from becoming a loop.
int Overflow(int depth) {
  if (depth == deepest) return 0;
  volatile char frame[4096];
  frame[depth % sizeof(frame)] = static_cast<char>(depth);
  return Overflow(depth + 1) + frame[0];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const HMODULE module = ::LoadLibraryExW(halyx::BesideExecutable(L"sentry.dll").c_str(), nullptr, 0);
  Reporter r{};
  if (module == nullptr || !Resolve(module, "sentry_options_new", r.optionsNew) ||
      !Resolve(module, "sentry_options_set_dsn", r.setDsn) ||
      !Resolve(module, "sentry_options_set_handler_path", r.setHandlerPath) ||
      !Resolve(module, "sentry_options_set_release", r.setRelease) ||
      !Resolve(module, "sentry_options_set_database_path", r.setDatabasePath) ||
      !Resolve(module, "sentry_init", r.init) || !Resolve(module, "sentry_shutdown", r.shutdown)) {
    return 2;
  }
  void* options = r.optionsNew();
  r.setDsn(options, "https://0123456789abcdef0123456789abcdef@crash.example.invalid/7");
  r.setHandlerPath(options, "bin\\crashpad_handler.exe");
  r.setRelease(options, "crash_probe@1.2.3");
  r.setDatabasePath(options, halyx::WideToUtf8(argv[1]).c_str());
  if (r.init(options) != 0) return 2;

  const std::wstring mode = argv[2];
  if (mode == L"main") {
    AccessViolation();
  } else if (mode == L"thread") {
    std::thread(&AccessViolation).join();
  } else if (mode == L"overflow") {
    return Overflow(0);
  }
  r.shutdown();
  return 0;
}
