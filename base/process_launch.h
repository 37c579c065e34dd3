// Starting a child process and owning only what is needed of it.
//
//   LaunchOptions options;
//   options.stdError = pipe.WriteHandle();
//   ProcessHandle tool = StartProcess(L"\"" + path + L"\" off", options);
//
// Thread: any.
#pragma once

#include <windows.h>

#include <string>

#include "base/unique_handle.h"

namespace halyx {

struct LaunchOptions {
  // Standard handles of the child; a null one is this process's own. When
  // any is set the child inherits inheritable handles, so those three must
  // be inheritable; otherwise it inherits none (a child holding a test's
  // output pipe open would keep CTest waiting).
  HANDLE stdInput = nullptr;
  HANDLE stdOutput = nullptr;
  HANDLE stdError = nullptr;
  DWORD creationFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
};

// Starts `commandLine` (quote the program's path yourself when it may hold
// spaces). The thread handle is closed at once. Null on failure, with
// CreateProcessW's error left in the thread's last error; nothing is logged,
// callers write their own line.
ProcessHandle StartProcess(std::wstring commandLine, const LaunchOptions& options = {});

}  // namespace halyx
