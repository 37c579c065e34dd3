// A companion program (beside the test executable) run as a child process:
// started with its options, the ports it prints before "ready" read back,
// ended when the object goes (its input is closed, and it is killed if it
// lingers).
//
//   CompanionProcess endpoint("http_endpoint.exe", {"--status", "200"});
//   ASSERT_TRUE(endpoint.ok());
//   int port = endpoint.ports()[0];
//
// Options are quoted, so an empty one ("") reaches the child as such.
//
// Thread: the test's thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace halyx::testing {

class CompanionProcess {
 public:
  CompanionProcess(const std::wstring& program, const std::vector<std::string>& options);
  ~CompanionProcess();
  CompanionProcess(const CompanionProcess&) = delete;
  CompanionProcess& operator=(const CompanionProcess&) = delete;

  // True once the child said "ready".
  bool ok() const { return ready_; }
  const std::vector<int>& ports() const { return ports_; }

 private:
  FileHandle input_;   // our end of its standard input
  FileHandle output_;  // our end of its standard output
  ThreadHandle process_;
  std::vector<int> ports_;
  bool ready_ = false;
};

}  // namespace halyx::testing
