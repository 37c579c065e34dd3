// The exported C API of the stand-in engine: argument checks and the guard
// that keeps C++ exceptions inside the DLL, over EngineHost and WebView.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/style/css_parser.h"
#include "engine/view/engine_host.h"
#include "engine/script/script_context.h"
#include "engine/style/selector_matcher.h"
#include "engine/view/web_view.h"
#include "engine/wke.h"
#include "base/guard.h"
#include "base/utf8.h"

using halyx::GuardedQuietly;
using halyx::Utf8ToWide;
using halyx::WideToUtf8;
using halyx::engine::EngineHost;
using halyx::engine::ScriptContext;
using halyx::engine::WebView;

namespace {

// The view behind a handle, or null for a handle that is not a live view.
// The handle is looked up, never dereferenced.
WebView* ViewOf(wkeWebView handle) {
  EngineHost* host = EngineHost::Instance();
  const unsigned id = WebView::IdOf(handle);
  return host != nullptr && id != 0 ? host->FindView(id) : nullptr;
}

// An execution state is the view whose current page it runs.
ScriptContext* ScriptOf(jsExecState es) {
  EngineHost* host = EngineHost::Instance();
  const unsigned id = WebView::IdOf(es);
  WebView* view = host != nullptr && id != 0 ? host->FindView(id) : nullptr;
  return view != nullptr ? view->script() : nullptr;
}

// Every export is a boundary: nothing may unwind into the client.
template <typename Fn>
auto Guard(Fn fn, decltype(fn()) fallback) -> decltype(fn()) {
  return GuardedQuietly(fallback, std::move(fn));
}

template <typename Fn>
void GuardVoid(Fn fn) {
  GuardedQuietly(false, std::move(fn));
}

const wchar_t kEmptyWide[] = L"";
const char kEmpty[] = "";

}  // namespace

void WKE_CALL_TYPE wkeInitializeEx(const wkeSettings*) {
  GuardVoid([] { EngineHost::Initialize(); });
}

void WKE_CALL_TYPE wkeFinalize(void) {
  GuardVoid([] { EngineHost::Finalize(); });
}

void WKE_CALL_TYPE wkeEnableHighDPISupport(void) {
  GuardVoid([] {
    if (EngineHost* host = EngineHost::Instance()) host->set_high_dpi(true);
  });
}

wkeWebView WKE_CALL_TYPE wkeCreateWebView(void) {
  return Guard(
      []() -> wkeWebView {
        EngineHost* host = EngineHost::Instance();
        return host != nullptr ? host->CreateView()->handle() : nullptr;
      },
      nullptr);
}

void WKE_CALL_TYPE wkeDestroyWebView(wkeWebView webView) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) EngineHost::Instance()->DestroyView(view);
  });
}

void WKE_CALL_TYPE wkeSetTransparent(wkeWebView webView, bool transparent) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) view->SetTransparent(transparent);
  });
}

void WKE_CALL_TYPE wkeResize(wkeWebView webView, int w, int h) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) view->Resize(w, h);
  });
}

void WKE_CALL_TYPE wkeRepaintIfNeeded(wkeWebView webView) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) view->RepaintIfNeeded();
  });
}

HDC WKE_CALL_TYPE wkeGetViewDC(wkeWebView webView) {
  WebView* view = ViewOf(webView);
  return view != nullptr ? view->dc() : nullptr;
}

#define WKE_CALLBACK_SETTER(api, type, field)                              \
  void WKE_CALL_TYPE api(wkeWebView webView, type callback, void* param) { \
    if (WebView* view = ViewOf(webView)) {                                 \
      view->callbacks().field = callback;                                  \
      view->callbacks().field##_param = param;                             \
    }                                                                      \
  }
WKE_CALLBACK_SETTER(wkeOnPaintUpdated, wkePaintUpdatedCallback, paint_updated)
WKE_CALLBACK_SETTER(wkeOnTitleChanged, wkeTitleChangedCallback, title_changed)
WKE_CALLBACK_SETTER(wkeOnURLChanged, wkeURLChangedCallback, url_changed)
WKE_CALLBACK_SETTER(wkeOnAlertBox, wkeAlertBoxCallback, alert)
WKE_CALLBACK_SETTER(wkeOnConfirmBox, wkeConfirmBoxCallback, confirm)
WKE_CALLBACK_SETTER(wkeOnPromptBox, wkePromptBoxCallback, prompt)
WKE_CALLBACK_SETTER(wkeOnDocumentReady, wkeDocumentReadyCallback, document_ready)
#undef WKE_CALLBACK_SETTER

bool WKE_CALL_TYPE wkeFireMouseEvent(wkeWebView webView, unsigned message, int x, int y, unsigned flags) {
  return Guard(
      [&] {
        WebView* view = ViewOf(webView);
        return view != nullptr && view->MouseEvent(message, x, y, flags);
      },
      false);
}

bool WKE_CALL_TYPE wkeFireMouseWheelEvent(wkeWebView webView, int x, int y, int delta, unsigned flags) {
  return Guard(
      [&] {
        WebView* view = ViewOf(webView);
        return view != nullptr && view->MouseWheel(x, y, delta, flags);
      },
      false);
}

bool WKE_CALL_TYPE wkeFireKeyDownEvent(wkeWebView webView, unsigned virtualKeyCode, unsigned flags, bool systemKey) {
  return Guard(
      [&] {
        WebView* view = ViewOf(webView);
        return view != nullptr && view->KeyEvent("keydown", virtualKeyCode, flags, systemKey);
      },
      false);
}

bool WKE_CALL_TYPE wkeFireKeyUpEvent(wkeWebView webView, unsigned virtualKeyCode, unsigned flags, bool systemKey) {
  return Guard(
      [&] {
        WebView* view = ViewOf(webView);
        return view != nullptr && view->KeyEvent("keyup", virtualKeyCode, flags, systemKey);
      },
      false);
}

bool WKE_CALL_TYPE wkeFireKeyPressEvent(wkeWebView webView, unsigned charCode, unsigned flags, bool systemKey) {
  return Guard(
      [&] {
        WebView* view = ViewOf(webView);
        return view != nullptr && view->KeyEvent("keypress", charCode, flags, systemKey);
      },
      false);
}

void WKE_CALL_TYPE wkeSetFocus(wkeWebView webView) {
  if (WebView* view = ViewOf(webView)) view->SetFocus(true);
}

void WKE_CALL_TYPE wkeKillFocus(wkeWebView webView) {
  if (WebView* view = ViewOf(webView)) view->SetFocus(false);
}

wkeRect WKE_CALL_TYPE wkeGetCaretRect(wkeWebView webView) {
  WebView* view = ViewOf(webView);
  return view != nullptr ? view->CaretRect() : wkeRect{0, 0, 0, 0};
}

void WKE_CALL_TYPE wkeSetDebugConfig(wkeWebView webView, const char* debugString, const char* param) {
  GuardVoid([&] {
    WebView* view = ViewOf(webView);
    if (view == nullptr || debugString == nullptr) return;
    const std::string setting = debugString;
    if (setting == "showDevTools") view->ShowDevTools(param != nullptr ? param : "");
    // The DPI the view paints at whatever its host window (0: the window's
    // again); tests and pictures of a page at a given scale.
    if (setting == "dpi" && param != nullptr) {
      view->SetDpiOverride(static_cast<int>(std::strtol(param, nullptr, 10)));
    }
    // How long one entry into a page's script may run, in milliseconds, for
    // pages loaded afterwards; tests shorten it.
    if (setting == "scriptTimeLimit" && param != nullptr) {
      const unsigned long ms = std::strtoul(param, nullptr, 10);
      if (ms > 0) view->SetScriptTimeLimit(static_cast<unsigned>(ms));
    }
    // How often, at most, a view asks which detached nodes script still
    // reaches, in milliseconds (0: after every frame); tests shorten it.
    if (setting == "nodeSweepInterval" && param != nullptr) {
      view->SetNodeSweepInterval(static_cast<unsigned>(std::strtoul(param, nullptr, 10)));
    }
    // The folder whose files local pages may load (UTF-8), for later loads.
    if (setting == "localFileRoot" && param != nullptr) view->SetLocalFileRoot(Utf8ToWide(param));
    // "1": the view shows the client's own page, which may offer files for
    // saving (navigator.msSaveBlob); other views' pages cannot. For later
    // loads.
    if (setting == "mainView" && param != nullptr) view->SetMainView(std::strcmp(param, "1") == 0);
    // How long one fetch() may take in all, in milliseconds (30 s unless
    // set); tests shorten it.
    if (setting == "fetchDeadline" && param != nullptr) {
      const unsigned long ms = std::strtoul(param, nullptr, 10);
      if (ms > 0) view->SetFetchDeadline(static_cast<unsigned>(ms));
    }
  });
}

void WKE_CALL_TYPE wkeSetCookieJarFullPath(wkeWebView webView, const wchar_t* path) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) view->SetCookieJarPath(path != nullptr ? path : L"");
  });
}

void WKE_CALL_TYPE wkeSetLocalStorageFullPath(wkeWebView webView, const wchar_t* path) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) view->SetLocalStoragePath(path != nullptr ? path : L"");
  });
}

void WKE_CALL_TYPE wkeLoadFileW(wkeWebView webView, const wchar_t* filename) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView); view != nullptr && filename != nullptr) view->Load(filename);
  });
}

void WKE_CALL_TYPE wkeLoadURLW(wkeWebView webView, const wchar_t* url) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView); view != nullptr && url != nullptr) view->Load(url);
  });
}

void WKE_CALL_TYPE wkeSetDragEnable(wkeWebView webView, bool enable) {
  if (WebView* view = ViewOf(webView)) view->SetDragEnable(enable);
}

jsExecState WKE_CALL_TYPE wkeGlobalExec(wkeWebView webView) {
  WebView* view = ViewOf(webView);
  return view != nullptr ? view->exec_state() : nullptr;
}

const wchar_t* WKE_CALL_TYPE wkeGetStringW(wkeString string) {
  return string != nullptr ? string->wide.c_str() : kEmptyWide;
}

const utf8* WKE_CALL_TYPE wkeGetString(wkeString string) { return string != nullptr ? string->utf8.c_str() : kEmpty; }

jsValue WKE_CALL_TYPE jsObject(jsExecState es, jsData* data) {
  return Guard(
      [&]() -> jsValue {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->MakeNativeObject(data) : 0;
      },
      0);
}

jsValue WKE_CALL_TYPE jsFunction(jsExecState es, jsData* data) {
  return Guard(
      [&]() -> jsValue {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->MakeNativeFunction(data) : 0;
      },
      0);
}

jsData* WKE_CALL_TYPE jsGetData(jsExecState es, jsValue object) {
  return Guard(
      [&]() -> jsData* {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->GetData(object) : nullptr;
      },
      nullptr);
}

void WKE_CALL_TYPE jsSet(jsExecState es, jsValue object, const char* prop, jsValue value) {
  GuardVoid([&] {
    ScriptContext* script = ScriptOf(es);
    if (script != nullptr && prop != nullptr) script->Set(object, prop, value);
  });
}

void WKE_CALL_TYPE jsSetGlobal(jsExecState es, const char* prop, jsValue value) {
  GuardVoid([&] {
    ScriptContext* script = ScriptOf(es);
    if (script != nullptr && prop != nullptr) script->SetGlobal(prop, value);
  });
}

jsValue WKE_CALL_TYPE jsEval(jsExecState es, const utf8* str) {
  return Guard(
      [&]() -> jsValue {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr && str != nullptr ? script->Eval(str) : 0;
      },
      0);
}

jsValue WKE_CALL_TYPE jsEvalW(jsExecState es, const wchar_t* str) {
  return Guard(
      [&]() -> jsValue {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr && str != nullptr ? script->Eval(WideToUtf8(str)) : 0;
      },
      0);
}

jsValue WKE_CALL_TYPE jsUndefined(void) { return 0; }

jsValue WKE_CALL_TYPE jsString(jsExecState es, const utf8* str) {
  return Guard(
      [&]() -> jsValue {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->MakeString(str != nullptr ? str : "") : 0;
      },
      0);
}

jsValue WKE_CALL_TYPE jsInt(int n) { return ScriptContext::IntHandle(n); }

jsValue WKE_CALL_TYPE jsArrayBuffer(jsExecState es, const char* buffer, size_t size) {
  return Guard(
      [&]() -> jsValue {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->MakeArrayBuffer(buffer, size) : 0;
      },
      0);
}

bool WKE_CALL_TYPE jsIsString(jsValue v) { return ScriptContext::IsStringHandle(v); }

bool WKE_CALL_TYPE jsIsNumber(jsValue v) { return ScriptContext::IsNumberHandle(v); }

int WKE_CALL_TYPE jsToInt(jsExecState es, jsValue v) {
  return Guard(
      [&] {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->ToInt(v) : 0;
      },
      0);
}

const utf8* WKE_CALL_TYPE jsToTempString(jsExecState es, jsValue v) {
  return Guard(
      [&]() -> const utf8* {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->ToTempString(v) : kEmpty;
      },
      kEmpty);
}

const wchar_t* WKE_CALL_TYPE jsToTempStringW(jsExecState es, jsValue v) {
  return Guard(
      [&]() -> const wchar_t* {
        ScriptContext* script = ScriptOf(es);
        return script != nullptr ? script->ToTempStringW(v) : kEmptyWide;
      },
      kEmptyWide);
}

int WKE_CALL_TYPE wkeGetCursor(wkeWebView webView) {
  const int arrow = static_cast<int>(reinterpret_cast<std::uintptr_t>(IDC_ARROW));
  return Guard(
      [&]() -> int {
        WebView* view = ViewOf(webView);
        return view == nullptr ? arrow : view->CursorId();
      },
      arrow);
}

void WKE_CALL_TYPE wkeSetHostWindow(wkeWebView webView, HWND window, int x, int y) {
  GuardVoid([&] {
    if (WebView* view = ViewOf(webView)) {
      view->SetHostWindow(window);
      view->accessibility().SetHost(window, POINT{x, y});
    }
  });
}

LRESULT WKE_CALL_TYPE wkeGetAccessibleObject(wkeWebView webView, WPARAM wParam, LPARAM lParam) {
  return Guard(
      [&]() -> LRESULT {
        WebView* view = ViewOf(webView);
        return view != nullptr ? view->accessibility().AnswerGetObject(wParam, lParam) : 0;
      },
      LRESULT{0});
}

bool WKE_CALL_TYPE wkeQueryElementRect(wkeWebView webView, const utf8* selector, wkeRect* rect) {
  return Guard(
      [&]() -> bool {
        WebView* view = ViewOf(webView);
        std::vector<halyx::engine::Selector> selectors;
        if (view == nullptr || selector == nullptr || rect == nullptr ||
            !halyx::engine::CssParser::ParseSelectors(selector, selectors)) {
          return false;
        }
        view->CurrentLayout();
        const halyx::engine::SelectorMatcher matcher(view->document(), view->interaction());
        const int element = matcher.QueryFirst(0, selectors);
        float box[4] = {0, 0, 0, 0};
        if (element < 0 || !view->ElementRect(element, box)) return false;
        const float scale = view->scale();
        *rect = wkeRect{static_cast<int>(std::lround(box[0] * scale)), static_cast<int>(std::lround(box[1] * scale)),
                        static_cast<int>(std::lround(box[2] * scale)), static_cast<int>(std::lround(box[3] * scale))};
        return true;
      },
      false);
}

int WKE_CALL_TYPE wkeQueryNodeCount(wkeWebView webView) {
  return Guard(
      [&]() -> int {
        WebView* view = ViewOf(webView);
        return view != nullptr ? static_cast<int>(view->document().live()) : -1;
      },
      -1);
}

int WKE_CALL_TYPE wkeQueryMemory(wkeWebView webView, char* text, int size) {
  return Guard(
      [&]() -> int {
        WebView* view = ViewOf(webView);
        if (view == nullptr || size < 0 || (text == nullptr && size > 0)) return -1;
        const std::string figures = view->MemoryFigures();
        if (size > 0) {
          const std::size_t copied = std::min(figures.size(), static_cast<std::size_t>(size) - 1);
          std::memcpy(text, figures.data(), copied);
          text[copied] = '\0';
        }
        return static_cast<int>(std::min<std::size_t>(figures.size(), INT_MAX));
      },
      -1);
}
