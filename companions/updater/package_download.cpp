#include "package_download.h"

#include <winhttp.h>

#include <vector>

#include "appcast_fetch.h"
#include "base/winhttp_handle.h"

namespace halyx::update {
namespace {

constexpr DWORD kChunk = 1 << 16;

}  // namespace

bool PackageDownload::Get(const std::wstring& url, uint64_t size, HANDLE file, const Progress& progress,
                          std::string& error, const Limits& limits) {
  AppcastFetch::UrlParts parts;
  if (!AppcastFetch::Split(url, parts) || !AppcastFetch::IsAllowed(parts)) {
    error = "the package's address is not an https address";
    return false;
  }
  if (size == 0 || size > kMaxBytes) {
    error = "the offered package's size is not between 1 byte and " + std::to_string(kMaxBytes) + " bytes";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + limits.deadline;
  AppcastFetch::Request get;
  if (!AppcastFetch::Open(parts, limits.stepTimeoutMs, "the download", "the download server", get, error)) {
    return false;
  }
  const WinHttpHandle& request = get.request;
  // A length of 4 GiB and more does not fit the number form; such a package
  // is over the limit anyway, and the body's own length is checked below.
  DWORD announced = 0;
  DWORD headerSize = sizeof(announced);
  if (::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &announced, &headerSize, WINHTTP_NO_HEADER_INDEX) &&
      announced != size) {
    error = "the package is " + std::to_string(announced) + " bytes, not the " + std::to_string(size) + " offered";
    return false;
  }
  std::vector<char> chunk(kChunk);
  uint64_t received = 0;
  for (;;) {
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), chunk.data(), kChunk, &read)) {
      error = AppcastFetch::Failed("the download broke off");
      return false;
    }
    if (read == 0) break;
    if (received + read > size) {
      error = "the package is longer than the " + std::to_string(size) + " bytes offered";
      return false;
    }
    DWORD written = 0;
    if (!::WriteFile(file, chunk.data(), read, &written, nullptr) || written != read) {
      error = AppcastFetch::Failed("the package could not be stored");
      return false;
    }
    received += read;
    if (progress && !progress(received, size)) {
      error = "the download was cancelled";
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      error = "the download took longer than " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits.deadline).count()) + " seconds";
      return false;
    }
  }
  if (received != size) {
    error = "the package is truncated: " + std::to_string(received) + " of " + std::to_string(size) + " bytes";
    return false;
  }
  if (!::FlushFileBuffers(file)) {
    error = AppcastFetch::Failed("the package could not be stored");
    return false;
  }
  return true;
}

}  // namespace halyx::update
