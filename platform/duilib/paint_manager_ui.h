// The framework side of one window: it owns the window's controls, lays them
// out, paints them double-buffered, turns input messages into TEventUI for
// the right control, and delivers notifications to the window's notifiers.
//
//   CPaintManagerUI manager;            // a member of the window object
//   manager.Init(hwnd);                 // in WM_CREATE
//   manager.AddControl(new CButtonUI);  // usually CDialogBuilder does this
//   ...
//   LRESULT result = 0;                 // in the window procedure
//   if (manager.MessageHandler(msg, wp, lp, result)) return result;
//
// Message order: the message filters (AddMessageFilter) first, in the order
// they were added; a filter that sets `handled` ends the message. Then the
// framework's own handling (painting, input, layout on WM_SIZE).
//
// The static part (SetInstance, GetInstance, TranslateMessage) is process
// wide: TranslateMessage is the hook the GUI thread's message loop calls for
// every message before translating and dispatching it.
//
// Thread: the GUI thread that owns the window. Notifiers and filters are
// not owned and must be removed before they go away.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/duilib/control_ui.h"
#include "platform/duilib/dpi.h"
#include "platform/duilib/dui_string.h"
#include "platform/duilib/event_ui.h"
#include "platform/duilib/message_filter_ui.h"
#include "platform/duilib/notify_ui.h"
#include "platform/duilib/skin_archive.h"
#include "base/unique_handle.h"

namespace DuiLib {

struct TFontInfo {
  HFONT font = nullptr;  // owned by the paint manager
  CDuiString faceName;
  int size = 0;  // character height in device pixels
  bool bold = false;
  LOGFONTW logFont{};
  TEXTMETRICW metrics{};
};

class CPaintManagerUI {
 public:
  CPaintManagerUI();
  ~CPaintManagerUI();
  CPaintManagerUI(const CPaintManagerUI&) = delete;
  CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;

  // The module whose resources (icons) and folder (skins) are used; the
  // executable unless set.
  static void SetInstance(HINSTANCE instance);
  static HINSTANCE GetInstance();
  // The folder of GetInstance()'s file, with a trailing backslash.
  static CDuiString GetInstancePath();

  // Offers a message taken from the queue to the pre-message filters of the
  // manager whose window (or one of its child windows) it is for. True when
  // one consumed it: the caller must then neither translate nor dispatch it.
  static bool TranslateMessage(const LPMSG msg);

  // Attaches to the window; call once, from WM_CREATE.
  void Init(HWND paintWindow);
  HWND GetPaintWindow() const { return paintWindow_; }

  // Scales layout and fonts to `dpi` and resizes the window's client area
  // by the ratio to the previous DPI.
  void SetDPI(int dpi);
  // WM_DPICHANGED: the window moved to a monitor of another DPI, or the
  // monitor's scale changed. Scales layout and fonts to `dpi`, moves the
  // window to `suggested` (screen coordinates) and lays out and repaints.
  void OnDpiChanged(int dpi, const RECT* suggested);
  static constexpr UINT kDpiChangedMessage = 0x02E0;  // WM_DPICHANGED, Windows 8.1 on
  int GetDPI() const { return dpi_.GetDPI(); }
  const CDPI& GetDPIObj() const { return dpi_; }

  // Window attributes from the skin, design units.
  void SetInitSize(int cx, int cy);
  SIZE GetInitSize() const { return initSize_; }
  void SetInset(RECT rc) { inset_ = rc; }
  RECT GetInset() const { return inset_; }
  void SetBkColor(DWORD argb) { bkColor_ = argb; }
  DWORD GetBkColor() const { return bkColor_; }
  // Face name and height in design units; empty name means the system's
  // message font.
  void SetDefaultFont(LPCWSTR faceName, int size, bool bold);
  // The font controls draw text with (and the caret font of edit-like
  // controls), created on first use at the current DPI.
  const TFontInfo* GetDefaultFontInfo();

  // Where the skin's files (the skin document, images) are read from: the
  // archive when one is set, else the folder (with a trailing backslash).
  void SetResourceArchive(std::shared_ptr<CSkinArchive> archive);
  void SetResourceFolder(const CDuiString& folder);
  // False, after one error line, when the file is missing or unreadable.
  bool ReadResource(const CDuiString& name, std::string* contents) const;
  // An uncompressed 24- or 32-bit BMP of the skin, loaded once and owned by
  // the manager; null (after one error line, the first time) otherwise.
  HBITMAP GetImage(const CDuiString& name);

  // Adopts `control` (deleted by the manager), calls its DoInit and lays
  // the window out again. False, deleting nothing, for null.
  bool AddControl(CControlUI* control);
  // Deletes every control (after the window is gone).
  void RemoveAllControls();
  int GetControlCount() const { return static_cast<int>(controls_.size()); }
  CControlUI* GetControlAt(int index) const;
  // The first control of that name, or null.
  CControlUI* FindControl(LPCWSTR name) const;
  // The topmost visible, enabled control under `pt` (client coordinates), or null.
  CControlUI* FindControl(POINT pt) const;

  // Positions every control for the current client size.
  void Layout();
  // Marks the layout stale; it is redone before the next paint.
  void NeedUpdate();
  void Invalidate(const RECT& rc);

  CControlUI* GetFocus() const { return focus_; }
  // Null clears the focus. Sends kKillFocus and kSetFocus.
  void SetFocus(CControlUI* control);

  // Routes the mouse to the control that handles the current event (or, if
  // none, the last one pressed) until ReleaseCapture.
  void SetCapture();
  void ReleaseCapture();
  bool IsCaptured() const { return captured_ != nullptr; }

  bool AddNotifier(INotifyUI* notifier);
  bool RemoveNotifier(INotifyUI* notifier);
  bool AddMessageFilter(IMessageFilterUI* filter);
  bool RemoveMessageFilter(IMessageFilterUI* filter);
  // Filters consulted by TranslateMessage, before the message is dispatched.
  bool AddPreMessageFilter(IMessageFilterUI* filter);
  bool RemovePreMessageFilter(IMessageFilterUI* filter);

  // Synchronous: every notifier's Notify runs, in the order they were added,
  // before this returns; `msg.timestamp` is then non-zero if there was at
  // least one notifier. Asynchronous: a copy is delivered from the message
  // queue later (timestamp stays 0 in `msg`); with `enableRepeat` false a
  // copy is dropped while one of the same type and sender is still queued.
  void SendNotify(TNotifyUI& msg, bool async = false, bool enableRepeat = true);
  void SendNotify(CControlUI* control, LPCWSTR type, WPARAM wParam = 0, LPARAM lParam = 0, bool async = false,
                  bool enableRepeat = true);

  // The window procedure's part; true with `result` set when the message
  // was consumed.
  bool MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
  bool PreMessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

 private:
  struct PendingNotify;

  // False when `dpi` is the current one.
  bool ApplyDPI(int dpi);
  bool RunFilters(const std::vector<IMessageFilterUI*>& filters, UINT msg, WPARAM wParam, LPARAM lParam,
                  LRESULT& result);
  bool HandleFramework(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
  void Paint();
  // Paints `rect` of the client area into `hdc` (client coordinates).
  void PaintTo(HDC hdc, const RECT& rect);
  void DeliverNotify(TNotifyUI& msg);
  void DeliverPendingNotifies();
  // Delivers `event` to `control` (nothing for null or an unknown control).
  void SendEvent(CControlUI* control, UiEventType type, WPARAM wParam, LPARAM lParam, POINT mouse);
  bool HandleMouse(UINT msg, WPARAM wParam, LPARAM lParam);
  bool Owns(const CControlUI* control) const;
  void UpdateHover(CControlUI* control, POINT mouse);

  HWND paintWindow_ = nullptr;
  CDPI dpi_;
  SIZE initSize_{0, 0};
  RECT inset_{0, 0, 0, 0};
  DWORD bkColor_ = 0xFFFFFFFF;
  CDuiString fontFace_;
  int fontSize_ = 0;
  bool fontBold_ = false;
  std::unique_ptr<TFontInfo> fontInfo_;
  halyx::FontHandle font_;
  std::vector<std::unique_ptr<CControlUI>> controls_;
  bool needLayout_ = true;
  CControlUI* focus_ = nullptr;
  CControlUI* hover_ = nullptr;
  CControlUI* pressed_ = nullptr;
  CControlUI* eventTarget_ = nullptr;
  CControlUI* captured_ = nullptr;
  bool trackingLeave_ = false;
  std::vector<INotifyUI*> notifiers_;
  std::vector<IMessageFilterUI*> filters_;
  std::vector<IMessageFilterUI*> preFilters_;
  std::vector<PendingNotify> pending_;
  std::shared_ptr<CSkinArchive> archive_;
  CDuiString resourceFolder_;
  std::map<CDuiString, halyx::BitmapHandle> images_;
};

}  // namespace DuiLib
