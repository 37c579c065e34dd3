// Where a page view keeps its cookies and local storage: the user's own
// protected folder (base/user_data_folder.h), shared by every window,
// holding "cookies.dat" and "LocalStorage\". Not the user's application-data
// folder, where an unelevated program of the same user could plant the links
// that make the elevated engine overwrite other files.
//
//   ApplyPageStorage(view, "MainWindowController");
//
// A failure is logged with the caller's prefix; the view then keeps the
// engine's defaults (storage kept in memory only, nothing written).
//
// Thread: GUI thread.
#pragma once

#include "base/user_data_folder.h"
#include "ui/wke_binding.h"

namespace halyx {

void ApplyPageStorage(wkeWebView view, const char* logPrefix,
                      const UserDataFolder::Settings& folders = UserDataFolder::Settings());

}  // namespace halyx
