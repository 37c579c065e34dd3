// Scaling between design units (pixels at 96 DPI, the unit of skin files)
// and device pixels at a window's DPI.
//
//   CDPI dpi;
//   dpi.SetDPI(CDPI::GetMainMonitorDPI());
//   int height = dpi.Scale(32);   // 48 at 144 DPI
//
// Thread: a value; GetMainMonitorDPI may be called from any thread.
#pragma once

#include <windows.h>

namespace DuiLib {

class CDPI {
 public:
  static constexpr int kDefaultDPI = 96;

  // Effective DPI of the primary monitor as this process sees it (96 when a
  // DPI-unaware process or the system does not say).
  static int GetMainMonitorDPI();

  int GetDPI() const { return dpi_; }
  // Values of 0 or below mean "unknown" and reset to 96.
  void SetDPI(int dpi);
  // The scale in percent (100 at 96 DPI).
  int GetScale() const { return MulDiv(dpi_, 100, kDefaultDPI); }

  int Scale(int value) const { return MulDiv(value, dpi_, kDefaultDPI); }
  RECT Scale(const RECT& rc) const;
  SIZE Scale(SIZE size) const;
  int ScaleBack(int value) const { return MulDiv(value, kDefaultDPI, dpi_); }

 private:
  int dpi_ = kDefaultDPI;
};

}  // namespace DuiLib
