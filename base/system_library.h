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

}  // namespace halyx
