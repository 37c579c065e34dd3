// The client's delay-load hook: the DLLs that cmake/delay_imports.cmake
// makes delay-loaded (none of them a known DLL) come from the system folder
// by full path, never through a search.
//
// wWinMain has restricted the search to the system folder before anything
// can reach one of them; this hook makes it independent of that, and of a
// Windows 7 without SetDefaultDllDirectories (KB2533623), where a bare name
// would be looked for beside the executable first.
#include <windows.h>
#include <delayimp.h>

#include <string>

#include "base/system_library.h"

namespace {

FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
  // DLL names in an import table are ASCII.
  std::wstring name;
  for (const char* c = info->szDll; *c != '\0'; ++c) name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  // Null (not in the system folder) leaves the load to the helper, whose
  // LoadLibraryA then searches the system folder alone, as wWinMain set it.
  return reinterpret_cast<FARPROC>(halyx::LoadSystemLibrary(name.c_str()).release());
}

}  // namespace

// The helper (MinGW's __delayLoadHelper2) calls this before each load.
extern "C" PfnDliHook __pfnDliNotifyHook2;
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
