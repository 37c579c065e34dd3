#include "support/test_pipe_server.h"

#include <atomic>

namespace halyx::testing {

TestPipeServer::TestPipeServer(DWORD instances, DWORD bufferSize) {
  static std::atomic<unsigned> counter{0};
  name_ = R"(\\.\pipe\QuorVPN\test-)" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
  for (DWORD i = 0; i < instances; ++i) {
    instances_.emplace_back(::CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances, bufferSize,
                                               bufferSize, 0, nullptr));
  }
}

bool TestPipeServer::Write(const std::string& bytes, std::size_t i) {
  DWORD written = 0;
  return ::WriteFile(instance(i), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::vector<uint8_t> TestPipeServer::ReadExactly(std::size_t count, std::size_t i) {
  std::vector<uint8_t> bytes(count);
  std::size_t have = 0;
  while (have < count) {
    DWORD read = 0;
    if (!::ReadFile(instance(i), bytes.data() + have, static_cast<DWORD>(count - have), &read, nullptr)) break;
    have += read;
  }
  bytes.resize(have);
  return bytes;
}

DWORD TestPipeServer::Available(std::size_t i) const {
  DWORD available = 0;
  ::PeekNamedPipe(instance(i), nullptr, 0, nullptr, &available, nullptr);
  return available;
}

std::string NextRequest(TestPipeServer& server) {
  for (;;) {
    const auto header = server.ReadExactly(4);
    if (header.size() < 4) return "";
    const auto body = server.ReadExactly(header[0] | header[1] << 8 | header[2] << 16 | header[3] << 24);
    if (std::string(body.begin(), body.end()) != R"({"type":"QueryTunnel"})") return {body.begin(), body.end()};
  }
}

bool WaitSignalled(HANDLE event) { return ::WaitForSingleObject(event, 5000) == WAIT_OBJECT_0; }

}  // namespace halyx::testing
