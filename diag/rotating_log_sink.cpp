#include "diag/rotating_log_sink.h"

#include <fmt/format.h>
#include <spdlog/common.h>

#include "base/protected_folder.h"
#include "base/utf8.h"

namespace halyx {
namespace {

// Shared for everything: the log collector reads the files, a second
// instance appends until its start-up fails, and each file is renamed
// through a handle while others are open on it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

RotatingLogSink::RotatingLogSink(std::wstring folder, std::wstring fileName, std::size_t maxSize, std::size_t maxFiles)
    : folder_(std::move(folder)), fileName_(std::move(fileName)), maxSize_(maxSize), maxFiles_(maxFiles) {}

std::wstring RotatingLogSink::RotatedName(const std::wstring& fileName, std::size_t index) {
  if (index == 0) return fileName;
  const std::size_t dot = fileName.rfind(L'.');
  const std::wstring number = L"." + std::to_wstring(index);
  if (dot == std::wstring::npos || dot == 0) return fileName + number;
  return fileName.substr(0, dot) + number + fileName.substr(dot);
}

std::wstring RotatingLogSink::PathOf(std::size_t index) const {
  return folder_ + L"\\" + RotatedName(fileName_, index);
}

bool RotatingLogSink::Open(const char* logPrefix) {
  std::lock_guard<std::mutex> lock(mutex_);
  return OpenActive(logPrefix);
}

bool RotatingLogSink::OpenActive(const char* logPrefix) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end,
  // after whatever another instance appended meanwhile.
  file_ = OpenProtectedFile(PathOf(0), FILE_APPEND_DATA | SYNCHRONIZE | DELETE, kShareAll, OPEN_ALWAYS, logPrefix);
  if (!file_) return false;
  LARGE_INTEGER size{};
  ::GetFileSizeEx(file_.get(), &size);
  size_ = static_cast<std::size_t>(size.QuadPart);
  return true;
}

void RotatingLogSink::sink_it_(const spdlog::details::log_msg& message) {
  spdlog::memory_buf_t formatted;
  formatter_->format(message, formatted);
  // Nothing here may log: the logger holds this sink's mutex.
  if (!file_ && !OpenActive(nullptr)) {
    throw spdlog::spdlog_ex("rotating_file_sink: cannot open " + WideToUtf8(PathOf(0)),
                            static_cast<int>(::GetLastError()));
  }
  // A rotation that failed is reported after the record went in, which
  // the library's own sink does not manage.
  std::string failure;
  if (size_ > 0 && size_ + formatted.size() > maxSize_) failure = Rotate();
  if (!file_) throw spdlog::spdlog_ex(failure);
  DWORD written = 0;
  if (!::WriteFile(file_.get(), formatted.data(), static_cast<DWORD>(formatted.size()), &written, nullptr)) {
    throw spdlog::spdlog_ex("Failed writing to file " + WideToUtf8(PathOf(0)), static_cast<int>(::GetLastError()));
  }
  size_ += written;
  if (!failure.empty()) throw spdlog::spdlog_ex(failure);
}

std::string RotatingLogSink::Rotate() {
  std::string failure;
  for (std::size_t index = maxFiles_; index > 1; --index) {
    FileHandle older = OpenProtectedFile(PathOf(index - 1), DELETE, kShareAll, OPEN_EXISTING, nullptr);
    if (!older) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
    }
    if (!older || !RenameOpenFile(older.get(), PathOf(index))) {
      failure = fmt::format("rotating_file_sink: failed renaming {} ({:#x})", WideToUtf8(PathOf(index - 1)),
                            ::GetLastError());
    }
  }
  if (maxFiles_ > 0 && !RenameOpenFile(file_.get(), PathOf(1))) {
    // Kept on: the next attempt comes after another maxSize bytes, so a
    // file that cannot be renamed does not cost a try per record.
    size_ = 0;
    return fmt::format("rotating_file_sink: failed renaming {} ({:#x})", WideToUtf8(PathOf(0)), ::GetLastError());
  }
  file_.reset();
  size_ = 0;
  if (!OpenActive(nullptr)) {
    return fmt::format("rotating_file_sink: cannot open {} ({:#x})", WideToUtf8(PathOf(0)), ::GetLastError());
  }
  return failure;
}

}  // namespace halyx
