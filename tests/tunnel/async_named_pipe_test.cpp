// The overlapped transport against a real pipe server: one read and one write
// in flight, fixed buffers, and failures that leave their code for the caller.
#include "tunnel/async_named_pipe.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/test_pipe_server.h"
#include "tunnel/frame.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using ::halyx::testing::TestPipeServer;
using ::halyx::testing::WaitSignalled;

// Begins a read and, if it is in flight, waits for it and collects it.
bool ReadOnce(AsyncNamedPipe& pipe, std::vector<uint8_t>& data) {
  switch (pipe.Read(data)) {
    case IoOutcome::kDone:
      return true;
    case IoOutcome::kInFlight:
      return WaitSignalled(pipe.ReadEvent()) && pipe.ReadCompleted(data);
    case IoOutcome::kFailed:
      break;
  }
  return false;
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

TEST(AsyncNamedPipe, OpenMissingPipeFailsWithFileNotFound) {
  LogCapture log;
  AsyncNamedPipe pipe;
  EXPECT_FALSE(pipe.Open(R"(\\.\pipe\QuorVPN\no-such-pipe)"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(log.Has(spdlog::level::err, "AsyncNamedPipe: CreateFile failed (0x2)"));
  EXPECT_FALSE(pipe.IsOpen());
  EXPECT_EQ(pipe.ReadEvent(), nullptr);
}

TEST(AsyncNamedPipe, OpenBusyPipeFailsWithPipeBusy) {
  TestPipeServer server(1);
  AsyncNamedPipe first;
  ASSERT_TRUE(first.Open(server.name()));
  LogCapture log;
  AsyncNamedPipe second;
  EXPECT_FALSE(second.Open(server.name()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
  EXPECT_TRUE(log.Has(spdlog::level::err, "AsyncNamedPipe: CreateFile failed (0xe7)"));
}

TEST(AsyncNamedPipe, OneReadYieldsAtMost4096Bytes) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  ASSERT_NE(pipe.ReadEvent(), pipe.WriteEvent());
  const std::string sent = Pattern(10000);
  ASSERT_TRUE(server.Write(sent));

  std::string received;
  std::vector<std::size_t> sizes;
  while (received.size() < sent.size()) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(ReadOnce(pipe, data));
    sizes.push_back(data.size());
    received.append(data.begin(), data.end());
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4096, 4096, 1808}));
  EXPECT_EQ(received, sent);
}

TEST(AsyncNamedPipe, ReadInFlightCompletesWhenTheServerWrites) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  std::vector<uint8_t> data{1, 2, 3};
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  EXPECT_EQ(pipe.Read(data), IoOutcome::kInFlight);  // the one read is already out
  EXPECT_EQ(::WaitForSingleObject(pipe.ReadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(server.Write("pong"));
  ASSERT_TRUE(WaitSignalled(pipe.ReadEvent()));
  ASSERT_TRUE(pipe.ReadCompleted(data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "pong");
}

TEST(AsyncNamedPipe, WriteTakesUpTo65536BytesAndRefusesMore) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));

  // The largest frame: a 65532-byte payload behind its 4-byte length.
  const auto largest = BuildFrame(Pattern(65532));
  const IoOutcome outcome = pipe.Write(largest.data(), largest.size());
  ASSERT_NE(outcome, IoOutcome::kFailed);
  EXPECT_EQ(server.ReadExactly(largest.size()), largest);
  if (outcome == IoOutcome::kInFlight) {
    ASSERT_TRUE(WaitSignalled(pipe.WriteEvent()));
    EXPECT_TRUE(pipe.WriteCompleted());
  }

  LogCapture log;
  const auto tooLarge = BuildFrame(Pattern(65533));
  ::SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(pipe.Write(tooLarge.data(), tooLarge.size()), IoOutcome::kFailed);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(log.Has(spdlog::level::err, "AsyncNamedPipe: write buffer is too small (65536), expect 65537"));
  EXPECT_EQ(server.Available(), 0u);

  // Nothing is left in flight: the next frame goes out whole.
  const auto next = BuildFrame(R"({"type":"QueryTunnel"})");
  ASSERT_NE(pipe.Write(next.data(), next.size()), IoOutcome::kFailed);
  EXPECT_EQ(server.ReadExactly(next.size()), next);
}

TEST(AsyncNamedPipe, WriteWhileOneIsInFlightSendsNothing) {
  // A small pipe buffer and a server that does not read keep the first write
  // in flight.
  TestPipeServer server(1, 1024);
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  const std::string first = Pattern(65536);
  ASSERT_EQ(pipe.Write(first.data(), first.size()), IoOutcome::kInFlight);
  EXPECT_EQ(pipe.Write("second", 6), IoOutcome::kInFlight);

  const auto received = server.ReadExactly(first.size());
  EXPECT_EQ(std::string(received.begin(), received.end()), first);
  ASSERT_TRUE(WaitSignalled(pipe.WriteEvent()));
  EXPECT_TRUE(pipe.WriteCompleted());
  EXPECT_EQ(server.Available(), 0u);
}

TEST(AsyncNamedPipe, CollectingWithNothingInFlightFailsQuietly) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  LogCapture log;
  std::vector<uint8_t> data{7};
  EXPECT_FALSE(pipe.ReadCompleted(data));
  EXPECT_FALSE(pipe.WriteCompleted());
  EXPECT_EQ(data, std::vector<uint8_t>{7});
  EXPECT_TRUE(log.Has(spdlog::level::debug, "AsyncNamedPipe: ReadCompleted called with no read pending"));
  EXPECT_TRUE(log.Has(spdlog::level::debug, "AsyncNamedPipe: WriteCompleted called with no write pending"));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::info), 0u);
}

TEST(AsyncNamedPipe, ServerGoingAwayFailsTheReadWithBrokenPipe) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  std::vector<uint8_t> data;
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  LogCapture log;
  server.CloseInstance();
  ASSERT_TRUE(WaitSignalled(pipe.ReadEvent()));
  EXPECT_FALSE(pipe.ReadCompleted(data));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_TRUE(log.Has(spdlog::level::err, "AsyncNamedPipe: GetOverlappedResult failed (0x6d)"));
  // The read is no longer in flight, so a new one may begin (and fails too).
  EXPECT_EQ(pipe.Read(data), IoOutcome::kFailed);
}

TEST(AsyncNamedPipe, CloseCancelsWhatIsInFlightAndAllowsReopening) {
  TestPipeServer server(2, 1024);
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  std::vector<uint8_t> data;
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  const std::string big = Pattern(65536);
  ASSERT_EQ(pipe.Write(big.data(), big.size()), IoOutcome::kInFlight);

  LogCapture log;
  pipe.Close();
  EXPECT_FALSE(pipe.IsOpen());
  EXPECT_EQ(pipe.ReadEvent(), nullptr);
  EXPECT_EQ(pipe.WriteEvent(), nullptr);
  pipe.Close();
  EXPECT_EQ(log.CountAtLeast(spdlog::level::info), 0u);
  // The old connection is gone for the server as well.
  EXPECT_FALSE(server.Write("late"));

  // Writing on a closed pipe fails with the handle error the client treats as
  // a lost connection.
  EXPECT_EQ(pipe.Write("x", 1), IoOutcome::kFailed);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  ASSERT_TRUE(pipe.Open(server.name()));  // the second instance
  ASSERT_TRUE(server.Write("again", 1));
  ASSERT_TRUE(ReadOnce(pipe, data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "again");
}

}  // namespace
}  // namespace halyx
