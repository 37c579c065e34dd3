// A RECT with the arithmetic that layout and painting need. Right and bottom
// are exclusive, as everywhere in GDI.
//
// Thread: a value.
#pragma once

#include <windows.h>

namespace DuiLib {

class CDuiRect : public RECT {
 public:
  CDuiRect() : RECT{0, 0, 0, 0} {}
  CDuiRect(const RECT& src) : RECT(src) {}
  CDuiRect(LONG l, LONG t, LONG r, LONG b) : RECT{l, t, r, b} {}

  int GetWidth() const { return right - left; }
  int GetHeight() const { return bottom - top; }
  // True when the rectangle covers no pixel (zero or negative extent).
  bool IsEmpty() const { return right <= left || bottom <= top; }
  void Empty() { left = top = right = bottom = 0; }
  bool Contains(POINT pt) const { return pt.x >= left && pt.x < right && pt.y >= top && pt.y < bottom; }

  void Offset(int cx, int cy);
  void Inflate(int cx, int cy);
  void Deflate(int cx, int cy);
  // Shrinks by `insets` (left, top, right, bottom widths); never below empty.
  void Deflate(const RECT& insets);
  // Keeps the common part; false (and an empty rectangle) when they do not meet.
  bool Intersect(const RECT& other);
  // Grows to cover `other` as well; an empty `other` changes nothing.
  void Union(const RECT& other);

  friend bool operator==(const CDuiRect& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
  }
  friend bool operator!=(const CDuiRect& a, const RECT& b) { return !(a == b); }
};

}  // namespace DuiLib
