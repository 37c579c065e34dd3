#include "tunnel/proxy_tool.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/utf8.h"
#include "tunnel/sync_pipe.h"
#include "base/module_path.h"
#include "base/process_launch.h"

namespace halyx {
namespace {

// While the tool runs, its standard error is polled this often; the pipe
// cannot be waited on together with the process.
constexpr DWORD kPollMs = 10;

}  // namespace

ProcessHandle LaunchProcess(const std::wstring& path, const std::wstring& args, HANDLE stdErr) {
  LaunchOptions options;
  options.stdError = stdErr;
  // Quoted: unquoted, "C:\Program Files\QuorVPN\bin\sysproxy.exe" would
  // first be tried as "C:\Program.exe", which the elevated client would then
  // run for whoever managed to put it there.
  ProcessHandle process = StartProcess(L"\"" + path + L"\" " + args, options);
  if (!process) {
    PreserveLastError keep;
    spdlog::error("TunnelManager: CreateProcessW failed ({:#x})", keep.code());
  }
  return process;
}

std::wstring ProxyToolPath() { return BesideExecutable(L"bin\\sysproxy.exe"); }

bool RunProxyTool(const std::wstring& toolPath, DWORD timeoutMs) {
  SyncPipe pipe;
  bool capturing = pipe.Create(false, true);
  ProcessHandle process = LaunchProcess(toolPath, L"off", capturing ? pipe.WriteHandle() : nullptr);
  if (!process) return false;
  // Only the tool holds the write end now, so the pipe breaks once it is gone.
  if (capturing) pipe.CloseWrite();

  // Capture and wait together, both within one deadline, looked at on every
  // turn: the tool may block on a full pipe until it is read, and a tool
  // that never exits, keeps its standard error open or writes without end
  // must not hold the GUI thread.
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  std::string captured;  // raw UTF-16LE bytes: a read may split a code unit
  std::size_t discarded = 0;
  std::string chunk;
  bool exited = false;
  for (;;) {
    bool drained = false;
    if (capturing) {
      DWORD available = 0;
      if (!pipe.Available(available)) {
        capturing = false;
      } else if (available > 0) {
        // An empty or one-byte read is no end: only a broken pipe is.
        chunk.clear();
        capturing = pipe.ReadBytes(chunk);
        const std::size_t room = kProxyToolMaxCapture - captured.size();
        captured.append(chunk, 0, std::min(room, chunk.size()));
        discarded += chunk.size() - std::min(room, chunk.size());
        drained = true;
      }
    }
    if (exited && !capturing) break;
    const ULONGLONG now = ::GetTickCount64();
    const DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (remaining == 0) {
      // A tool that has exited but left its standard error to a child of its
      // own has said what it had to say.
      if (exited) break;
      spdlog::error("TunnelManager: sysproxy did not exit within {} ms, terminating it", timeoutMs);
      ::TerminateProcess(process.get(), ERROR_TIMEOUT);
      return false;
    }
    // After a read the pipe may hold more at once; otherwise wait a little.
    const DWORD slice = drained ? 0 : std::min(remaining, kPollMs);
    if (exited) {
      ::Sleep(slice);
      continue;
    }
    const DWORD wait = ::WaitForSingleObject(process.get(), capturing ? slice : remaining);
    if (wait == WAIT_OBJECT_0) {
      exited = true;
    } else if (wait == WAIT_FAILED) {
      spdlog::error("TunnelManager: WaitForSingleObject failed ({:#x})", LastError());
      return false;
    }
  }

  // Read once: the process has ended, so its code is final, even a tool that
  // exits with the value of STILL_ACTIVE.
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) {
    spdlog::error("TunnelManager: GetExitCodeProcess failed ({:#x})", LastError());
    return false;
  }
  if (code != 0) {
    std::wstring text(captured.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), captured.data(), text.size() * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    if (discarded == 0) {
      spdlog::error("TunnelManager: sysproxy failed ({}): {}", code, WideToUtf8(text));
    } else {
      spdlog::error("TunnelManager: sysproxy failed ({}): {} ({} more bytes not kept)", code, WideToUtf8(text),
                    discarded);
    }
    return false;
  }
  return true;
}

bool TurnOffSystemProxy() { return RunProxyTool(ProxyToolPath()); }

}  // namespace halyx
