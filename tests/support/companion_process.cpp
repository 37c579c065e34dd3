#include "support/companion_process.h"

#include "base/module_path.h"
#include "base/process_launch.h"

namespace halyx::testing {

namespace {

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

// Options are plain ASCII words or empty; none holds a quote.
std::wstring Quoted(const std::string& option) { return L"\"" + std::wstring(option.begin(), option.end()) + L"\""; }

}  // namespace

CompanionProcess::CompanionProcess(const std::wstring& program, const std::vector<std::string>& options) {
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

  std::wstring command = L"\"" + BesideExecutable(program) + L"\"";
  for (const std::string& option : options) command += L" " + Quoted(option);
  LaunchOptions launch;
  launch.stdInput = childInput;
  launch.stdOutput = childOutput;
  launch.creationFlags = 0;
  process_ = StartProcess(command, launch);
  if (!process_) return;
  // Only the child holds these ends now, so its exit ends our reads.
  childInputOwner.reset();
  childOutputOwner.reset();

  std::string line;
  while (ReadLine(output_.get(), line)) {
    if (line == "ready") {
      ready_ = true;
      return;
    }
    ports_.push_back(std::stoi(line));
  }
  ports_.clear();
}

CompanionProcess::~CompanionProcess() {
  input_.reset();
  if (process_ && ::WaitForSingleObject(process_.get(), 5000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 5000);
  }
}

}  // namespace halyx::testing
