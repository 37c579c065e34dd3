#include "echo_server.h"

#include <uv.h>

namespace halyx::testing {

EchoServer::EchoServer(const std::vector<std::string>& options)
    : CompanionProcess(L"udp_echo.exe", options) {}

sockaddr_in EchoServer::Address(std::size_t i) const {
  sockaddr_in address{};
  uv_ip4_addr("127.0.0.1", ports().at(i), &address);
  return address;
}

}  // namespace halyx::testing
