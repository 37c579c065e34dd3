#include "platform/duilib/render_clip.h"

namespace DuiLib {

CRenderClip::~CRenderClip() {
  if (hdc_ == nullptr) return;
  // A null region removes the clip the DC did not have before.
  ::SelectClipRgn(hdc_, hadClip_ ? previous_.get() : nullptr);
}

void CRenderClip::Save(HDC hdc) {
  if (hdc_ != nullptr) return;
  hdc_ = hdc;
  previous_.reset(::CreateRectRgn(0, 0, 0, 0));
  // GetClipRgn answers 0 when the DC has no clip region at all.
  hadClip_ = previous_ && ::GetClipRgn(hdc, previous_.get()) == 1;
}

void CRenderClip::Apply(HRGN region) {
  if (hadClip_) ::CombineRgn(region, region, previous_.get(), RGN_AND);
  ::SelectClipRgn(hdc_, region);
}

void CRenderClip::GenerateClip(HDC hdc, RECT paint, RECT item, CRenderClip& clip) {
  RECT inside{};
  ::IntersectRect(&inside, &paint, &item);
  clip.Save(hdc);
  halyx::RegionHandle region(::CreateRectRgnIndirect(&inside));
  if (region) clip.Apply(region.get());
}

void CRenderClip::GenerateRoundClip(HDC hdc, RECT paint, RECT item, int width, int height, CRenderClip& clip) {
  RECT inside{};
  ::IntersectRect(&inside, &paint, &item);
  clip.Save(hdc);
  halyx::RegionHandle region(::CreateRectRgnIndirect(&inside));
  // CreateRoundRectRgn excludes its right and bottom edges one pixel more
  // than a RECT does, hence the +1.
  halyx::RegionHandle round(::CreateRoundRectRgn(item.left, item.top, item.right + 1, item.bottom + 1, width, height));
  if (!region || !round) return;
  ::CombineRgn(region.get(), region.get(), round.get(), RGN_AND);
  clip.Apply(region.get());
}

}  // namespace DuiLib
