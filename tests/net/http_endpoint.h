// The HTTP endpoint stand-in (http_endpoint.exe) as a child process, with
// the URLs of its ports and its request figures.
//
//   HttpEndpoint endpoint({"--status", "200"});
//   ASSERT_TRUE(endpoint.ok());
//   HttpClient client(endpoint.Url());
//   EXPECT_EQ(endpoint.Stats().requests, 0);
//
// Thread: the test's thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "support/companion_process.h"

namespace halyx::testing {

class HttpEndpoint : public CompanionProcess {
 public:
  struct Figures {
    int requests = -1;       // -1: the figures could not be read
    int maxConcurrent = -1;
    std::string last;        // the last request's head
  };

  explicit HttpEndpoint(const std::vector<std::string>& options = {});

  // "http://127.0.0.1:<port>" of the i-th port.
  std::string Url(std::size_t i = 0, const std::string& scheme = "http") const;
  uint16_t Port(std::size_t i = 0) const;
  // Asks the stand-in itself (a request that it does not count).
  Figures Stats() const;
};

// A loopback port on which nothing listens (bound once, then released).
uint16_t ClosedPort();

// A plain TCP listener on a loopback ephemeral port that keeps the first
// bytes each client sends and then closes the connection: shows what a
// client opens with (a TLS ClientHello starts 0x16 0x03).
class RawListener {
 public:
  RawListener();
  ~RawListener();
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  uint16_t port() const { return port_; }
  // What the first client sent first; empty before.
  std::string FirstBytes() const;

 private:
  void Serve(SOCKET listening);

  UniqueSocket listener_;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::string firstBytes_;
  std::thread thread_;
};

}  // namespace halyx::testing
