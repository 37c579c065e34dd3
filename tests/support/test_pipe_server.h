// The server end of a real named pipe with a name of its own, for tests of
// pipe clients. Its instances are created listening, so a client connects
// without a server thread; the server side then reads and writes blocking.
//
//   TestPipeServer server;
//   AsyncNamedPipe pipe;
//   ASSERT_TRUE(pipe.Open(server.name()));
//   server.Write("hello");
//
// Thread: the test's thread (blocking calls may run on a helper thread).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace halyx::testing {

class TestPipeServer {
 public:
  // `instances` listening instances, each with in and out buffers of
  // `bufferSize` bytes.
  explicit TestPipeServer(DWORD instances = 1, DWORD bufferSize = 65536);

  const std::string& name() const { return name_; }
  HANDLE instance(std::size_t i = 0) const { return instances_.at(i).get(); }

  bool Write(const std::string& bytes, std::size_t i = 0);
  // Blocks until `count` bytes arrived on instance `i` (or the pipe broke).
  std::vector<uint8_t> ReadExactly(std::size_t count, std::size_t i = 0);
  // Bytes waiting to be read on instance `i`.
  DWORD Available(std::size_t i = 0) const;
  void CloseInstance(std::size_t i = 0) { instances_.at(i).reset(); }

 private:
  std::string name_;
  std::vector<FileHandle> instances_;
};

// The next request a tunnel manager wrote to instance 0 of `server` (a
// little-endian length, then the JSON), its state polls skipped; empty when
// the pipe broke first.
std::string NextRequest(TestPipeServer& server);

// Waits up to five seconds for `event`.
bool WaitSignalled(HANDLE event);

}  // namespace halyx::testing
