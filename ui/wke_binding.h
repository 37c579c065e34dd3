// Run-time binding of the browser engine "wke.dll".
//
// The client does not link the engine. wkeInitialize() loads "wke.dll" from
// the executable's own folder (never through the DLL search path: an
// elevated process must not pick up a planted copy from the current folder or
// PATH), resolves every function of WKE_API_FUNCTIONS into the pointer of the
// same name below, and then initialises the engine. A name the DLL lacks shows
// a "wke api not found" message box captioned with the name; since every bound
// function is one the client calls, any missing name fails the binding and
// every pointer stays null, so nothing is ever called through a null pointer.
//
//   if (!wkeInitialize()) return false;   // GetLastError() says why
//   wkeView = wkeCreateWebView();
//
// Thread: GUI thread (the engine's thread is the one that binds it).
#pragma once

#include <string>

#include "engine/wke.h"

#define WKE_DECLARE_POINTER(ret, name, params) extern ret(WKE_CALL_TYPE* name) params;
WKE_API_FUNCTIONS(WKE_DECLARE_POINTER)
#undef WKE_DECLARE_POINTER

// Binds "wke.dll" beside the executable and calls wkeInitializeEx(NULL).
// True when bound (also when it was bound before); false when the DLL cannot
// be loaded (no message box) or lacks names (one box per name; last error
// ERROR_PROC_NOT_FOUND).
bool wkeInitialize();

namespace halyx {

// The binding itself, from a DLL at a full path; wkeInitialize() passes the
// engine beside the executable.
bool BindWkeEngine(const std::wstring& dll_path);

// The engine's optional cursor query, once bound; null when the engine has
// none (the window then keeps its arrow).
wkeGetCursorFunction WkeGetCursor();
// The engine's optional host-window setter and accessibility entry point,
// once bound; null when the engine has none (its views then paint at 96 DPI,
// which Windows stretches, and the window is an empty pane to screen
// readers).
wkeSetHostWindowFunction WkeSetHostWindow();
wkeGetAccessibleObjectFunction WkeGetAccessibleObject();

}  // namespace halyx
