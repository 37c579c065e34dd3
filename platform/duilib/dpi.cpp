#include "platform/duilib/dpi.h"

#include "base/system_library.h"

namespace DuiLib {

namespace {

// MDT_EFFECTIVE_DPI of shellscalingapi.h, which MinGW's headers may lack.
constexpr int kEffectiveDpi = 0;
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);

}  // namespace

int CDPI::GetMainMonitorDPI() {
  // GetDpiForMonitor exists from Windows 8.1 on; older systems (and Wine
  // without shcore) give the system DPI through the screen DC. The process
  // is elevated: shcore comes from the system folder, never from a search.
  if (halyx::ModuleHandle shcore = halyx::LoadSystemLibrary(L"shcore.dll")) {
    auto getDpi = reinterpret_cast<GetDpiForMonitorFn>(
        reinterpret_cast<void*>(::GetProcAddress(shcore.get(), "GetDpiForMonitor")));
    UINT dpiX = 0, dpiY = 0;
    const HMONITOR primary = ::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    const bool ok = getDpi != nullptr && SUCCEEDED(getDpi(primary, kEffectiveDpi, &dpiX, &dpiY));
    if (ok && dpiX > 0) return static_cast<int>(dpiX);
  }
  int dpi = kDefaultDPI;
  if (HDC screen = ::GetDC(nullptr)) {
    dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
    ::ReleaseDC(nullptr, screen);
  }
  return dpi > 0 ? dpi : kDefaultDPI;
}

void CDPI::SetDPI(int dpi) { dpi_ = dpi > 0 ? dpi : kDefaultDPI; }

RECT CDPI::Scale(const RECT& rc) const {
  return RECT{Scale(rc.left), Scale(rc.top), Scale(rc.right), Scale(rc.bottom)};
}

SIZE CDPI::Scale(SIZE size) const { return SIZE{Scale(size.cx), Scale(size.cy)}; }

}  // namespace DuiLib
