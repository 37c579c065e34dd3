// The overlapped transport against a real pipe server: one read and one write
// in flight, fixed buffers, and failures that leave their code for the caller.
#include "tunnel/async_named_pipe.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "support/log_capture.h"
#include "support/test_pipe_server.h"
#include "tunnel/frame.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

// Begins a read and, if it is in flight, waits for it and collects it.
bool ReadOnce(AsyncNamedPipe& pipe, std::vector<uint8_t>& data) {
  const IoOutcome outcome = pipe.Read(data);
  return outcome == IoOutcome::kDone ||
         (outcome == IoOutcome::kInFlight && WaitSignalled(pipe.ReadEvent()) && pipe.ReadCompleted(data));
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    ::Sleep(10);
  }
  return false;
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

TEST(AsyncNamedPipe, OpenFailuresLeaveTheirCode) {
  TestPipeServer server(1);
  AsyncNamedPipe first;
  ASSERT_TRUE(first.Open(server.name()));
  for (const auto& [name, code] :
       {std::pair<std::string, DWORD>{R"(\\.\pipe\QuorVPN\no-such-pipe)", ERROR_FILE_NOT_FOUND},
        {server.name(), ERROR_PIPE_BUSY}}) {
    LogCapture log;
    AsyncNamedPipe pipe;
    EXPECT_FALSE(pipe.Open(name));
    EXPECT_EQ(::GetLastError(), code);
    EXPECT_TRUE(log.Has(spdlog::level::err, fmt::format("AsyncNamedPipe: CreateFile failed ({:#x})", code)));
    EXPECT_FALSE(pipe.IsOpen());
    EXPECT_EQ(pipe.ReadEvent(), nullptr);
  }
}

TEST(AsyncNamedPipe, OneReadIsInFlightAndYieldsAtMost4096Bytes) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  ASSERT_NE(pipe.ReadEvent(), pipe.WriteEvent());
  std::vector<uint8_t> data{1, 2, 3};
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  EXPECT_EQ(pipe.Read(data), IoOutcome::kInFlight);  // the one read is already out
  EXPECT_EQ(::WaitForSingleObject(pipe.ReadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  const std::string sent = Pattern(10000);
  ASSERT_TRUE(server.Write(sent));
  ASSERT_TRUE(WaitSignalled(pipe.ReadEvent()));
  ASSERT_TRUE(pipe.ReadCompleted(data));
  std::string received(data.begin(), data.end());
  std::vector<std::size_t> sizes{data.size()};
  while (received.size() < sent.size()) {
    ASSERT_TRUE(ReadOnce(pipe, data));
    sizes.push_back(data.size());
    received.append(data.begin(), data.end());
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4096, 4096, 1808}));
  EXPECT_EQ(received, sent);
}

TEST(AsyncNamedPipe, WriteTakesUpTo65536BytesAndRefusesMore) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
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

// A small pipe buffer and a server that does not read keep the first write
// in flight; a second write meanwhile sends nothing.
TEST(AsyncNamedPipe, WriteWhileOneIsInFlightSendsNothing) {
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

// Close cancels what is in flight, quietly, and the pipe may be reopened;
// collecting with nothing in flight fails without touching the data.
TEST(AsyncNamedPipe, CloseCancelsWhatIsInFlightAndAllowsReopening) {
  TestPipeServer server(2, 1024);
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  std::vector<uint8_t> data{7};
  LogCapture quiet;
  EXPECT_FALSE(pipe.ReadCompleted(data));
  EXPECT_FALSE(pipe.WriteCompleted());
  EXPECT_EQ(data, std::vector<uint8_t>{7});
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  const std::string big = Pattern(65536);
  ASSERT_EQ(pipe.Write(big.data(), big.size()), IoOutcome::kInFlight);
  pipe.Close();
  EXPECT_FALSE(pipe.IsOpen());
  EXPECT_EQ(pipe.WriteEvent(), nullptr);
  pipe.Close();
  EXPECT_EQ(quiet.CountAtLeast(spdlog::level::info), 0u);
  EXPECT_FALSE(server.Write("late"));  // gone for the server as well
  // The handle error the client treats as a lost connection.
  EXPECT_EQ(pipe.Write("x", 1), IoOutcome::kFailed);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  ASSERT_TRUE(pipe.Open(server.name()));
  ASSERT_TRUE(server.Write("again", 1));
  ASSERT_TRUE(ReadOnce(pipe, data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "again");
}

// Once Close returns, the system has finished with every operation it
// cancelled: the buffers may be reused or freed at once.
TEST(AsyncNamedPipe, CloseReturnsOnlyOnceCancelledIoHasFinished) {
  TestPipeServer server(1, 1024);
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  std::vector<uint8_t> data;
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  const std::string big = Pattern(65536);
  ASSERT_EQ(pipe.Write(big.data(), big.size()), IoOutcome::kInFlight);
  EXPECT_FALSE(pipe.IoSettled());
  pipe.Close();
  EXPECT_TRUE(pipe.IoSettled());
}

// A cancel that fails leaves Close bounded: closing the handle ends the
// operation, or its buffers are left to the system.
BOOL WINAPI FailingCancel(HANDLE, LPOVERLAPPED) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST(AsyncNamedPipe, CloseIsBoundedWhenCancellingFails) {
  TestPipeServer server;
  // Leaked if Close hangs, so that the test can fail instead of hanging.
  auto* pipe = new AsyncNamedPipe(&FailingCancel);
  ASSERT_TRUE(pipe->Open(server.name()));
  std::vector<uint8_t> data;
  ASSERT_EQ(pipe->Read(data), IoOutcome::kInFlight);
  LogCapture log;
  EventHandle closed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread closer([&pipe, event = closed.get()] {
    pipe->Close();
    ::SetEvent(event);
  });
  const bool bounded = ::WaitForSingleObject(closed.get(), 4 * AsyncNamedPipe::kCancelWaitMs) == WAIT_OBJECT_0;
  EXPECT_TRUE(bounded);
  if (!bounded) {
    closer.detach();
    return;
  }
  closer.join();
  EXPECT_TRUE(log.Has(spdlog::level::err, "AsyncNamedPipe: CancelIoEx failed (0x5)"));
  EXPECT_TRUE(pipe->IoSettled());
  EXPECT_FALSE(pipe->IsOpen());
  delete pipe;
}

// A read or write that completes at once has been collected; its event is
// not left signalled to wake the owner's loop for nothing.
TEST(AsyncNamedPipe, ImmediateCompletionLeavesItsEventUnsignalled) {
  TestPipeServer server;
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  ASSERT_TRUE(server.Write("ready"));
  ASSERT_TRUE(WaitFor([&] {
    DWORD available = 0;
    return ::PeekNamedPipe(pipe.handle(), nullptr, 0, nullptr, &available, nullptr) && available == 5;
  }));
  std::vector<uint8_t> data;
  ASSERT_EQ(pipe.Read(data), IoOutcome::kDone);
  EXPECT_EQ(std::string(data.begin(), data.end()), "ready");
  EXPECT_EQ(::WaitForSingleObject(pipe.ReadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_EQ(pipe.Write("x", 1), IoOutcome::kDone);
  EXPECT_EQ(::WaitForSingleObject(pipe.WriteEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Opening again lets go of the previous connection (its server sees it end)
// and of the read it had in flight, so the new connection reads afresh.
TEST(AsyncNamedPipe, OpenWhileOpenClosesThePreviousConnection) {
  TestPipeServer server(2);
  AsyncNamedPipe pipe;
  ASSERT_TRUE(pipe.Open(server.name()));
  std::vector<uint8_t> data;
  ASSERT_EQ(pipe.Read(data), IoOutcome::kInFlight);
  ASSERT_TRUE(pipe.Open(server.name()));
  EXPECT_FALSE(server.Write("late", 0));
  ASSERT_TRUE(server.Write("second", 1));
  ASSERT_TRUE(ReadOnce(pipe, data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "second");
}

}  // namespace
}  // namespace halyx
