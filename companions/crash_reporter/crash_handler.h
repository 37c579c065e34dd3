// The crash reporter's one job: when an exception reaches the top of any
// thread unhandled, write a minidump of the process into a folder, then let
// the process end with the exception's code. Nothing is sent anywhere.
//
//   if (!CrashHandler::Install(L"C:\\...\\minidumps", "quorvpn-win32@" QUOR_VERSION)) { ... }
//   ...
//   CrashHandler::Uninstall();   // the previous filter is back
//
// The dump is written by a thread of its own, started at Install and waiting
// for a crash: the crashing thread may have no stack left (a stack overflow)
// or hold the heap's lock, so it only hands over its exception and waits.
// Each dump is named "crash-<UTC date>-<UTC time>-<process id>.dmp"; it is
// written under a ".part" name and renamed through its handle once complete,
// so a ".dmp" file is always a whole dump. The program is elevated: the
// folder is made or checked as a protected one (base/protected_folder.h) and
// the file is opened without following links, so nothing planted in the
// folder is written through. The release text goes into the dump's comment stream.
//
// Thread: Install and Uninstall on one thread at a time (the client's GUI
// thread); the filter runs on whichever thread crashed.
#pragma once

#include <string>

namespace halyx::crash {

class CrashHandler {
 public:
  // Creates `folder` (and its missing parents) as protected folders, or
  // checks the existing one, loads dbghelp from the
  // system folder, starts the writer thread and installs the filter. False,
  // with nothing installed, when a step fails. Installing again replaces the
  // earlier installation.
  static bool Install(const std::wstring& folder, const std::string& release);
  // Puts the filter that was there before Install back and stops the writer
  // thread. Does nothing when not installed.
  static void Uninstall();
};

}  // namespace halyx::crash
