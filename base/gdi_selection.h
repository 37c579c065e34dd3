// Selects a GDI object into a device context for one scope and puts the
// previous one back on every path out of it.
//
//   GdiSelection font(dc, font_.get());
//   ::DrawTextW(dc, ...);          // the previous font returns at the brace
//
// The selected object must outlive the selection; a DC handle owner that
// deletes the DC must be declared before the selection, so the restore runs
// first.
//
// Thread: the thread that owns the DC.
#pragma once

#include <windows.h>

namespace halyx {

class GdiSelection {
 public:
  GdiSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(dc && object ? ::SelectObject(dc, object) : nullptr) {}
  ~GdiSelection() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
  }
  GdiSelection(const GdiSelection&) = delete;
  GdiSelection& operator=(const GdiSelection&) = delete;

  // False when nothing was selected (no DC, no object, or SelectObject failed).
  explicit operator bool() const { return previous_ != nullptr && previous_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

}  // namespace halyx
