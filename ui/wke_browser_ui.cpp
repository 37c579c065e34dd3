#include "ui/wke_browser_ui.h"

#include <imm.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <windowsx.h>

#include <exception>

#include <spdlog/spdlog.h>

#include "platform/duilib/notify_ui.h"
#include "platform/duilib/paint_manager_ui.h"
#include "platform/duilib/render_clip.h"
#include "base/guard.h"

namespace DuiLib {
namespace {

constexpr unsigned kMouseButtonMask = 0x1F;  // MK_LBUTTON .. MK_MBUTTON, as the engine takes them
constexpr unsigned kKeyRepeatFlag = 0x4000;
constexpr unsigned kKeyExtendedFlag = 0x0100;
constexpr int kWheelNotch = 120;

// Engine flags of a key message: the repeat and extended-key bits of the
// high word of its lParam.
unsigned KeyFlags(LPARAM lParam) {
  const unsigned high = HIWORD(lParam);
  return (high & kKeyRepeatFlag) | (high & kKeyExtendedFlag);
}

// Callbacks come from the engine; nothing may unwind into it.
template <typename Fn>
void Guarded(const char* what, Fn fn) {
  halyx::Guarded(fmt::format("CWkeBrowserUI: {}", what), std::move(fn));
}

}  // namespace

CWkeBrowserUI::~CWkeBrowserUI() {
  if (view_ != nullptr) ::wkeDestroyWebView(view_);
}

LPCWSTR CWkeBrowserUI::GetClass() const { return kClassName; }

LPVOID CWkeBrowserUI::GetInterface(LPCWSTR name) {
  if (name != nullptr && ::wcscmp(name, kClassName) == 0) return this;
  return CControlUI::GetInterface(name);
}

UINT CWkeBrowserUI::GetControlFlags() const { return kControlFlagTabStop | kControlFlagSetCursor; }

void CWkeBrowserUI::SetPos(RECT rc, bool needInvalidate) {
  CControlUI::SetPos(rc, needInvalidate);
  if (view_ != nullptr) ::wkeResize(view_, GetWidth(), GetHeight());
  PlaceView();
}

void CWkeBrowserUI::PlaceView() {
  const wkeSetHostWindowFunction setHost = halyx::WkeSetHostWindow();
  CPaintManagerUI* manager = GetManager();
  if (view_ == nullptr || setHost == nullptr || manager == nullptr) return;
  const RECT client = GetClientPos();
  setHost(view_, manager->GetPaintWindow(), client.left, client.top);
}

LRESULT CWkeBrowserUI::GetAccessibleObject(WPARAM wParam, LPARAM lParam) const {
  const wkeGetAccessibleObjectFunction getObject = halyx::WkeGetAccessibleObject();
  return view_ != nullptr && getObject != nullptr ? getObject(view_, wParam, lParam) : 0;
}

void CWkeBrowserUI::DoInit() {
  CControlUI::DoInit();
  if (::wkeCreateWebView == nullptr) {
    spdlog::error("CWkeBrowserUI: the browser engine is not bound");
    return;
  }
  view_ = ::wkeCreateWebView();
  if (view_ == nullptr) return;
  ::wkeSetTransparent(view_, false);
  ::wkeOnPaintUpdated(view_, &CWkeBrowserUI::OnPaintUpdated, this);
  ::wkeOnTitleChanged(view_, &CWkeBrowserUI::OnTitleChanged, this);
  ::wkeOnURLChanged(view_, &CWkeBrowserUI::OnUrlChanged, this);
  ::wkeOnAlertBox(view_, &CWkeBrowserUI::OnAlertBox, this);
  ::wkeOnConfirmBox(view_, &CWkeBrowserUI::OnConfirmBox, this);
  ::wkeOnPromptBox(view_, &CWkeBrowserUI::OnPromptBox, this);
  ::wkeOnDocumentReady(view_, &CWkeBrowserUI::OnDocumentReady, this);
  // The control's size is in device pixels; the engine lays the page out in
  // CSS pixels at the window's DPI, so it must know the window first.
  PlaceView();
  ::wkeResize(view_, GetWidth(), GetHeight());
}

bool CWkeBrowserUI::SendWebNotify(WPARAM code, LPARAM lParam, const wchar_t* message, const wchar_t* defaultValue,
                                  const wchar_t* resultText) {
  message_.Empty();
  defaultValue_.Empty();
  resultText_.Empty();
  if (message != nullptr) message_ = message;
  if (defaultValue != nullptr) defaultValue_ = defaultValue;
  if (resultText != nullptr) resultText_ = resultText;
  CPaintManagerUI* manager = GetManager();
  if (manager == nullptr) return false;
  TNotifyUI msg;
  msg.type = kNotifyType;
  msg.sender = this;
  msg.wParam = code;
  msg.lParam = lParam;
  manager->SendNotify(msg, false, true);
  return msg.timestamp != 0;
}

void WKE_CALL_TYPE CWkeBrowserUI::OnPaintUpdated(wkeWebView, void* param, const HDC, int, int, int, int) {
  if (param == nullptr) return;
  Guarded("paint", [&] { static_cast<CWkeBrowserUI*>(param)->Invalidate(); });
}

void WKE_CALL_TYPE CWkeBrowserUI::OnTitleChanged(wkeWebView, void* param, const wkeString title) {
  if (param == nullptr) return;
  Guarded("title change", [&] {
    auto* self = static_cast<CWkeBrowserUI*>(param);
    self->title_ = ::wkeGetStringW(title);
    self->SendWebNotify(kWebNotifyTitleChanged, 0);
  });
}

void WKE_CALL_TYPE CWkeBrowserUI::OnUrlChanged(wkeWebView, void* param, const wkeString url) {
  if (param == nullptr) return;
  Guarded("URL change", [&] {
    auto* self = static_cast<CWkeBrowserUI*>(param);
    self->url_ = ::wkeGetStringW(url);
    self->SendWebNotify(kWebNotifyUrlChanged, 0);
  });
}

void WKE_CALL_TYPE CWkeBrowserUI::OnAlertBox(wkeWebView, void* param, const wkeString msg) {
  if (param == nullptr) return;
  Guarded("alert",
          [&] { static_cast<CWkeBrowserUI*>(param)->SendWebNotify(kWebNotifyAlert, 0, ::wkeGetStringW(msg)); });
}

bool WKE_CALL_TYPE CWkeBrowserUI::OnConfirmBox(wkeWebView, void* param, const wkeString msg) {
  if (param == nullptr) return false;
  bool answer = false;
  Guarded("confirm", [&] {
    answer = static_cast<CWkeBrowserUI*>(param)->SendWebNotify(kWebNotifyConfirm, 0, ::wkeGetStringW(msg));
  });
  return answer;
}

bool WKE_CALL_TYPE CWkeBrowserUI::OnPromptBox(wkeWebView, void* param, const wkeString msg,
                                              const wkeString defaultResult, wkeString result) {
  if (param == nullptr) return false;
  bool answer = false;
  Guarded("prompt", [&] {
    answer = static_cast<CWkeBrowserUI*>(param)->SendWebNotify(kWebNotifyPrompt, 0, ::wkeGetStringW(msg),
                                                               ::wkeGetStringW(defaultResult), ::wkeGetStringW(result));
  });
  return answer;
}

void WKE_CALL_TYPE CWkeBrowserUI::OnDocumentReady(wkeWebView, void* param) {
  if (param == nullptr) return;
  Guarded("document ready", [&] { static_cast<CWkeBrowserUI*>(param)->SendWebNotify(kWebNotifyDocumentReady, 0); });
}

void CWkeBrowserUI::OpenDevToolsIfPresent() {
  char path[MAX_PATH + 1] = {};
  if (::GetModuleFileNameA(nullptr, path, MAX_PATH) == 0) return;
  ::PathRemoveFileSpecA(path);
  if (!::PathAppendA(path, "inspector\\inspector.html")) return;
  if (::PathFileExistsA(path)) ::wkeSetDebugConfig(view_, "showDevTools", path);
}

void CWkeBrowserUI::PlaceImeWindow() {
  CPaintManagerUI* manager = GetManager();
  if (manager == nullptr) return;
  const wkeRect caret = ::wkeGetCaretRect(view_);
  HWND window = manager->GetPaintWindow();
  HIMC context = ::ImmGetContext(window);
  if (context == nullptr) return;
  COMPOSITIONFORM form{};
  form.dwStyle = CFS_FORCE_POSITION;
  form.ptCurrentPos.x = GetPos().left + caret.x;
  form.ptCurrentPos.y = GetPos().top + caret.y;
  ::ImmSetCompositionWindow(context, &form);
  if (const TFontInfo* font = manager->GetDefaultFontInfo()) {
    LOGFONTW logFont = font->logFont;
    ::ImmSetCompositionFontW(context, &logFont);
  }
  ::ImmReleaseContext(window, context);
}

void CWkeBrowserUI::DoEvent(TEventUI& event) {
  if (view_ == nullptr) {
    CControlUI::DoEvent(event);
    return;
  }
  const RECT& pos = GetPos();
  const int x = GET_X_LPARAM(event.lParam) - pos.left;
  const int y = GET_Y_LPARAM(event.lParam) - pos.top;
  const unsigned buttons = static_cast<unsigned>(event.wParam) & kMouseButtonMask;
  CPaintManagerUI* manager = GetManager();
  switch (event.type) {
    case UiEventType::kKeyDown:
      ::wkeFireKeyDownEvent(view_, static_cast<unsigned>(event.wParam), KeyFlags(event.lParam), false);
      if (event.wParam == VK_F12) OpenDevToolsIfPresent();
      return;
    case UiEventType::kKeyUp:
      ::wkeFireKeyUpEvent(view_, static_cast<unsigned>(event.wParam), KeyFlags(event.lParam), false);
      return;
    case UiEventType::kChar:
      ::wkeFireKeyPressEvent(view_, static_cast<unsigned>(event.wParam), KeyFlags(event.lParam), false);
      return;
    case UiEventType::kMouseMove:
      ::wkeFireMouseEvent(view_, WM_MOUSEMOVE, x, y, buttons);
      return;
    case UiEventType::kLeftButtonDown:
      ::wkeSetFocus(view_);
      if (manager != nullptr) manager->SetCapture();
      ::wkeFireMouseEvent(view_, WM_LBUTTONDOWN, x, y, buttons);
      return;
    case UiEventType::kLeftButtonUp:
      if (manager != nullptr) manager->ReleaseCapture();
      ::wkeFireMouseEvent(view_, WM_LBUTTONUP, x, y, buttons);
      return;
    case UiEventType::kRightButtonDown:
      ::wkeSetFocus(view_);
      ::wkeFireMouseEvent(view_, WM_RBUTTONDOWN, x, y, buttons);
      return;
    case UiEventType::kRightButtonUp:
      ::wkeFireMouseEvent(view_, WM_RBUTTONUP, x, y, buttons);
      return;
    case UiEventType::kDoubleClick:
      ::wkeFireMouseEvent(view_, WM_LBUTTONDBLCLK, x, y, buttons);
      return;
    case UiEventType::kScrollWheel: {
      // The wheel's wParam carries the scroll code, not button flags; those
      // come from the key state.
      const int delta = LOWORD(event.wParam) == SB_LINEDOWN ? -kWheelNotch : kWheelNotch;
      ::wkeFireMouseWheelEvent(view_, event.mouse.x - pos.left, event.mouse.y - pos.top, delta,
                               event.keyState & kMouseButtonMask);
      return;
    }
    case UiEventType::kKillFocus:
      ::wkeKillFocus(view_);
      return;
    case UiEventType::kSetFocus:
      ::wkeSetFocus(view_);
      return;
    case UiEventType::kWindowSize:
      ::wkeResize(view_, GET_X_LPARAM(event.lParam), GET_Y_LPARAM(event.lParam));
      ::wkeRepaintIfNeeded(view_);
      return;
    case UiEventType::kImeComposition:
      PlaceImeWindow();
      return;
    case UiEventType::kSetCursor: {
      const wkeGetCursorFunction getCursor = halyx::WkeGetCursor();
      const int id = getCursor != nullptr ? getCursor(view_) : 0;
      HCURSOR cursor = id != 0 ? ::LoadCursorW(nullptr, MAKEINTRESOURCEW(id)) : nullptr;
      ::SetCursor(cursor != nullptr ? cursor : ::LoadCursorW(nullptr, IDC_ARROW));
      return;
    }
    case UiEventType::kDropFiles: {
      // The receiver consumes the HDROP; with nobody listening it would
      // leak, so it is released here.
      HDROP drop = reinterpret_cast<HDROP>(event.wParam);
      if (!SendWebNotify(kWebNotifyDropFiles, static_cast<LPARAM>(event.wParam)) && drop != nullptr) {
        ::DragFinish(drop);
      }
      return;
    }
    default:
      CControlUI::DoEvent(event);
      return;
  }
}

void CWkeBrowserUI::DoPaint(HDC hdc, const RECT& paint) {
  const SIZE round = ScaledBorderRound();
  CRenderClip clip;
  if (round.cx >= 1 || round.cy >= 1) CRenderClip::GenerateRoundClip(hdc, paint, GetPos(), round.cx, round.cy, clip);
  PaintBkColor(hdc);
  PaintBkImage(hdc);
  PaintStatusImage(hdc);
  if (view_ != nullptr) {
    const RECT client = GetClientPos();
    ::BitBlt(hdc, client.left, client.top, client.right - client.left, client.bottom - client.top,
             ::wkeGetViewDC(view_), 0, 0, SRCCOPY);
  }
  PaintText(hdc);
  PaintBorder(hdc);
}

}  // namespace DuiLib
