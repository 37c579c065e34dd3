#include "http_endpoint.h"

#include <winsock2.h>

#include <nlohmann/json.hpp>

#include "net/http_client.h"
#include "platform/win32/unique_handle.h"

namespace halyx::testing {

HttpEndpoint::HttpEndpoint(const std::vector<std::string>& options)
    : CompanionProcess(L"http_endpoint.exe", options) {}

std::string HttpEndpoint::Url(std::size_t i, const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(Port(i));
}

uint16_t HttpEndpoint::Port(std::size_t i) const { return static_cast<uint16_t>(ports().at(i)); }

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

namespace {

sockaddr_in LoopbackAny() {
  // libuv has not always started Winsock in the processes that call this.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

uint16_t BoundPort(SOCKET socket) {
  sockaddr_in address{};
  int length = sizeof(address);
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace

uint16_t ClosedPort() {
  sockaddr_in address = LoopbackAny();
  UniqueSocket probe(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 0;
  return BoundPort(probe.get());
}

RawListener::RawListener() {
  sockaddr_in address = LoopbackAny();
  listener_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_.get(), 8) != 0) {
    listener_.reset();
    return;
  }
  port_ = BoundPort(listener_.get());
  thread_ = std::thread([this, listening = listener_.get()] { Serve(listening); });
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

void RawListener::Serve(SOCKET listening) {
  for (;;) {
    UniqueSocket client(::accept(listening, nullptr, nullptr));
    if (!client) return;
    char buffer[512];
    const int received = ::recv(client.get(), buffer, sizeof(buffer), 0);
    if (received > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (firstBytes_.empty()) firstBytes_.assign(buffer, static_cast<std::size_t>(received));
    }
  }
}

}  // namespace halyx::testing
