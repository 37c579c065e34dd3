#include "platform/duilib/dui_rect.h"

#include <algorithm>

namespace DuiLib {

void CDuiRect::Offset(int cx, int cy) { ::OffsetRect(this, cx, cy); }

void CDuiRect::Inflate(int cx, int cy) { ::InflateRect(this, cx, cy); }

void CDuiRect::Deflate(int cx, int cy) { Deflate(RECT{cx, cy, cx, cy}); }

void CDuiRect::Deflate(const RECT& insets) {
  left += insets.left;
  top += insets.top;
  right -= insets.right;
  bottom -= insets.bottom;
  right = std::max(right, left);
  bottom = std::max(bottom, top);
}

bool CDuiRect::Intersect(const RECT& other) {
  RECT result;
  const bool meet = ::IntersectRect(&result, this, &other) != FALSE;
  *static_cast<RECT*>(this) = result;
  return meet;
}

void CDuiRect::Union(const RECT& other) {
  if (CDuiRect(other).IsEmpty()) return;
  if (IsEmpty()) {
    *static_cast<RECT*>(this) = other;
    return;
  }
  left = std::min(left, other.left);
  top = std::min(top, other.top);
  right = std::max(right, other.right);
  bottom = std::max(bottom, other.bottom);
}

}  // namespace DuiLib
