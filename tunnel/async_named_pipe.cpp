#include "tunnel/async_named_pipe.h"

#include <algorithm>
#include <cstring>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

namespace {

// Finished, whether by completing or by being cancelled: the system no longer
// writes into the operation's OVERLAPPED or buffer. A zeroed OVERLAPPED (no
// operation ever begun) counts as finished.
bool Finished(const OVERLAPPED& overlapped) { return overlapped.Internal != static_cast<ULONG_PTR>(STATUS_PENDING); }

// Waits at most `ms` for the operation on `overlapped` to finish. Its event
// may already have been consumed by the owner's wait, so the OVERLAPPED
// itself is looked at between short waits.
bool WaitFinished(const OVERLAPPED& overlapped, HANDLE event, DWORD ms) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  while (!Finished(overlapped)) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 10));
    if (event) {
      ::WaitForSingleObject(event, slice);
    } else {
      ::Sleep(slice);
    }
  }
  return true;
}

}  // namespace

AsyncNamedPipe::AsyncNamedPipe(CancelFunction cancel) : cancel_(cancel), io_(std::make_unique<IoBuffers>()) {}

AsyncNamedPipe::~AsyncNamedPipe() { Close(); }

bool AsyncNamedPipe::IoSettled() const { return Finished(io_->readOverlapped) && Finished(io_->writeOverlapped); }

bool AsyncNamedPipe::Open(const std::string& name) {
  if (IsOpen()) Close();

  // The client runs elevated, and any local process could have created a pipe
  // of this name first. Identification level keeps such a server from ever
  // acting with the administrator's token.
  constexpr DWORD kFlags =
      FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  FileHandle handle(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0, nullptr, OPEN_EXISTING,
                                  kFlags, nullptr));
  if (!handle) {
    PreserveLastError keep;
    spdlog::error("AsyncNamedPipe: CreateFile failed ({:#x})", keep.code());
    return false;
  }
  EventHandle readEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  EventHandle writeEvent(readEvent ? ::CreateEventW(nullptr, FALSE, FALSE, nullptr) : nullptr);
  if (!readEvent || !writeEvent) {
    PreserveLastError keep;
    spdlog::error("AsyncNamedPipe: CreateEvent failed ({:#x})", keep.code());
    return false;
  }
  handle_ = std::move(handle);
  readEvent_ = std::move(readEvent);
  writeEvent_ = std::move(writeEvent);
  return true;
}

IoOutcome AsyncNamedPipe::Read(std::vector<uint8_t>& out) {
  if (readPending_) return IoOutcome::kInFlight;

  io_->read.fill(0);
  io_->readOverlapped = OVERLAPPED{};
  io_->readOverlapped.hEvent = readEvent_.get();
  if (::ReadFile(handle_.get(), io_->read.data(), kReadBufferSize, nullptr, &io_->readOverlapped)) {
    readPending_ = true;
    // A read that completes at once still signals the event; the completion is
    // collected here, so the signal is taken back to spare the loop a wake-up
    // for a read that is no longer pending.
    ::ResetEvent(readEvent_.get());
    return ReadCompleted(out) ? IoOutcome::kDone : IoOutcome::kFailed;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    readPending_ = true;
    return IoOutcome::kInFlight;
  }
  PreserveLastError keep;
  spdlog::error("AsyncNamedPipe: ReadFile failed ({:#x})", keep.code());
  return IoOutcome::kFailed;
}

bool AsyncNamedPipe::ReadCompleted(std::vector<uint8_t>& out) {
  if (!readPending_) {
    spdlog::debug("AsyncNamedPipe: ReadCompleted called with no read pending");
    return false;
  }
  DWORD bytes = 0;
  if (!::GetOverlappedResult(handle_.get(), &io_->readOverlapped, &bytes, FALSE)) {
    PreserveLastError keep;
    spdlog::error("AsyncNamedPipe: GetOverlappedResult failed ({:#x})", keep.code());
    readPending_ = false;
    return false;
  }
  out.assign(io_->read.begin(), io_->read.begin() + bytes);
  readPending_ = false;
  return true;
}

IoOutcome AsyncNamedPipe::Write(const void* data, std::size_t length) {
  if (length > kWriteBufferSize) {
    spdlog::error("AsyncNamedPipe: write buffer is too small ({}), expect {}", kWriteBufferSize, length);
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return IoOutcome::kFailed;
  }
  if (writePending_) return IoOutcome::kInFlight;

  io_->write.fill(0);
  io_->writeOverlapped = OVERLAPPED{};
  io_->writeOverlapped.hEvent = writeEvent_.get();
  writeLength_ = static_cast<DWORD>(length);
  if (length != 0) std::memcpy(io_->write.data(), data, length);
  if (::WriteFile(handle_.get(), io_->write.data(), writeLength_, nullptr, &io_->writeOverlapped)) {
    writePending_ = true;
    ::ResetEvent(writeEvent_.get());  // collected here; see Read
    return WriteCompleted() ? IoOutcome::kDone : IoOutcome::kFailed;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    writePending_ = true;
    return IoOutcome::kInFlight;
  }
  PreserveLastError keep;
  spdlog::error("AsyncNamedPipe: WriteFile failed ({:#x})", keep.code());
  return IoOutcome::kFailed;
}

bool AsyncNamedPipe::WriteCompleted() {
  if (!writePending_) {
    spdlog::debug("AsyncNamedPipe: WriteCompleted called with no write pending");
    return false;
  }
  DWORD bytes = 0;
  if (!::GetOverlappedResult(handle_.get(), &io_->writeOverlapped, &bytes, FALSE)) {
    PreserveLastError keep;
    spdlog::error("AsyncNamedPipe: GetOverlappedResult failed ({:#x})", keep.code());
    writePending_ = false;
    return false;
  }
  const DWORD expected = writeLength_;
  writeLength_ -= bytes;
  writePending_ = false;
  if (writeLength_ != 0) {
    spdlog::error("AsyncNamedPipe: GetOverlappedResult encounter partial write!");
    spdlog::error("AsyncNamedPipe: expect {}, actual {}", expected, bytes);
    ::SetLastError(ERROR_PARTIAL_COPY);
    return false;
  }
  return true;
}

bool AsyncNamedPipe::Cancel(OVERLAPPED& overlapped, bool pending) {
  if (!pending || !handle_) return true;
  if (!cancel_(handle_.get(), &overlapped) && ::GetLastError() != ERROR_NOT_FOUND) {
    spdlog::error("AsyncNamedPipe: CancelIoEx failed ({:#x})", LastError());
  }
  // Cancelling only asks: the system may still be writing into the buffer and
  // the OVERLAPPED until the operation finishes, and both are reused (or
  // freed) after this. Bounded, because a cancel that failed may leave it
  // pending for as long as the server likes.
  return WaitFinished(overlapped, overlapped.hEvent, kCancelWaitMs);
}

void AsyncNamedPipe::Close() {
  PreserveLastError keep;
  const bool readFinished = Cancel(io_->readOverlapped, readPending_);
  const bool writeFinished = Cancel(io_->writeOverlapped, writePending_);
  // Closing the last handle ends whatever the cancel could not.
  handle_.reset();
  if ((!readFinished && !WaitFinished(io_->readOverlapped, nullptr, kCancelWaitMs)) ||
      (!writeFinished && !WaitFinished(io_->writeOverlapped, nullptr, kCancelWaitMs))) {
    spdlog::error("AsyncNamedPipe: pipe I/O still in flight after close, its buffers are left to it");
    // Deliberately not freed: the system may write into them later.
    static_cast<void>(io_.release());
    io_ = std::make_unique<IoBuffers>();
  }
  io_->readOverlapped.hEvent = nullptr;
  io_->writeOverlapped.hEvent = nullptr;
  readPending_ = false;
  writePending_ = false;
  readEvent_.reset();
  writeEvent_.reset();
}

}  // namespace halyx
