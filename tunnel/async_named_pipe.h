// The GUI's end of the service-control pipe, opened for overlapped I/O.
//
// At most one read and one write are in flight, each with its own fixed
// buffer, OVERLAPPED and auto-reset event. The class never waits on the pipe:
// the owner puts ReadEvent() and WriteEvent() into its message loop's wait
// list and, when one is signalled, collects the completion with
// ReadCompleted() or WriteCompleted(). It knows nothing of frames or JSON.
//
//   AsyncNamedPipe pipe;
//   if (!pipe.Open(R"(\\.\pipe\QuorVPN\ServiceControl)")) return;
//   std::vector<uint8_t> data;
//   if (pipe.Read(data) == IoOutcome::kInFlight) { /* wait on ReadEvent() */ }
//
// Rules: a buffer is not touched while its operation is in flight; Close()
// cancels what is in flight and waits for the cancellation to finish before
// the buffers may be reused. Failures log one line and leave the reason in
// the thread's last error for the caller, which decides whether the pipe is
// lost.
//
// Thread: GUI thread only. The object is large (its buffers are members), so
// it is allocated once, inside its owner.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace halyx {

// How beginning a read or a write turned out.
enum class IoOutcome {
  kDone,      // completed at once; the completion has already been collected
  kInFlight,  // the operation's event will be signalled
  kFailed,    // the thread's last error holds the reason
};

class AsyncNamedPipe {
 public:
  static constexpr DWORD kReadBufferSize = 4096;
  static constexpr DWORD kWriteBufferSize = 65536;

  AsyncNamedPipe() = default;
  AsyncNamedPipe(const AsyncNamedPipe&) = delete;
  AsyncNamedPipe& operator=(const AsyncNamedPipe&) = delete;
  ~AsyncNamedPipe();

  // Opens the pipe `name` (no wait for a busy pipe: the caller retries later)
  // and creates both events. A pipe still open is closed first.
  bool Open(const std::string& name);

  // Begins the one read of at most kReadBufferSize bytes; when it completes
  // at once, `out` receives the data.
  IoOutcome Read(std::vector<uint8_t>& out);
  // Collects the finished read into `out` (empty for a zero-byte read).
  bool ReadCompleted(std::vector<uint8_t>& out);

  // Begins the one write of `length` bytes, copied into the write buffer.
  // More than kWriteBufferSize bytes fail with ERROR_INSUFFICIENT_BUFFER.
  // While a write is in flight, reports kInFlight and sends nothing.
  IoOutcome Write(const void* data, std::size_t length);
  // Collects the finished write; a partial write fails with
  // ERROR_PARTIAL_COPY and the rest of the data is not sent.
  bool WriteCompleted();

  // Cancels what is in flight, waits for it to finish, and releases the pipe
  // and both events. Harmless when already closed.
  void Close();

  bool IsOpen() const { return handle_.valid(); }
  bool ReadPending() const { return readPending_; }
  bool WritePending() const { return writePending_; }
  // The pipe itself, for identity checks of the server; null or
  // INVALID_HANDLE_VALUE while closed.
  HANDLE handle() const { return handle_.get(); }
  HANDLE ReadEvent() const { return readEvent_.get(); }
  HANDLE WriteEvent() const { return writeEvent_.get(); }

 private:
  void CancelPending(OVERLAPPED& overlapped, bool& pending);

  FileHandle handle_;
  std::array<uint8_t, kReadBufferSize> readBuffer_{};
  OVERLAPPED readOverlapped_{};
  EventHandle readEvent_;
  bool readPending_ = false;
  std::array<uint8_t, kWriteBufferSize> writeBuffer_{};
  DWORD writeLength_ = 0;
  OVERLAPPED writeOverlapped_{};
  EventHandle writeEvent_;
  bool writePending_ = false;
};

}  // namespace halyx
