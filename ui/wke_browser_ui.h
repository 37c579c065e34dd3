// The browser control: a framework control that owns one engine view,
// forwards the window's input to it, paints the view's rendering into the
// window and turns the engine's callbacks into "webnotify" notifications.
//
// The skin declares it as a control of class "WkeBrowser"; the window's
// CreateControl makes it. The notification's wParam is a WebNotifyCode; the
// texts that came with the callback are read from the control (GetTitle,
// GetUrl, GetMessage, GetDefaultValue, GetResultText) while it is handled.
//
//   void Notify(TNotifyUI& msg) override {
//     if (msg.type == L"webnotify" && msg.wParam == kWebNotifyDocumentReady) ...
//   }
//
// Ownership: the paint manager owns the control; the control owns its view
// and destroys it with itself. Needs the engine bound (wkeInitialize).
//
// Thread: GUI thread.
#pragma once

#include <windows.h>

#include "platform/duilib/control_ui.h"
#include "platform/duilib/dui_string.h"
#include "ui/wke_binding.h"

namespace DuiLib {

enum WebNotifyCode : WPARAM {
  kWebNotifyTitleChanged = 1,
  kWebNotifyUrlChanged = 2,
  kWebNotifyAlert = 3,
  kWebNotifyConfirm = 4,
  kWebNotifyPrompt = 5,
  kWebNotifyDocumentReady = 6,
  kWebNotifyDropFiles = 7,  // lParam: the HDROP, which the receiver consumes
};

class CWkeBrowserUI : public CControlUI {
 public:
  static constexpr const wchar_t* kClassName = L"WkeBrowser";
  static constexpr const wchar_t* kNotifyType = L"webnotify";

  CWkeBrowserUI() = default;
  ~CWkeBrowserUI() override;

  LPCWSTR GetClass() const override;
  LPVOID GetInterface(LPCWSTR name) override;
  UINT GetControlFlags() const override;
  void SetPos(RECT rc, bool needInvalidate = true) override;
  void DoInit() override;
  void DoEvent(TEventUI& event) override;
  void DoPaint(HDC hdc, const RECT& paint) override;

  // Null until DoInit, and when the engine is not bound.
  wkeWebView GetView() const { return view_; }
  // The window's answer to WM_GETOBJECT from the page (0 when the engine
  // has none for that object id).
  LRESULT GetAccessibleObject(WPARAM wParam, LPARAM lParam) const;
  const CDuiString& GetTitle() const { return title_; }
  const CDuiString& GetUrl() const { return url_; }
  const CDuiString& GetMessage() const { return message_; }
  const CDuiString& GetDefaultValue() const { return defaultValue_; }
  const CDuiString& GetResultText() const { return resultText_; }

 private:
  // Sends "webnotify" synchronously; true when a notifier received it.
  bool SendWebNotify(WPARAM code, LPARAM lParam, const wchar_t* message = nullptr,
                     const wchar_t* defaultValue = nullptr, const wchar_t* resultText = nullptr);
  void OpenDevToolsIfPresent();
  void PlaceImeWindow();
  // Tells the engine where the view sits, for screen locations and events.
  void PlaceView();

  static void WKE_CALL_TYPE OnPaintUpdated(wkeWebView view, void* param, const HDC hdc, int x, int y, int cx, int cy);
  static void WKE_CALL_TYPE OnTitleChanged(wkeWebView view, void* param, const wkeString title);
  static void WKE_CALL_TYPE OnUrlChanged(wkeWebView view, void* param, const wkeString url);
  static void WKE_CALL_TYPE OnAlertBox(wkeWebView view, void* param, const wkeString msg);
  static bool WKE_CALL_TYPE OnConfirmBox(wkeWebView view, void* param, const wkeString msg);
  static bool WKE_CALL_TYPE OnPromptBox(wkeWebView view, void* param, const wkeString msg,
                                        const wkeString defaultResult, wkeString result);
  static void WKE_CALL_TYPE OnDocumentReady(wkeWebView view, void* param);

  wkeWebView view_ = nullptr;
  CDuiString title_;
  CDuiString url_;
  CDuiString message_;
  CDuiString defaultValue_;
  CDuiString resultText_;
};

}  // namespace DuiLib
