// The C API of the browser engine "wke.dll": views without a window of their
// own, page loading, painting into a device context, input, and script values.
//
// The client never links the DLL. It includes this header, loads the DLL at
// run time and binds the functions of WKE_API_FUNCTIONS into function
// pointers of the same names (ui/wke_binding.h). The engine itself is built
// with WKE_ENGINE_BUILD defined and exports exactly these names.
//
// Script values (`jsValue`) are 64-bit handles. Handles of strings, numbers
// and objects stay valid until control returns to the message loop, or for as
// long as the native-backed object they were `jsSet` on lives. A native-backed
// object (`jsObject`, `jsFunction`) is tied to its `jsData` record: the engine
// hands the record back to every callback and calls its finalize callback
// exactly once, when the interpreter collects the object or when the view (or
// the page that made it) goes away.
//
// Units: every size and point the API takes or gives (wkeResize, the mouse
// calls, the paint-updated rectangle, wkeGetCaretRect, wkeGetViewDC's bitmap)
// is in device pixels, the pixels of the host's window. Pages are laid out
// in CSS pixels; after wkeEnableHighDPISupport a view whose host window is
// known (wkeSetHostWindow) has as many device pixels per CSS pixel as its
// window's DPI is to 96, and paints text, borders, shadows and pictures at
// that resolution. Without it a CSS pixel is a device pixel.
//
// Thread: every function is called on the thread that called
// wkeInitializeEx (the GUI thread); every callback arrives on that thread.
#pragma once

#include <windows.h>

#include <stddef.h>

#define WKE_CALL_TYPE __cdecl

// Window class of the developer-tools window that "showDevTools" opens.
#define WKE_DEVTOOLS_WINDOW_CLASS L"WkeDevToolsWindow"

typedef struct wkeWebViewImpl* wkeWebView;
typedef struct wkeStringImpl* wkeString;
typedef struct jsExecStateImpl* jsExecState;
typedef long long jsValue;  // 0 is undefined
typedef char utf8;

typedef struct wkeRect {
  int x;
  int y;
  int w;
  int h;
} wkeRect;

// Engine-wide settings; NULL takes the defaults.
typedef struct wkeSettings {
  unsigned mask;  // no setting is defined yet
} wkeSettings;

struct tagjsData;
typedef jsValue(WKE_CALL_TYPE* jsGetPropertyCallback)(jsExecState es, jsValue object, const char* propertyName);
// True when the callback took the value; false leaves it to the engine,
// which stores it as an ordinary property.
typedef bool(WKE_CALL_TYPE* jsSetPropertyCallback)(jsExecState es, jsValue object, const char* propertyName,
                                                   jsValue value);
typedef void(WKE_CALL_TYPE* jsFinalizeCallback)(struct tagjsData* data);
typedef jsValue(WKE_CALL_TYPE* jsCallAsFunctionCallback)(jsExecState es, jsValue object, jsValue* args, int argCount);

// The record that ties a native object to a script object. The engine keeps
// the pointer, never a copy: the record must live until its finalize call.
typedef struct tagjsData {
  char typeName[100];
  jsGetPropertyCallback propertyGet;
  jsSetPropertyCallback propertySet;
  jsFinalizeCallback finalize;
  jsCallAsFunctionCallback callAsFunction;
} jsData;

typedef void(WKE_CALL_TYPE* wkePaintUpdatedCallback)(wkeWebView webView, void* param, const HDC hdc, int x, int y,
                                                     int cx, int cy);
typedef void(WKE_CALL_TYPE* wkeTitleChangedCallback)(wkeWebView webView, void* param, const wkeString title);
typedef void(WKE_CALL_TYPE* wkeURLChangedCallback)(wkeWebView webView, void* param, const wkeString url);
typedef void(WKE_CALL_TYPE* wkeAlertBoxCallback)(wkeWebView webView, void* param, const wkeString msg);
typedef bool(WKE_CALL_TYPE* wkeConfirmBoxCallback)(wkeWebView webView, void* param, const wkeString msg);
// `result` starts as the default text; the page receives it when the
// callback answers true, and null otherwise.
typedef bool(WKE_CALL_TYPE* wkePromptBoxCallback)(wkeWebView webView, void* param, const wkeString msg,
                                                  const wkeString defaultResult, wkeString result);
typedef void(WKE_CALL_TYPE* wkeDocumentReadyCallback)(wkeWebView webView, void* param);

// X(return type, name, parameter list) for every function of the API.
#define WKE_API_FUNCTIONS(X)                                                                                  \
  X(void, wkeInitializeEx, (const wkeSettings* settings))                                                     \
  X(void, wkeFinalize, (void))                                                                                \
  X(void, wkeEnableHighDPISupport, (void))                                                                    \
  X(wkeWebView, wkeCreateWebView, (void))                                                                     \
  X(void, wkeDestroyWebView, (wkeWebView webView))                                                            \
  X(void, wkeSetTransparent, (wkeWebView webView, bool transparent))                                          \
  X(void, wkeResize, (wkeWebView webView, int w, int h))                                                      \
  X(void, wkeRepaintIfNeeded, (wkeWebView webView))                                                           \
  X(HDC, wkeGetViewDC, (wkeWebView webView))                                                                  \
  X(void, wkeOnPaintUpdated, (wkeWebView webView, wkePaintUpdatedCallback callback, void* param))             \
  X(void, wkeOnTitleChanged, (wkeWebView webView, wkeTitleChangedCallback callback, void* param))             \
  X(void, wkeOnURLChanged, (wkeWebView webView, wkeURLChangedCallback callback, void* param))                 \
  X(void, wkeOnAlertBox, (wkeWebView webView, wkeAlertBoxCallback callback, void* param))                     \
  X(void, wkeOnConfirmBox, (wkeWebView webView, wkeConfirmBoxCallback callback, void* param))                 \
  X(void, wkeOnPromptBox, (wkeWebView webView, wkePromptBoxCallback callback, void* param))                   \
  X(void, wkeOnDocumentReady, (wkeWebView webView, wkeDocumentReadyCallback callback, void* param))           \
  X(bool, wkeFireMouseEvent, (wkeWebView webView, unsigned message, int x, int y, unsigned flags))            \
  X(bool, wkeFireMouseWheelEvent, (wkeWebView webView, int x, int y, int delta, unsigned flags))              \
  X(bool, wkeFireKeyDownEvent, (wkeWebView webView, unsigned virtualKeyCode, unsigned flags, bool systemKey)) \
  X(bool, wkeFireKeyUpEvent, (wkeWebView webView, unsigned virtualKeyCode, unsigned flags, bool systemKey))   \
  X(bool, wkeFireKeyPressEvent, (wkeWebView webView, unsigned charCode, unsigned flags, bool systemKey))      \
  X(void, wkeSetFocus, (wkeWebView webView))                                                                  \
  X(void, wkeKillFocus, (wkeWebView webView))                                                                 \
  X(wkeRect, wkeGetCaretRect, (wkeWebView webView))                                                           \
  X(void, wkeSetDebugConfig, (wkeWebView webView, const char* debugString, const char* param))                \
  X(void, wkeSetCookieJarFullPath, (wkeWebView webView, const wchar_t* path))                                 \
  X(void, wkeSetLocalStorageFullPath, (wkeWebView webView, const wchar_t* path))                              \
  X(void, wkeLoadFileW, (wkeWebView webView, const wchar_t* filename))                                        \
  X(void, wkeLoadURLW, (wkeWebView webView, const wchar_t* url))                                              \
  X(void, wkeSetDragEnable, (wkeWebView webView, bool enable))                                                \
  X(jsExecState, wkeGlobalExec, (wkeWebView webView))                                                         \
  X(const wchar_t*, wkeGetStringW, (wkeString string))                                                        \
  X(const utf8*, wkeGetString, (wkeString string))                                                            \
  X(jsValue, jsObject, (jsExecState es, jsData * data))                                                       \
  X(jsValue, jsFunction, (jsExecState es, jsData * data))                                                     \
  X(jsData*, jsGetData, (jsExecState es, jsValue object))                                                     \
  X(void, jsSet, (jsExecState es, jsValue object, const char* prop, jsValue value))                           \
  X(void, jsSetGlobal, (jsExecState es, const char* prop, jsValue value))                                     \
  X(jsValue, jsEval, (jsExecState es, const utf8* str))                                                       \
  X(jsValue, jsEvalW, (jsExecState es, const wchar_t* str))                                                   \
  X(jsValue, jsUndefined, (void))                                                                             \
  X(jsValue, jsString, (jsExecState es, const utf8* str))                                                     \
  X(jsValue, jsInt, (int n))                                                                                  \
  X(jsValue, jsArrayBuffer, (jsExecState es, const char* buffer, size_t size))                                \
  X(bool, jsIsString, (jsValue v))                                                                            \
  X(bool, jsIsNumber, (jsValue v))                                                                            \
  X(int, jsToInt, (jsExecState es, jsValue v))                                                                \
  X(const utf8*, jsToTempString, (jsExecState es, jsValue v))                                                 \
  X(const wchar_t*, jsToTempStringW, (jsExecState es, jsValue v))

#if defined(WKE_ENGINE_BUILD)
#define WKE_DECLARE_EXPORT(ret, name, params) extern "C" __declspec(dllexport) ret WKE_CALL_TYPE name params;
WKE_API_FUNCTIONS(WKE_DECLARE_EXPORT)
#undef WKE_DECLARE_EXPORT
#endif

// Optional, outside the client's required API: the system cursor (an IDC_*
// id, for LoadCursorW(NULL, MAKEINTRESOURCEW(id))) for what lies under the
// pointer at the last mouse event. A host that finds it sets the cursor from
// it on WM_SETCURSOR; an engine without it leaves the arrow.
#define WKE_GET_CURSOR_NAME "wkeGetCursor"
typedef int(WKE_CALL_TYPE* wkeGetCursorFunction)(wkeWebView webView);
#if defined(WKE_ENGINE_BUILD)
extern "C" __declspec(dllexport) int WKE_CALL_TYPE wkeGetCursor(wkeWebView webView);
#endif

// Optional, outside the client's required API: the window the view is shown
// in, and where its top left corner lies in that window's client area (null
// detaches). The window's DPI sets the view's scale once high-DPI support is
// on; after a DPI change (WM_DPICHANGED) the resize that follows takes up the
// new scale. An engine without it paints at 96 DPI, which the host then
// stretches. The host also hands it the window's WM_GETOBJECT: the answer is
// the page's accessible object for OBJID_CLIENT and 0 for any other object,
// which the window procedure then leaves to DefWindowProc. Once a client has
// asked, the view raises WinEvents for that window (focus, name and value
// changes, live regions). A host whose engine lacks these stays an empty
// pane to screen readers.
#define WKE_SET_HOST_WINDOW_NAME "wkeSetHostWindow"
typedef void(WKE_CALL_TYPE* wkeSetHostWindowFunction)(wkeWebView webView, HWND window, int x, int y);
#define WKE_GET_ACCESSIBLE_OBJECT_NAME "wkeGetAccessibleObject"
typedef LRESULT(WKE_CALL_TYPE* wkeGetAccessibleObjectFunction)(wkeWebView webView, WPARAM wParam, LPARAM lParam);
#if defined(WKE_ENGINE_BUILD)
extern "C" __declspec(dllexport) void WKE_CALL_TYPE wkeSetHostWindow(wkeWebView webView, HWND window, int x, int y);
extern "C" __declspec(dllexport) LRESULT WKE_CALL_TYPE
    wkeGetAccessibleObject(wkeWebView webView, WPARAM wParam, LPARAM lParam);
#endif

// Engine-internal, outside the client's API: the border box of the first
// element that `selector` matches, in device pixels of the view, with every pending
// change styled and laid out first; false when nothing matches or the
// element has no box. The engine's tests and benchmarks find it with
// GetProcAddress; the client never binds it.
#define WKE_QUERY_ELEMENT_RECT_NAME "wkeQueryElementRect"
typedef bool(WKE_CALL_TYPE* wkeQueryElementRectFunction)(wkeWebView webView, const utf8* selector, wkeRect* rect);
#if defined(WKE_ENGINE_BUILD)
extern "C" __declspec(dllexport) bool WKE_CALL_TYPE
    wkeQueryElementRect(wkeWebView webView, const utf8* selector, wkeRect* rect);
#endif

// Engine-internal, outside the client's API: the nodes the view's document
// holds now, attached or detached but not yet reclaimed (-1 for no view).
// The engine's tests and benchmarks find it with GetProcAddress.
#define WKE_QUERY_NODE_COUNT_NAME "wkeQueryNodeCount"
typedef int(WKE_CALL_TYPE* wkeQueryNodeCountFunction)(wkeWebView webView);
#if defined(WKE_ENGINE_BUILD)
extern "C" __declspec(dllexport) int WKE_CALL_TYPE wkeQueryNodeCount(wkeWebView webView);
#endif

// Engine-internal, outside the client's API: what the view's tables and
// caches hold now, one "<owner> <figure>" line each ("document bytes 81234",
// "fonts words 1200"; bytes are the owner's own estimate of its heap
// blocks, without the allocator's overhead), written into `text` (at most
// `size` bytes, the terminating zero included; may be null with 0). Answers
// the length of the whole text without the zero; -1 for no view, or for a
// null `text` with a size. The benchmarks find it with GetProcAddress, to
// put each MiB a long-running page takes with its owner.
#define WKE_QUERY_MEMORY_NAME "wkeQueryMemory"
typedef int(WKE_CALL_TYPE* wkeQueryMemoryFunction)(wkeWebView webView, char* text, int size);
#if defined(WKE_ENGINE_BUILD)
extern "C" __declspec(dllexport) int WKE_CALL_TYPE wkeQueryMemory(wkeWebView webView, char* text, int size);
#endif
