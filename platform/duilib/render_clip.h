// Restricts painting on a DC to a control for the life of this object and
// puts the DC's previous clip region back afterwards.
//
//   CRenderClip clip;
//   CRenderClip::GenerateRoundClip(hdc, paintRect, GetPos(), round.cx, round.cy, clip);
//   ... paint ...
//   // the clip goes away with `clip`
//
// Thread: the thread painting on the DC.
#pragma once

#include <windows.h>

#include "base/unique_handle.h"

namespace DuiLib {

class CRenderClip {
 public:
  CRenderClip() = default;
  ~CRenderClip();
  CRenderClip(const CRenderClip&) = delete;
  CRenderClip& operator=(const CRenderClip&) = delete;

  // Clips to `item` within `paint` (and within the DC's current clip).
  static void GenerateClip(HDC hdc, RECT paint, RECT item, CRenderClip& clip);
  // As GenerateClip, with corners rounded by an ellipse of `width` x
  // `height` (the control's border round).
  static void GenerateRoundClip(HDC hdc, RECT paint, RECT item, int width, int height, CRenderClip& clip);

 private:
  // Remembers the DC's clip before the first Generate* on this object.
  void Save(HDC hdc);
  void Apply(HRGN region);

  HDC hdc_ = nullptr;
  bool hadClip_ = false;
  halyx::RegionHandle previous_;
};

}  // namespace DuiLib
