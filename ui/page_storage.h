// Where a page view keeps its cookies and local storage: one folder per
// user, "<local application data>\QuorVPN\", shared by every window, holding
// "cookies.dat" and "LocalStorage\".
//
//   ApplyPageStorage(view, "MainWindowController");
//
// A failure is logged with the caller's prefix; the view then keeps the
// engine's defaults (known folder missing) or the paths inside a folder that
// could not be created (the engine creates what it needs on its own).
//
// Thread: GUI thread.
#pragma once

#include "ui/wke_binding.h"

namespace halyx {

void ApplyPageStorage(wkeWebView view, const char* logPrefix);

}  // namespace halyx
