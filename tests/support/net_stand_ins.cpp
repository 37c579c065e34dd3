#include "support/net_stand_ins.h"

#include <nlohmann/json.hpp>

#include "net/http_client.h"

namespace halyx::testing {

HttpEndpoint::Figures HttpEndpoint::Stats() const {
  HttpClient client(Url() + "/stats");
  Figures figures;
  if (!client.Request(L"GET")) return figures;
  const std::wstring& body = client.body();
  const auto parsed = nlohmann::json::parse(std::string(body.begin(), body.end()), nullptr, false);
  if (!parsed.is_object()) return figures;
  figures.requests = parsed.value("requests", -1);
  figures.maxConcurrent = parsed.value("maxConcurrent", -1);
  figures.last = parsed.value("last", "");
  return figures;
}

bool HttpEndpoint::WaitForRequests(int count, DWORD timeoutMs) const {
  const DWORD begin = ::GetTickCount();
  while (Stats().requests < count) {
    if (::GetTickCount() - begin > timeoutMs) return false;
    ::Sleep(20);
  }
  return true;
}

namespace {

// A loopback socket bound to an ephemeral port, and that port.
UniqueSocket BindLoopback(uint16_t& port) {
  // libuv has not always started Winsock in the processes that call this.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  UniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  int length = sizeof(address);
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return UniqueSocket();
  }
  port = ntohs(address.sin_port);
  return socket;
}

}  // namespace

uint16_t ClosedPort() {
  uint16_t port = 0;
  BindLoopback(port);
  return port;
}

RawListener::RawListener() : listener_(BindLoopback(port_)) {
  if (!listener_ || ::listen(listener_.get(), 8) != 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this, listening = listener_.get()] {
    for (;;) {
      UniqueSocket client(::accept(listening, nullptr, nullptr));
      if (!client) return;
      char buffer[512];
      const int received = ::recv(client.get(), buffer, sizeof(buffer), 0);
      std::lock_guard<std::mutex> lock(mutex_);
      if (received > 0 && firstBytes_.empty()) firstBytes_.assign(buffer, std::size_t(received));
    }
  });
}

RawListener::~RawListener() {
  // Closing the listening socket ends a pending accept.
  listener_.reset();
  if (thread_.joinable()) thread_.join();
}

std::string RawListener::FirstBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstBytes_;
}

}  // namespace halyx::testing
