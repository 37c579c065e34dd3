#include "platform/duilib/control_ui.h"

#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include <spdlog/spdlog.h>

#include "platform/duilib/paint_manager_ui.h"
#include "platform/duilib/render_clip.h"
#include "platform/duilib/skin_values.h"
#include "base/gdi_selection.h"

namespace DuiLib {

namespace {

COLORREF ToColorRef(DWORD argb) { return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF); }
bool IsTransparent(DWORD argb) { return (argb >> 24) == 0; }

}  // namespace

CControlUI::~CControlUI() = default;

LPCWSTR CControlUI::GetClass() const { return L"Control"; }

LPVOID CControlUI::GetInterface(LPCWSTR name) {
  if (name != nullptr && std::wcscmp(name, L"Control") == 0) return this;
  return nullptr;
}

void CControlUI::SetPos(RECT rc, bool needInvalidate) {
  CDuiRect next(rc);
  if (next.right < next.left) next.right = next.left;
  if (next.bottom < next.top) next.bottom = next.top;
  if (next == pos_) return;
  // Both the old and the new place need painting.
  if (needInvalidate) Invalidate();
  pos_ = next;
  if (needInvalidate) Invalidate();
}

RECT CControlUI::GetClientPos() const {
  CDuiRect client(pos_);
  client.Deflate(manager_ != nullptr ? manager_->GetDPIObj().Scale(inset_) : inset_);
  return client;
}

void CControlUI::SetFloat(bool value) {
  if (float_ == value) return;
  float_ = value;
  if (manager_ != nullptr) manager_->NeedUpdate();
}

void CControlUI::SetFloatPos(RECT rc) {
  floatPos_ = rc;
  if (manager_ != nullptr) manager_->NeedUpdate();
}

void CControlUI::SetFixedHeight(int height) {
  fixedHeight_ = height < 0 ? 0 : height;
  if (manager_ != nullptr) manager_->NeedUpdate();
}

void CControlUI::SetInset(RECT rc) {
  inset_ = rc;
  Invalidate();
}

void CControlUI::SetBkColor(DWORD argb) {
  bkColor_ = argb;
  Invalidate();
}

void CControlUI::SetBkImage(LPCWSTR name) {
  bkImage_ = name;
  Invalidate();
}

void CControlUI::SetBorderColor(DWORD argb) {
  borderColor_ = argb;
  Invalidate();
}

void CControlUI::SetBorderSize(int size) {
  borderSize_ = size < 0 ? 0 : size;
  Invalidate();
}

void CControlUI::SetBorderRound(SIZE round) {
  borderRound_ = SIZE{round.cx < 0 ? 0 : round.cx, round.cy < 0 ? 0 : round.cy};
  Invalidate();
}

void CControlUI::SetText(LPCWSTR text) {
  text_ = text;
  Invalidate();
}

void CControlUI::SetTextColor(DWORD argb) {
  textColor_ = argb;
  Invalidate();
}

void CControlUI::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  if (manager_ == nullptr) return;
  if (!visible && IsFocused()) manager_->SetFocus(nullptr);
  manager_->NeedUpdate();
}

void CControlUI::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  if (!enabled && manager_ != nullptr && IsFocused()) manager_->SetFocus(nullptr);
  Invalidate();
}

void CControlUI::SetFocus() {
  if (manager_ != nullptr) manager_->SetFocus(this);
}

bool CControlUI::IsFocused() const { return manager_ != nullptr && manager_->GetFocus() == this; }

void CControlUI::SetAttribute(LPCWSTR name, LPCWSTR value) {
  const std::wstring key(name == nullptr ? L"" : name);
  const std::wstring text(value == nullptr ? L"" : value);
  bool ok = true;
  if (key == L"name") {
    SetName(text.c_str());
  } else if (key == L"text") {
    SetText(text.c_str());
  } else if (key == L"float") {
    bool flag = false;
    ok = ParseSkinBool(text, &flag);
    if (ok) SetFloat(flag);
  } else if (key == L"pos") {
    RECT rc{};
    ok = ParseSkinRect(text, &rc);
    if (ok) SetFloatPos(rc);
  } else if (key == L"height") {
    int height = 0;
    ok = ParseSkinInt(text, &height) && height >= 0;
    if (ok) SetFixedHeight(height);
  } else if (key == L"inset") {
    RECT rc{};
    ok = ParseSkinRect(text, &rc);
    if (ok) SetInset(rc);
  } else if (key == L"bkcolor") {
    DWORD color = 0;
    ok = ParseSkinColor(text, &color);
    if (ok) SetBkColor(color);
  } else if (key == L"bkimage") {
    SetBkImage(text.c_str());
  } else if (key == L"bordercolor") {
    DWORD color = 0;
    ok = ParseSkinColor(text, &color);
    if (ok) SetBorderColor(color);
  } else if (key == L"bordersize") {
    int size = 0;
    ok = ParseSkinInt(text, &size) && size >= 0;
    if (ok) SetBorderSize(size);
  } else if (key == L"borderround") {
    SIZE round{};
    ok = ParseSkinSize(text, &round);
    if (ok) SetBorderRound(round);
  } else if (key == L"textcolor") {
    DWORD color = 0;
    ok = ParseSkinColor(text, &color);
    if (ok) SetTextColor(color);
  } else if (key == L"visible") {
    bool flag = true;
    ok = ParseSkinBool(text, &flag);
    if (ok) SetVisible(flag);
  } else if (key == L"enabled") {
    bool flag = true;
    ok = ParseSkinBool(text, &flag);
    if (ok) SetEnabled(flag);
  } else {
    spdlog::warn("DuiLib: unknown attribute {} of {} ignored", CDuiString(key).ToUtf8(),
                 CDuiString(GetClass()).ToUtf8());
    return;
  }
  if (!ok) {
    spdlog::warn("DuiLib: bad value \"{}\" of attribute {} ignored", CDuiString(text).ToUtf8(),
                 CDuiString(key).ToUtf8());
  }
}

void CControlUI::Invalidate() {
  if (manager_ != nullptr && !pos_.IsEmpty()) manager_->Invalidate(pos_);
}

void CControlUI::DoEvent(TEventUI& event) {
  switch (event.type) {
    case UiEventType::kSetFocus:
    case UiEventType::kKillFocus:
      Invalidate();
      break;
    case UiEventType::kDropFiles:
      // Nobody took the drop: the shell's HDROP must still be released.
      if (event.wParam != 0) ::DragFinish(reinterpret_cast<HDROP>(event.wParam));
      event.wParam = 0;
      break;
    default:
      break;
  }
}

void CControlUI::DoPaint(HDC hdc, const RECT& paint) {
  CDuiRect visible(paint);
  if (!visible.Intersect(pos_)) return;
  const SIZE round = ScaledBorderRound();
  CRenderClip clip;
  if (round.cx >= 1 || round.cy >= 1) {
    CRenderClip::GenerateRoundClip(hdc, paint, pos_, round.cx, round.cy, clip);
  } else {
    CRenderClip::GenerateClip(hdc, paint, pos_, clip);
  }
  PaintBkColor(hdc);
  PaintBkImage(hdc);
  PaintStatusImage(hdc);
  PaintText(hdc);
  PaintBorder(hdc);
}

void CControlUI::PaintBkColor(HDC hdc) {
  if (IsTransparent(bkColor_)) return;
  const COLORREF previous = ::SetDCBrushColor(hdc, ToColorRef(bkColor_));
  ::FillRect(hdc, &pos_, static_cast<HBRUSH>(::GetStockObject(DC_BRUSH)));
  ::SetDCBrushColor(hdc, previous);
}

void CControlUI::PaintBkImage(HDC hdc) {
  if (bkImage_.IsEmpty() || manager_ == nullptr) return;
  HBITMAP bitmap = manager_->GetImage(bkImage_);
  if (bitmap == nullptr) return;
  BITMAP info{};
  if (::GetObjectW(bitmap, sizeof info, &info) == 0) return;
  halyx::MemoryDcHandle source(::CreateCompatibleDC(hdc));
  if (!source) return;
  halyx::GdiSelection selected(source.get(), bitmap);
  const int mode = ::SetStretchBltMode(hdc, HALFTONE);
  ::StretchBlt(hdc, pos_.left, pos_.top, pos_.GetWidth(), pos_.GetHeight(), source.get(), 0, 0, info.bmWidth,
               info.bmHeight, SRCCOPY);
  ::SetStretchBltMode(hdc, mode);
}

void CControlUI::PaintText(HDC hdc) {
  if (text_.IsEmpty() || manager_ == nullptr) return;
  const TFontInfo* font = manager_->GetDefaultFontInfo();
  halyx::GdiSelection selected(hdc, font != nullptr ? font->font : nullptr);
  const int mode = ::SetBkMode(hdc, TRANSPARENT);
  const COLORREF color = ::SetTextColor(hdc, ToColorRef(textColor_));
  RECT client = GetClientPos();
  ::DrawTextW(hdc, text_.GetData(), text_.GetLength(), &client,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
  ::SetTextColor(hdc, color);
  ::SetBkMode(hdc, mode);
}

void CControlUI::PaintBorder(HDC hdc) {
  if (borderSize_ <= 0 || IsTransparent(borderColor_)) return;
  const int width = manager_ != nullptr ? manager_->GetDPIObj().Scale(borderSize_) : borderSize_;
  halyx::PenHandle pen(::CreatePen(PS_INSIDEFRAME, width < 1 ? 1 : width, ToColorRef(borderColor_)));
  if (!pen) return;
  halyx::GdiSelection selectedPen(hdc, pen.get());
  halyx::GdiSelection selectedBrush(hdc, ::GetStockObject(NULL_BRUSH));
  const SIZE round = ScaledBorderRound();
  if (round.cx >= 1 || round.cy >= 1) {
    ::RoundRect(hdc, pos_.left, pos_.top, pos_.right, pos_.bottom, round.cx, round.cy);
  } else {
    ::Rectangle(hdc, pos_.left, pos_.top, pos_.right, pos_.bottom);
  }
}

SIZE CControlUI::ScaledBorderRound() const {
  return manager_ != nullptr ? manager_->GetDPIObj().Scale(borderRound_) : borderRound_;
}

}  // namespace DuiLib
