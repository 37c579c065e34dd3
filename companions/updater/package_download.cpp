#include "package_download.h"

#include <winhttp.h>

#include <vector>

#include "appcast_fetch.h"
#include "base/winhttp_handle.h"

namespace halyx::update {
namespace {

constexpr DWORD kChunk = 1 << 16;

std::string Failed(const char* what) {
  const DWORD code = ::GetLastError();
  return std::string(what) + " (error " + std::to_string(code) + ")";
}

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
  WinHttpHandle session(::WinHttpOpen(L"QuorUpdater/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0));
  const int step = limits.stepTimeoutMs;
  if (!session || !::WinHttpSetTimeouts(session.get(), step, step, step, step)) {
    error = Failed("the download could not start");
    return false;
  }
  WinHttpHandle connection(::WinHttpConnect(session.get(), parts.host.c_str(), parts.port, 0));
  WinHttpHandle request(connection ? ::WinHttpOpenRequest(connection.get(), L"GET", parts.pathAndQuery.c_str(), nullptr,
                                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                          parts.secure ? WINHTTP_FLAG_SECURE : 0)
                                   : nullptr);
  if (!request ||
      !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    error = Failed("the download server could not be reached");
    return false;
  }
  DWORD status = 0;
  DWORD headerSize = sizeof(status);
  if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &headerSize, WINHTTP_NO_HEADER_INDEX)) {
    error = Failed("the download server's answer could not be read");
    return false;
  }
  if (status != 200) {
    error = "the download server answered with status " + std::to_string(status);
    return false;
  }
  // A length of 4 GiB and more does not fit the number form; such a package
  // is over the limit anyway, and the body's own length is checked below.
  DWORD announced = 0;
  headerSize = sizeof(announced);
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
      error = Failed("the download broke off");
      return false;
    }
    if (read == 0) break;
    if (received + read > size) {
      error = "the package is longer than the " + std::to_string(size) + " bytes offered";
      return false;
    }
    DWORD written = 0;
    if (!::WriteFile(file, chunk.data(), read, &written, nullptr) || written != read) {
      error = Failed("the package could not be stored");
      return false;
    }
    received += read;
    if (progress) progress(received, size);
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
    error = Failed("the package could not be stored");
    return false;
  }
  return true;
}

}  // namespace halyx::update
