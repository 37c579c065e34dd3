// Values of the whole process, set by static initialisation before the entry
// point runs, so on the thread that becomes the GUI thread.
//
// Thread: read from any thread; never written after start-up.
#pragma once

#include <windows.h>

namespace halyx {

// The GUI thread: App::RequestQuit posts WM_QUIT to it from other threads.
extern const DWORD MainThreadId;
// "TaskbarCreated": the shell restarted and the tray icon must be added again.
extern const UINT TaskbarCreatedMessage;
// "com.quorvpn.win32.show": broadcast by a second instance to raise the first.
extern const UINT ShowRequestMessage;
// "com.quorvpn.win32.quit": sent by the installer (through a second instance
// started with --quit-running) to end the running instance before its files
// are replaced. User Interface Privilege Isolation keeps it from unelevated
// senders: the tray window lets only TaskbarCreated through.
extern const UINT QuitRequestMessage;
// The Run value of the auto-start registration.
extern const wchar_t* const AutoStartValueName;

}  // namespace halyx
