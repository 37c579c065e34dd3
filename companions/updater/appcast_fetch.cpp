#include "appcast_fetch.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cwchar>
#include <string>

#include "appcast.h"
#include "base/winhttp_handle.h"

namespace halyx::update {
namespace {

constexpr int kStepTimeoutMs = 10000;
constexpr auto kDeadline = std::chrono::seconds(30);

bool IsLoopback(const std::wstring& host) {
  return _wcsicmp(host.c_str(), L"localhost") == 0 || host == L"127.0.0.1" || host == L"[::1]" || host == L"::1";
}

}  // namespace

bool AppcastFetch::Split(const std::wstring& url, UrlParts& out) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (url.empty() || !::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTPS && parts.nScheme != INTERNET_SCHEME_HTTP) return false;
  if (parts.dwHostNameLength == 0) return false;
  out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  out.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  out.port = parts.nPort;
  out.pathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) out.pathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (out.pathAndQuery.empty()) out.pathAndQuery = L"/";
  return true;
}

bool AppcastFetch::IsAllowed(const UrlParts& parts) { return parts.secure || IsLoopback(parts.host); }

std::string AppcastFetch::Failed(const std::string& what) {
  const DWORD code = ::GetLastError();
  return what + " (error " + std::to_string(code) + ")";
}

bool AppcastFetch::Open(const UrlParts& parts, int stepTimeoutMs, const char* task, const char* server, Request& out,
                        std::string& error) {
  out.session.reset(::WinHttpOpen(L"QuorUpdater/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
  if (!out.session ||
      !::WinHttpSetTimeouts(out.session.get(), stepTimeoutMs, stepTimeoutMs, stepTimeoutMs, stepTimeoutMs)) {
    error = Failed(std::string(task) + " could not start");
    return false;
  }
  out.connection.reset(::WinHttpConnect(out.session.get(), parts.host.c_str(), parts.port, 0));
  out.request.reset(out.connection ? ::WinHttpOpenRequest(out.connection.get(), L"GET", parts.pathAndQuery.c_str(),
                                                          nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                          parts.secure ? WINHTTP_FLAG_SECURE : 0)
                                   : nullptr);
  if (!out.request ||
      !::WinHttpSendRequest(out.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(out.request.get(), nullptr)) {
    error = Failed(std::string(server) + " could not be reached");
    return false;
  }
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!::WinHttpQueryHeaders(out.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    error = Failed(std::string(server) + "'s answer could not be read");
    return false;
  }
  if (status != 200) {
    error = std::string(server) + " answered with status " + std::to_string(status);
    return false;
  }
  return true;
}

bool AppcastFetch::IsAllowedUrl(const std::wstring& url) {
  UrlParts parts;
  return Split(url, parts) && IsAllowed(parts);
}

bool AppcastFetch::Get(const std::wstring& url, std::string& body, std::string& error) {
  UrlParts parts;
  if (!Split(url, parts) || !(parts.secure || IsLoopback(parts.host))) {
    error = "the update address is not an https address";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  Request get;
  if (!Open(parts, kStepTimeoutMs, "the update check", "the update server", get, error)) return false;
  const WinHttpHandle& request = get.request;
  body.clear();
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), buffer, sizeof(buffer), &read)) {
      error = Failed("the update server's answer broke off");
      return false;
    }
    if (read == 0) return true;
    body.append(buffer, read);
    if (body.size() > Appcast::kMaxBytes) {
      error = "the appcast is larger than " + std::to_string(Appcast::kMaxBytes) + " bytes";
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      error = "the update server took longer than " + std::to_string(kDeadline.count()) + " seconds";
      return false;
    }
  }
}

}  // namespace halyx::update
