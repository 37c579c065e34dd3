#include "tunnel/async_named_pipe.h"

#include <cstring>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

AsyncNamedPipe::~AsyncNamedPipe() { Close(); }

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

  readBuffer_.fill(0);
  readOverlapped_ = OVERLAPPED{};
  readOverlapped_.hEvent = readEvent_.get();
  if (::ReadFile(handle_.get(), readBuffer_.data(), kReadBufferSize, nullptr, &readOverlapped_)) {
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
  if (!::GetOverlappedResult(handle_.get(), &readOverlapped_, &bytes, FALSE)) {
    PreserveLastError keep;
    spdlog::error("AsyncNamedPipe: GetOverlappedResult failed ({:#x})", keep.code());
    readPending_ = false;
    return false;
  }
  out.assign(readBuffer_.begin(), readBuffer_.begin() + bytes);
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

  writeBuffer_.fill(0);
  writeOverlapped_ = OVERLAPPED{};
  writeOverlapped_.hEvent = writeEvent_.get();
  writeLength_ = static_cast<DWORD>(length);
  if (length != 0) std::memcpy(writeBuffer_.data(), data, length);
  if (::WriteFile(handle_.get(), writeBuffer_.data(), writeLength_, nullptr, &writeOverlapped_)) {
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
  if (!::GetOverlappedResult(handle_.get(), &writeOverlapped_, &bytes, FALSE)) {
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

void AsyncNamedPipe::CancelPending(OVERLAPPED& overlapped, bool& pending) {
  if (pending && handle_) {
    if (!::CancelIoEx(handle_.get(), &overlapped) && ::GetLastError() != ERROR_NOT_FOUND) {
      spdlog::error("AsyncNamedPipe: CancelIoEx failed ({:#x})", LastError());
    }
    // The system may still be writing into the buffer and the OVERLAPPED until
    // the cancelled operation finishes; both are reused (or freed) after this,
    // so wait for it. An operation that already finished returns at once.
    DWORD bytes = 0;
    ::GetOverlappedResult(handle_.get(), &overlapped, &bytes, TRUE);
  }
  overlapped.hEvent = nullptr;
  pending = false;
}

void AsyncNamedPipe::Close() {
  PreserveLastError keep;
  CancelPending(readOverlapped_, readPending_);
  CancelPending(writeOverlapped_, writePending_);
  handle_.reset();
  readEvent_.reset();
  writeEvent_.reset();
}

}  // namespace halyx
