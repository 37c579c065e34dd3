// Opens a document or URL as the desktop's user would, not as this process.
//
// The client runs elevated. ShellExecute from this process would start the
// browser elevated too, and would look the URL's scheme up in the user's
// own classes (HKCU\Software\Classes), which any program of the user may
// write without elevation: a handler registered there for https would run
// as administrator, without a prompt, on the next click. The desktop's shell
// dispatch object lives in Explorer's process, which runs with the user's
// ordinary token, so its ShellExecute starts whatever the handler is at that
// level:
//
//   IShellWindows::FindWindowSW(SWC_DESKTOP) -> IShellBrowser ->
//   IShellView (background) -> IShellFolderViewDual -> IShellDispatch2
//
//   if (!OpenAsDesktopUser(L"https://www.quorvpn.com/")) { /* logged */ }
//
// Where no desktop shell answers (Explorer not running, another shell), the
// target is opened by this process only when this process is not elevated,
// so it has no more rights than the desktop would; an elevated process
// refuses with one warning. It never falls back to ShellExecute as
// administrator.
//
// Callers check what they pass: the desktop runs any program or document.
//
// Thread: any. COM is initialised for the call where the thread has not done
// it already.
#pragma once

#include <windows.h>

#include <string>

namespace halyx {

// Hands `target` to the desktop's shell ("open", shown normally). False
// after one warning when neither route may or can take it. The shell starts
// the target asynchronously; a target it then cannot open is its own error
// dialog, not a failure here.
bool OpenAsDesktopUser(const std::wstring& target);

// The desktop route alone: S_OK once Explorer's ShellExecute accepted the
// target, S_FALSE when no desktop shell window is registered, a failing
// HRESULT when a step of the route failed. Nothing is logged.
HRESULT OpenThroughDesktopShell(const std::wstring& target);

// Whether this process's token is elevated; true when the token cannot be
// read, so that an unknown token is treated as the more privileged one.
bool ProcessIsElevated();

}  // namespace halyx
