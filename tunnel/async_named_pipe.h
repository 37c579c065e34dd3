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
// cancels what is in flight and waits, for a bounded time, for the
// cancellation to finish before the buffers may be reused. Should the system
// still not have finished with them (a failed cancel on a stuck driver), they
// are left to it and fresh ones taken, so nothing it writes late lands in
// reused or freed memory. Failures log one line and leave the reason in the
// thread's last error for the caller, which decides whether the pipe is lost.
//
// Thread: GUI thread only. The buffers (about 70 KiB) are allocated once,
// with the object, and reused for every operation.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

  // How Close() asks the system to cancel an operation: CancelIoEx, unless a
  // test puts a failing one in its place.
  using CancelFunction = BOOL(WINAPI*)(HANDLE file, LPOVERLAPPED overlapped);
  // How long Close() waits for a cancelled operation, before and again after
  // closing the handle.
  static constexpr DWORD kCancelWaitMs = 1000;

  explicit AsyncNamedPipe(CancelFunction cancel = &::CancelIoEx);
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
  // True when the system has finished every operation ever begun here, so
  // the buffers are the object's own again. Always true after Close().
  bool IoSettled() const;
  bool ReadPending() const { return readPending_; }
  bool WritePending() const { return writePending_; }
  // The pipe itself, for identity checks of the server; null or
  // INVALID_HANDLE_VALUE while closed.
  HANDLE handle() const { return handle_.get(); }
  HANDLE ReadEvent() const { return readEvent_.get(); }
  HANDLE WriteEvent() const { return writeEvent_.get(); }

 private:
  // What the system writes into while an operation is in flight.
  struct IoBuffers {
    std::array<uint8_t, kReadBufferSize> read{};
    OVERLAPPED readOverlapped{};
    std::array<uint8_t, kWriteBufferSize> write{};
    OVERLAPPED writeOverlapped{};
  };

  // Asks for the cancellation of the operation on `overlapped` if it is in
  // flight and waits for it at most kCancelWaitMs; true once it is finished.
  bool Cancel(OVERLAPPED& overlapped, bool pending);

  CancelFunction cancel_;
  FileHandle handle_;
  std::unique_ptr<IoBuffers> io_;
  EventHandle readEvent_;
  bool readPending_ = false;
  DWORD writeLength_ = 0;
  EventHandle writeEvent_;
  bool writePending_ = false;
};

}  // namespace halyx
