// Loads a DLL of Windows itself, from the system folder only.
//
// The client runs elevated, so a DLL named by its bare name must never be
// looked for where someone else may write: the application folder, the
// current folder, the DLL directory or PATH. Without the safe search order
// (or with a DLL directory set) LoadLibraryW would take a planted copy from
// any of them first. The full path of the system folder leaves no search.
//
//   ModuleHandle shcore = LoadSystemLibrary(L"shcore.dll");
//   if (!shcore) { /* absent on this system (logged at debug level) */ }
//
// Thread: any.
#pragma once

#include <windows.h>

#include "base/unique_handle.h"

namespace halyx {

// `name` is a bare file name ("shcore.dll"); anything with a path separator
// is refused.
ModuleHandle LoadSystemLibrary(const wchar_t* name);

// For the rest of the process, a DLL loaded by name (LoadLibrary, the
// delay-load helper, the imports of DLLs loaded later) is looked for in the
// system folder only: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32),
// the safe search mode made permanent, and the DLL directory cleared of the
// current folder (SetDllDirectoryW(L"")). Called first thing in wWinMain.
// False, with the first failing call's error in `error`, when any step
// failed; the others are still made. Nothing is logged (the log is not open
// yet).
bool RestrictDllSearch(DWORD& error);

}  // namespace halyx
