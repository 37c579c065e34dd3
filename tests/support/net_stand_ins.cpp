#include "support/net_stand_ins.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

double NowMs() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// A UDP socket aimed at the stand-in's first port, waiting at most a second.
UniqueSocket EchoSocket(const EchoServer& echo, sockaddr_in& to) {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);  // balanced by nothing: the process keeps Winsock
  UniqueSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  const DWORD timeoutMs = 1000;
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
  to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(echo.Port());
  return socket;
}

}  // namespace

EchoServer::Figures EchoServer::Stats() const {
  sockaddr_in to;
  UniqueSocket socket = EchoSocket(*this, to);
  Figures figures;
  if (::sendto(socket.get(), "STATS", 5, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 5) return figures;
  char answer[128] = {};
  if (::recv(socket.get(), answer, sizeof(answer) - 1, 0) <= 0) return figures;
  std::sscanf(answer, "received %lld answered %lld", &figures.received, &figures.answered);
  return figures;
}

std::pair<double, double> EchoServer::BareRoundTripMs(int rounds) const {
  sockaddr_in to;
  UniqueSocket socket = EchoSocket(*this, to);
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const double begin = NowMs();
    char probe[8] = {};
    std::memcpy(probe, &begin, sizeof(probe));
    if (::sendto(socket.get(), probe, sizeof(probe), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 8 ||
        ::recv(socket.get(), probe, sizeof(probe), 0) != 8) {
      return {-1.0, -1.0};
    }
    samples.push_back(NowMs() - begin);
  }
  if (samples.empty()) return {-1.0, -1.0};
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (double sample : samples) sum += sample;
  return {sum / static_cast<double>(samples.size()), samples[samples.size() / 2]};
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
