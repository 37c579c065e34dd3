#include "echo_server.h"

#include <uv.h>

namespace halyx::testing {

namespace {

std::wstring CompanionPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  folder.resize(folder.find_last_of(L"\\/") + 1);
  return folder + L"udp_echo.exe";
}

// One line from the child's output, without its line end; false at the end.
bool ReadLine(HANDLE output, std::string& line) {
  line.clear();
  char c = 0;
  DWORD read = 0;
  while (::ReadFile(output, &c, 1, &read, nullptr) && read == 1) {
    if (c == '\n') return true;
    if (c != '\r') line.push_back(c);
  }
  return false;
}

}  // namespace

EchoServer::EchoServer(const std::vector<std::string>& options) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE childInput = nullptr, inputWriter = nullptr, outputReader = nullptr, childOutput = nullptr;
  if (!::CreatePipe(&childInput, &inputWriter, &inherit, 0)) return;
  FileHandle childInputOwner(childInput);
  input_.reset(inputWriter);
  if (!::CreatePipe(&outputReader, &childOutput, &inherit, 0)) return;
  FileHandle childOutputOwner(childOutput);
  output_.reset(outputReader);
  ::SetHandleInformation(inputWriter, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(outputReader, HANDLE_FLAG_INHERIT, 0);

  std::wstring command = L"\"" + CompanionPath() + L"\"";
  for (const std::string& option : options) command += L" " + std::wstring(option.begin(), option.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return;
  }
  ::CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  // Only the child holds these ends now, so its exit ends our reads.
  childInputOwner.reset();
  childOutputOwner.reset();

  std::vector<int> ports;
  std::string line;
  while (ReadLine(output_.get(), line)) {
    if (line == "ready") {
      ports_ = std::move(ports);
      return;
    }
    ports.push_back(std::stoi(line));
  }
}

EchoServer::~EchoServer() {
  input_.reset();
  if (process_ && ::WaitForSingleObject(process_.get(), 5000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 5000);
  }
}

sockaddr_in EchoServer::Address(std::size_t i) const {
  sockaddr_in address{};
  uv_ip4_addr("127.0.0.1", ports_.at(i), &address);
  return address;
}

}  // namespace halyx::testing
