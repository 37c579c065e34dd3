// The measurements' outside world on loopback: the UDP echo and HTTP endpoint
// stand-ins as child processes, a closed port, and a raw TCP listener.
// Thread: the test's thread.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/unique_handle.h"
#include "support/companion_process.h"

namespace halyx::testing {

class EchoServer : public CompanionProcess {
 public:
  struct Figures {
    long long received = -1;  // -1: the figures could not be read
    long long answered = -1;
  };

  explicit EchoServer(const std::vector<std::string>& options = {}) : CompanionProcess(L"udp_echo.exe", options) {}
  uint16_t Port(std::size_t i = 0) const { return static_cast<uint16_t>(ports().at(i)); }
  // Asks the stand-in (IPv4 only) what it received and answered so far.
  Figures Stats() const;
  // Mean and median of `rounds` plain round trips, one at a time, from a
  // blocking socket, in milliseconds; negative when an echo did not come.
  std::pair<double, double> BareRoundTripMs(int rounds) const;
};

class HttpEndpoint : public CompanionProcess {
 public:
  struct Figures {
    int requests = -1;  // -1: the figures could not be read
    int maxConcurrent = -1;
    std::string last;  // the last request's head
  };

  explicit HttpEndpoint(const std::vector<std::string>& options = {})
      : CompanionProcess(L"http_endpoint.exe", options) {}
  uint16_t Port(std::size_t i = 0) const { return static_cast<uint16_t>(ports().at(i)); }
  std::string Url(std::size_t i = 0) const { return "http://127.0.0.1:" + std::to_string(Port(i)); }
  // Asks the stand-in itself (a request that it does not count).
  Figures Stats() const;
  // Polls Stats until `count` requests have come in.
  bool WaitForRequests(int count, DWORD timeoutMs) const;
};

// A loopback port on which nothing listens (bound once, then released).
uint16_t ClosedPort();

// Keeps the first bytes the first client sends, then closes each connection
// (a TLS ClientHello starts 0x16 0x03).
class RawListener {
 public:
  RawListener();
  ~RawListener();
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  uint16_t port() const { return port_; }
  std::string FirstBytes() const;

 private:
  uint16_t port_ = 0;  // before listener_, which sets it
  UniqueSocket listener_;
  mutable std::mutex mutex_;
  std::string firstBytes_;
  std::thread thread_;
};

}  // namespace halyx::testing
