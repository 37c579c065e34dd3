#include "engine/page_fetcher.h"

#include <windows.h>
#include <shlwapi.h>
#include <winhttp.h>

#include <fstream>
#include <iterator>

#include "base/winhttp_handle.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr int kHttpTimeoutMs = 10000;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return ::StrCmpNIW(text.c_str(), prefix, static_cast<int>(wcslen(prefix))) == 0;
}

bool IsHttp(const std::wstring& url) { return StartsWith(url, L"http://") || StartsWith(url, L"https://"); }

std::wstring PathOfFileUrl(const std::wstring& url) {
  wchar_t path[MAX_PATH * 4] = {};
  DWORD size = static_cast<DWORD>(std::size(path));
  if (SUCCEEDED(::PathCreateFromUrlW(url.c_str(), path, &size, 0))) return path;
  return url.substr(7);
}

}  // namespace

std::wstring PageFetcher::FileUrl(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD size = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
  std::wstring url = L"file:///" + (size > 0 && size < std::size(full) ? std::wstring(full) : path);
  for (wchar_t& c : url) {
    if (c == L'\\') c = L'/';
  }
  return url;
}

bool PageFetcher::ReadFile(const std::wstring& path, std::string& body) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return false;
  body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  // A UTF-8 byte-order mark is not part of the text.
  if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
  return true;
}

bool PageFetcher::HttpGet(const std::wstring& url, std::string& body, std::string& error) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
    error = "bad URL";
    return false;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path =
      std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
      std::wstring(parts.lpszExtraInfo != nullptr ? parts.lpszExtraInfo : L"", parts.dwExtraInfoLength);
  WinHttpHandle session(
      ::WinHttpOpen(L"wke", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    error = "WinHttpOpen failed";
    return false;
  }
  ::WinHttpSetTimeouts(session.get(), kHttpTimeoutMs, kHttpTimeoutMs, kHttpTimeoutMs, kHttpTimeoutMs);
  WinHttpHandle connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  WinHttpHandle request(connection
                            ? ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                   WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                            : nullptr);
  if (!request ||
      !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    error = "request failed (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  DWORD status = 0;
  DWORD status_size = sizeof(status);
  ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX);
  body.clear();
  for (;;) {
    char buffer[16384];
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), buffer, sizeof(buffer), &read)) {
      error = "read failed";
      return false;
    }
    if (read == 0) break;
    body.append(buffer, read);
  }
  if (status >= 400) {
    error = "HTTP status " + std::to_string(status);
    return false;
  }
  return true;
}

std::wstring PageFetcher::Resolve(const std::wstring& base, const std::wstring& src) {
  if (src.find(L"://") != std::wstring::npos) return src;
  if (IsHttp(base)) {
    const std::size_t scheme_end = base.find(L"://") + 3;
    if (src.compare(0, 2, L"//") == 0) return base.substr(0, scheme_end - 2) + src;
    const std::size_t host_end = base.find(L'/', scheme_end);
    if (!src.empty() && src[0] == L'/') return base.substr(0, host_end) + src;
    const std::size_t cut = base.find_first_of(L"?#");
    const std::wstring stem = base.substr(0, cut);
    const std::size_t slash = stem.rfind(L'/');
    return (slash == std::wstring::npos || slash < scheme_end ? stem + L"/" : stem.substr(0, slash + 1)) + src;
  }
  // A local page: relative to its folder.
  std::wstring folder = base;
  const std::size_t slash = folder.find_last_of(L"\\/");
  folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
  std::wstring path = folder + src;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

PageFetcher::Page PageFetcher::Fetch(const std::wstring& url) {
  Page page;
  std::string html;
  std::wstring base;
  if (IsHttp(url)) {
    page.url = WideToUtf8(url);
    base = url;
    page.ok = HttpGet(url, html, page.error);
  } else {
    base = StartsWith(url, L"file:") ? PathOfFileUrl(url) : url;
    page.url = WideToUtf8(FileUrl(base));
    page.ok = ReadFile(base, html);
    if (!page.ok) page.error = "cannot read the file";
  }
  if (!page.ok) return page;
  page.document = HtmlDocument::Parse(html);
  for (const HtmlDocument::Script& script : page.document.scripts()) {
    if (script.src.empty()) continue;
    const std::wstring target = Resolve(base, Utf8ToWide(script.src));
    std::string body;
    std::string error;
    bool fetched = false;
    if (IsHttp(target)) {
      fetched = HttpGet(target, body, error);
    } else {
      fetched = ReadFile(StartsWith(target, L"file:") ? PathOfFileUrl(target) : target, body);
    }
    if (fetched) page.scripts.emplace_back(script.src, std::move(body));
  }
  return page;
}

}  // namespace halyx::engine
