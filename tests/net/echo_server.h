// The UDP echo stand-in (udp_echo.exe, beside the test executable) as a
// child process: started with its options, its ports read back, ended when
// the object goes (its input is closed, and it is killed if it lingers).
//
//   EchoServer echo({"--delay-ms", "20"});
//   ASSERT_TRUE(echo.ok());
//   sockaddr_in target = echo.Address();
//
// Thread: the test's thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"

namespace halyx::testing {

class EchoServer {
 public:
  explicit EchoServer(const std::vector<std::string>& options = {});
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool ok() const { return !ports_.empty(); }
  const std::vector<int>& ports() const { return ports_; }
  // 127.0.0.1 at the i-th port.
  sockaddr_in Address(std::size_t i = 0) const;

 private:
  FileHandle input_;   // our end of its standard input
  FileHandle output_;  // our end of its standard output
  ThreadHandle process_;
  std::vector<int> ports_;
};

}  // namespace halyx::testing
