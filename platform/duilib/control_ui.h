// The base of every control: a named rectangle in a paint manager's window
// that paints itself and receives input events.
//
// A control belongs to the paint manager it was added to (which deletes it)
// and lives on that window's GUI thread. Derived controls override GetClass,
// GetInterface, GetControlFlags, DoInit, SetPos, DoEvent and DoPaint, and may
// call the paint hooks (background colour and image, status image, text,
// border) from their own DoPaint.
//
//   class CClockUI : public CControlUI {
//     LPCWSTR GetClass() const override { return L"Clock"; }
//     void DoPaint(HDC hdc, const RECT& paint) override {
//       PaintBkColor(hdc);
//       ...
//     }
//   };
//
// Layout, in design units (96-DPI pixels) scaled by the manager's DPI: a
// floating control sits at its `pos` in the window's client area; the others
// stack from top to bottom inside the window's inset, each with its fixed
// height or an equal share of what the fixed ones leave.
//
// Thread: the GUI thread of its window.
#pragma once

#include <windows.h>

#include "platform/duilib/dui_rect.h"
#include "platform/duilib/dui_string.h"
#include "platform/duilib/event_ui.h"

namespace DuiLib {

class CPaintManagerUI;

// GetControlFlags bits.
constexpr UINT kControlFlagTabStop = 0x00000001;
constexpr UINT kControlFlagSetCursor = 0x00000002;
constexpr UINT kControlFlagWantReturn = 0x00000004;

class CControlUI {
 public:
  CControlUI() = default;
  virtual ~CControlUI();
  CControlUI(const CControlUI&) = delete;
  CControlUI& operator=(const CControlUI&) = delete;

  virtual CDuiString GetName() const { return name_; }
  virtual void SetName(LPCWSTR name) { name_ = name; }
  // L"Control".
  virtual LPCWSTR GetClass() const;
  // The control itself for L"Control", else null. Derived classes answer for
  // their own class name and defer to the base.
  virtual LPVOID GetInterface(LPCWSTR name);
  virtual UINT GetControlFlags() const { return 0; }

  CPaintManagerUI* GetManager() const { return manager_; }
  // Set by the manager when it adopts the control.
  virtual void SetManager(CPaintManagerUI* manager) { manager_ = manager; }
  // Called once when the manager adopts the control, before the first layout.
  virtual void DoInit() {}

  // The rectangle in the paint window's client coordinates.
  virtual const RECT& GetPos() const { return pos_; }
  virtual void SetPos(RECT rc, bool needInvalidate = true);
  // GetPos less the inset.
  virtual RECT GetClientPos() const;
  int GetWidth() const { return pos_.GetWidth(); }
  int GetHeight() const { return pos_.GetHeight(); }

  bool IsFloat() const { return float_; }
  void SetFloat(bool value);
  // Design units, client coordinates of the window; used when floating.
  RECT GetFloatPos() const { return floatPos_; }
  void SetFloatPos(RECT rc);
  // Design units; 0 means "share the free height" in the stack.
  int GetFixedHeight() const { return fixedHeight_; }
  void SetFixedHeight(int height);
  // Design units.
  RECT GetInset() const { return inset_; }
  void SetInset(RECT rc);

  // Colours are 0xAARRGGBB; alpha 0 paints nothing.
  DWORD GetBkColor() const { return bkColor_; }
  void SetBkColor(DWORD argb);
  // A BMP file in the skin archive (or skin folder), stretched over the control.
  CDuiString GetBkImage() const { return bkImage_; }
  void SetBkImage(LPCWSTR name);
  DWORD GetBorderColor() const { return borderColor_; }
  void SetBorderColor(DWORD argb);
  // Design units; 0 draws no border.
  int GetBorderSize() const { return borderSize_; }
  void SetBorderSize(int size);
  // Ellipse width and height of rounded corners, design units; {0, 0} for
  // square corners.
  SIZE GetBorderRound() const { return borderRound_; }
  void SetBorderRound(SIZE round);
  virtual CDuiString GetText() const { return text_; }
  virtual void SetText(LPCWSTR text);
  DWORD GetTextColor() const { return textColor_; }
  void SetTextColor(DWORD argb);

  bool IsVisible() const { return visible_; }
  virtual void SetVisible(bool visible);
  bool IsEnabled() const { return enabled_; }
  virtual void SetEnabled(bool enabled);
  // Moves the manager's focus here (kKillFocus to the previous control,
  // kSetFocus to this one).
  virtual void SetFocus();
  bool IsFocused() const;

  // Applies one skin attribute. Unknown names are logged and ignored; a
  // derived control handles its own names and passes the rest on.
  virtual void SetAttribute(LPCWSTR name, LPCWSTR value);

  // Asks the window to repaint the control's rectangle.
  void Invalidate();

  // The base keeps the focus flag up to date and, for kDropFiles, releases
  // the HDROP with DragFinish: a control that handles a drop itself must not
  // pass that event on to the base.
  virtual void DoEvent(TEventUI& event);
  // Paints into `hdc` (client coordinates) the part of the control within
  // `paint`: background colour, background image, status image, text and
  // border, clipped to the rounded corners when there are any.
  virtual void DoPaint(HDC hdc, const RECT& paint);

  virtual void PaintBkColor(HDC hdc);
  virtual void PaintBkImage(HDC hdc);
  virtual void PaintStatusImage(HDC hdc) { (void)hdc; }
  virtual void PaintText(HDC hdc);
  virtual void PaintBorder(HDC hdc);

 protected:
  // The rounded-corner ellipse scaled to the manager's DPI.
  SIZE ScaledBorderRound() const;

 private:
  CPaintManagerUI* manager_ = nullptr;
  CDuiString name_;
  CDuiRect pos_;
  bool float_ = false;
  RECT floatPos_{0, 0, 0, 0};
  int fixedHeight_ = 0;
  RECT inset_{0, 0, 0, 0};
  DWORD bkColor_ = 0;
  CDuiString bkImage_;
  DWORD borderColor_ = 0xFF000000;
  int borderSize_ = 0;
  SIZE borderRound_{0, 0};
  CDuiString text_;
  DWORD textColor_ = 0xFF000000;
  bool visible_ = true;
  bool enabled_ = true;
};

}  // namespace DuiLib
