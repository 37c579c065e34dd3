// Runs the system proxy tool, "bin\sysproxy.exe" beside the executable, with
// the argument "off" before each tunnel start, and reports its outcome.
//
// The tool's standard error is captured (UTF-16LE) so that a failure is
// logged in the tool's own words, at most kProxyToolMaxCapture bytes of it;
// its exit code decides: 0 is success. The run is bounded: a tool that has
// not exited within the timeout (however much it writes meanwhile) is
// terminated and counts as a failure, so it cannot hold the GUI thread.
//
// Thread: GUI thread (blocks it while the tool runs).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "base/unique_handle.h"

namespace halyx {

constexpr DWORD kProxyToolTimeoutMs = 10000;
// Standard error kept for the log line; the rest is drained and counted.
constexpr std::size_t kProxyToolMaxCapture = 64 * 1024;

// Starts "\"`path`\" `args`" without a window. With `stdErr`,
// the child inherits handles and gets `stdErr` as standard error and this
// process's standard input and output. Null, after one error line, when the
// process cannot be created.
ProcessHandle LaunchProcess(const std::wstring& path, const std::wstring& args, HANDLE stdErr = nullptr);

// "<folder of the executable>\bin\sysproxy.exe".
std::wstring ProxyToolPath();

// Runs `toolPath` with "off", captures its standard error and waits at most
// `timeoutMs` for it. True when it exited with 0.
bool RunProxyTool(const std::wstring& toolPath, DWORD timeoutMs = kProxyToolTimeoutMs);

// RunProxyTool(ProxyToolPath()).
bool TurnOffSystemProxy();

}  // namespace halyx
