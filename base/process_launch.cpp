#include "base/process_launch.h"

namespace halyx {

ProcessHandle StartProcess(std::wstring commandLine, const LaunchOptions& options) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  const bool redirect = options.stdInput || options.stdOutput || options.stdError;
  if (redirect) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = options.stdInput ? options.stdInput : ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = options.stdOutput ? options.stdOutput : ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = options.stdError ? options.stdError : ::GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info{};
  // CreateProcessW may write into the command line, so it gets our copy.
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, redirect ? TRUE : FALSE, options.creationFlags,
                        nullptr, nullptr, &startup, &info)) {
    return ProcessHandle();
  }
  ThreadHandle thread(info.hThread);
  return ProcessHandle(info.hProcess);
}

}  // namespace halyx
