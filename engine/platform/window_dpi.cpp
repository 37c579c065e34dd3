#include "engine/platform/window_dpi.h"

namespace halyx::engine {
namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

// Looked up once: older Windows and older Wine lack it, and an import of it
// would keep the engine from loading there at all.
GetDpiForWindowFn DpiForWindowFunction() {
  static const GetDpiForWindowFn function = [] {
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 != nullptr ? reinterpret_cast<GetDpiForWindowFn>(
                                   reinterpret_cast<void*>(::GetProcAddress(user32, "GetDpiForWindow")))
                             : nullptr;
  }();
  return function;
}

}  // namespace

int WindowDpi::Of(HWND window) {
  if (window == nullptr || !::IsWindow(window)) return kDefault;
  if (const GetDpiForWindowFn dpiForWindow = DpiForWindowFunction()) {
    const UINT dpi = dpiForWindow(window);
    if (dpi > 0) return static_cast<int>(dpi);
  }
  int dpi = 0;
  if (HDC dc = ::GetDC(window)) {
    dpi = ::GetDeviceCaps(dc, LOGPIXELSX);
    ::ReleaseDC(window, dc);
  }
  return dpi > 0 ? dpi : kDefault;
}

}  // namespace halyx::engine
