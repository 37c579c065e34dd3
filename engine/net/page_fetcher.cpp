#include "engine/net/page_fetcher.h"

#include <windows.h>
#include <shlwapi.h>
#include <winhttp.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/winhttp_handle.h"
#include "base/utf8.h"
#include "engine/platform/decoded_image.h"

namespace halyx::engine {
namespace {

constexpr int kHttpTimeoutMs = 10000;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return ::StrCmpNIW(text.c_str(), prefix, static_cast<int>(wcslen(prefix))) == 0;
}

bool IsHttp(const std::wstring& url) { return PageFetcher::IsRemote(url); }

std::wstring PathOfFileUrl(const std::wstring& url) {
  wchar_t path[MAX_PATH * 4] = {};
  DWORD size = static_cast<DWORD>(std::size(path));
  if (SUCCEEDED(::PathCreateFromUrlW(url.c_str(), path, &size, 0))) return path;
  return url.substr(7);
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(::towlower(c));
  return text;
}

// "scheme://host:port" of an http(s) URL, lower case, with the default port.
std::wstring OriginOf(const std::wstring& url) {
  const std::wstring lower = Lower(url);
  const std::size_t scheme_end = lower.find(L"://");
  if (scheme_end == std::wstring::npos) return {};
  const std::wstring scheme = lower.substr(0, scheme_end);
  const std::size_t host_start = scheme_end + 3;
  std::wstring host = lower.substr(host_start, lower.find_first_of(L"/\\?#", host_start) - host_start);
  if (host.find(L'@') != std::wstring::npos) host = host.substr(host.find(L'@') + 1);
  if (host.find(L':') == std::wstring::npos) host += scheme == L"https" ? L":443" : L":80";
  return scheme + L"://" + host;
}

bool IsLoopbackOrigin(const std::wstring& origin) {
  const std::size_t host_start = origin.find(L"://") + 3;
  const std::wstring host = origin.substr(host_start, origin.rfind(L':') - host_start);
  return host == L"127.0.0.1" || host == L"localhost" || host == L"[::1]";
}

bool IsNetworkPath(const std::wstring& path) {
  return path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
}

}  // namespace

std::wstring PageFetcher::ApplicationFolder() {
  std::wstring path(32768, L'\0');
  const DWORD size = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(size);
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool PageFetcher::MayLoad(const std::wstring& base, const std::wstring& target, const std::wstring& local_root,
                          std::string& why) {
  if (IsHttp(base)) {
    const std::wstring origin = OriginOf(base);
    if (!IsHttp(target) || OriginOf(target) != origin) {
      why = "a remote page loads scripts only from its own origin";
      return false;
    }
    if (!StartsWith(target, L"https://") && !IsLoopbackOrigin(origin)) {
      why = "a remote page loads scripts only over https";
      return false;
    }
    return true;
  }
  if (IsHttp(target)) {
    if (StartsWith(target, L"https://")) return true;
    why = "a local page loads remote scripts only over https";
    return false;
  }
  if (target.find(L"://") != std::wstring::npos && !StartsWith(target, L"file:")) {
    why = "unsupported scheme";
    return false;
  }
  const std::wstring path = StartsWith(target, L"file:") ? PathOfFileUrl(target) : target;
  if (IsNetworkPath(path) || (StartsWith(target, L"file://") && !StartsWith(target, L"file:///"))) {
    why = "network paths are never loaded";
    return false;
  }
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD size = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
  wchar_t root[MAX_PATH * 4] = {};
  const DWORD root_size = ::GetFullPathNameW(local_root.c_str(), static_cast<DWORD>(std::size(root)), root, nullptr);
  std::wstring inside = Lower(root_size > 0 && root_size < std::size(root) ? std::wstring(root) : std::wstring());
  while (!inside.empty() && (inside.back() == L'\\' || inside.back() == L'/')) inside.pop_back();
  const std::wstring candidate = Lower(size > 0 && size < std::size(full) ? std::wstring(full) : std::wstring());
  if (inside.empty() || candidate.compare(0, inside.size() + 1, inside + L"\\") != 0) {
    why = "a local page loads files only from the application folder";
    return false;
  }
  return true;
}

std::wstring PageFetcher::FileUrl(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD size = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
  std::wstring url = L"file:///" + (size > 0 && size < std::size(full) ? std::wstring(full) : path);
  for (wchar_t& c : url) {
    if (c == L'\\') c = L'/';
  }
  return url;
}

bool PageFetcher::IsRemote(const std::wstring& url) {
  return StartsWith(url, L"http://") || StartsWith(url, L"https://");
}

bool PageFetcher::ReadFile(const std::wstring& path, std::string& body, std::size_t limit, std::string* error) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  if (static_cast<unsigned long long>(size) > limit) {
    if (error != nullptr) *error = "larger than " + std::to_string(limit) + " bytes";
    return false;
  }
  in.seekg(0, std::ios::beg);
  body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  // A UTF-8 byte-order mark is not part of the text.
  if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
  return true;
}

bool PageFetcher::HttpGet(const std::wstring& url, std::string& body, std::string& error, std::size_t limit,
                          ULONGLONG deadline) {
  // Each wait ends with the load's deadline, so a server that sends a byte
  // now and then cannot hold the load open for good.
  auto left = [deadline]() {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : static_cast<int>(std::min<ULONGLONG>(deadline - now, kHttpTimeoutMs));
  };
  if (left() == 0) {
    error = "the load took longer than " + std::to_string(kDeadlineMs / 1000) + " s";
    return false;
  }
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
  ::WinHttpSetTimeouts(session.get(), left(), left(), left(), left());
  WinHttpHandle connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  WinHttpHandle request(connection
                            ? ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                   WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                            : nullptr);
  // Redirects are not followed: what a page may load, and what its window
  // trusts it with, is decided on the address asked for, so that must be
  // the address that answers.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (request && !::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects))) {
    error = "cannot turn redirects off (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
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
  if (status >= 300 && status < 400) {
    error = "HTTP status " + std::to_string(status) + ": redirects are not followed";
    return false;
  }
  body.clear();
  for (;;) {
    char buffer[16384];
    DWORD read = 0;
    DWORD wait = static_cast<DWORD>(left());
    if (wait == 0) {
      error = "the load took longer than " + std::to_string(kDeadlineMs / 1000) + " s";
      return false;
    }
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &wait, sizeof(wait));
    // Only what has arrived: a read for a full buffer waits until it is
    // full, and a byte now and then keeps each of its waits short.
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request.get(), &available)) {
      error = "read failed";
      return false;
    }
    if (available == 0) break;
    if (!::WinHttpReadData(request.get(), buffer, std::min<DWORD>(available, sizeof(buffer)), &read)) {
      error = "read failed";
      return false;
    }
    if (read == 0) break;
    if (read > limit - body.size()) {
      error = "larger than " + std::to_string(limit) + " bytes";
      return false;
    }
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

PageFetcher::Page PageFetcher::Fetch(const std::wstring& url, const std::wstring& local_root) {
  Page page;
  std::string html;
  std::wstring base;
  const ULONGLONG deadline = ::GetTickCount64() + kDeadlineMs;
  if (IsHttp(url)) {
    page.url = WideToUtf8(url);
    base = url;
    page.ok = HttpGet(url, html, page.error, kMaxPageBytes, deadline);
  } else {
    base = StartsWith(url, L"file:") ? PathOfFileUrl(url) : url;
    page.url = WideToUtf8(FileUrl(base));
    if (IsNetworkPath(base) || (StartsWith(url, L"file://") && !StartsWith(url, L"file:///"))) {
      page.error = "network paths are never loaded";
      return page;
    }
    page.ok = ReadFile(base, html, kMaxPageBytes, &page.error);
    if (!page.ok && page.error.empty()) page.error = "cannot read the file";
  }
  if (!page.ok) return page;
  page.document = HtmlDocument::Parse(html);
  // Scripts and linked style sheets come under the same rules.
  auto fetch = [&](const std::string& src, std::vector<std::pair<std::string, std::string>>& into, std::size_t limit) {
    const std::wstring target = Resolve(base, Utf8ToWide(src));
    std::string why;
    if (!MayLoad(IsHttp(url) ? url : base, target, local_root, why)) {
      page.refused.emplace_back(src, why);
      return;
    }
    std::string body;
    std::string error;
    bool fetched = false;
    if (IsHttp(target)) {
      fetched = HttpGet(target, body, error, limit, deadline);
    } else {
      fetched = ReadFile(StartsWith(target, L"file:") ? PathOfFileUrl(target) : target, body, limit, &error);
    }
    // Too large or too late is a refusal worth its reason; a file that is
    // not there is just absent.
    if (fetched) {
      into.emplace_back(src, std::move(body));
    } else if (error.compare(0, 11, "larger than") == 0 || error.compare(0, 8, "the load") == 0) {
      page.refused.emplace_back(src, error);
    }
  };
  for (const HtmlDocument::Script& script : page.document.scripts()) {
    if (!script.src.empty()) fetch(script.src, page.scripts, kMaxFileBytes);
  }
  for (const HtmlDocument::StyleSource& sheet : page.document.styles()) {
    if (!sheet.href.empty()) fetch(sheet.href, page.stylesheets, kMaxFileBytes);
  }
  // Images by src: a page that shows one picture many times fetches it once.
  for (std::size_t i = 0; i < page.document.size(); ++i) {
    const int node = static_cast<int>(i);
    if (!page.document.IsElement(node) || page.document.node(node).tag != "img") continue;
    const std::string src = page.document.Attribute(node, "src");
    auto known = [&src](const auto& entry) { return entry.first == src; };
    if (src.empty() || std::any_of(page.images.begin(), page.images.end(), known) ||
        std::any_of(page.refused.begin(), page.refused.end(), known)) {
      continue;
    }
    fetch(src, page.images, DecodedImage::kMaxEncodedBytes);
  }
  return page;
}

}  // namespace halyx::engine
