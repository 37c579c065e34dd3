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

#include "support/companion_process.h"

namespace halyx::testing {

class EchoServer : public CompanionProcess {
 public:
  explicit EchoServer(const std::vector<std::string>& options = {});

  // 127.0.0.1 at the i-th port.
  sockaddr_in Address(std::size_t i = 0) const;
};

}  // namespace halyx::testing
