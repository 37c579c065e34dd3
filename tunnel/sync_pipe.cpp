#include "tunnel/sync_pipe.h"

#include <array>
#include <cstring>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

bool SyncPipe::Create(bool inheritRead, bool inheritWrite) {
  CloseRead();
  CloseWrite();
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, &attributes, kBufferSize)) {
    spdlog::error("SyncPipe: CreatePipe failed ({:#x})", LastError());
    return false;
  }
  readHandle_.reset(read);
  writeHandle_.reset(write);
  // Created inheritable so that either end can go to a child; the end that
  // stays here must not, or the child would hold the pipe open against
  // itself and the reader would never see the end of the data.
  if ((!inheritRead && !::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0)) ||
      (!inheritWrite && !::SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0))) {
    PreserveLastError keep;
    CloseRead();
    CloseWrite();
    spdlog::error("SyncPipe: SetHandleInformation faled ({:#x})", keep.code());
    return false;
  }
  return true;
}

bool SyncPipe::Read(std::wstring& out) {
  std::array<uint8_t, kReadSize + 1> buffer{};
  DWORD bytes = 0;
  if (!::ReadFile(readHandle_.get(), buffer.data(), kReadSize, &bytes, nullptr)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_BROKEN_PIPE) {
      out.clear();
      return true;
    }
    spdlog::error("SyncPipe: ReadFile failed ({:#x})", Win32Code(error));
    return false;
  }
  std::wstring text(bytes / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), buffer.data(), text.size() * sizeof(wchar_t));
  text.resize(std::wcslen(text.c_str()));
  out = std::move(text);
  return true;
}

bool SyncPipe::ReadBytes(std::string& out) {
  const std::size_t had = out.size();
  out.resize(had + kReadSize);
  DWORD bytes = 0;
  const bool read = ::ReadFile(readHandle_.get(), out.data() + had, kReadSize, &bytes, nullptr);
  out.resize(had + (read ? bytes : 0));
  if (read) return true;
  if (::GetLastError() != ERROR_BROKEN_PIPE) spdlog::error("SyncPipe: ReadFile failed ({:#x})", LastError());
  return false;
}

bool SyncPipe::Available(DWORD& bytes) const {
  bytes = 0;
  if (::PeekNamedPipe(readHandle_.get(), nullptr, 0, nullptr, &bytes, nullptr)) return true;
  if (::GetLastError() != ERROR_BROKEN_PIPE) spdlog::error("SyncPipe: PeekNamedPipe failed ({:#x})", LastError());
  return false;
}

}  // namespace halyx
