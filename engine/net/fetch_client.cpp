#include "engine/net/fetch_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "base/utf8.h"
#include "base/winhttp_handle.h"

namespace halyx::engine {
namespace {

std::string QueryText(HINTERNET request, DWORD what) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 64 * 1024) return {};
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(size / sizeof(wchar_t));
  return WideToUtf8(text);
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One request and its answer's head; the caller reads the body. False with
// `error` set when no answer came.
struct Exchange {
  WinHttpHandle session;
  WinHttpHandle connection;
  WinHttpHandle request;
};

}  // namespace

std::string FetchClient::Resolve(const std::string& base, const std::string& location) {
  const std::size_t scheme = location.find("://");
  const std::size_t first_special = location.find_first_of("/?#");
  if (scheme != std::string::npos && (first_special == std::string::npos || scheme < first_special)) return location;
  const std::size_t base_scheme_end = base.find("://");
  if (base_scheme_end == std::string::npos) return location;
  if (location.compare(0, 2, "//") == 0) return base.substr(0, base_scheme_end + 1) + location;
  const std::size_t host_end = std::min(base.find_first_of("/?#", base_scheme_end + 3), base.size());
  if (!location.empty() && location[0] == '/') return base.substr(0, host_end) + location;
  const std::string stem = base.substr(0, std::min(base.find_first_of("?#", host_end), base.size()));
  if (!location.empty() && location[0] == '?') return stem + location;
  const std::size_t slash = stem.rfind('/');
  return (slash == std::string::npos || slash < host_end ? stem + "/" : stem.substr(0, slash + 1)) + location;
}

namespace {

// The whole fetch's clock: every wait ends with its deadline, so a server
// that sends a byte now and then cannot hold the fetch open for good.
class Deadline {
 public:
  explicit Deadline(unsigned ms)
      : end_(::GetTickCount64() + ms), text_("no answer within " + std::to_string(ms / 1000) + " s") {}
  int left() const {
    const ULONGLONG now = ::GetTickCount64();
    return now >= end_ ? 0 : static_cast<int>(std::min<ULONGLONG>(end_ - now, 0x7fffffff));
  }
  const std::string& passed() const { return text_; }

 private:
  ULONGLONG end_;
  std::string text_;
};

// Sends one request to `url` and waits for its answer's head; false with
// `error` set.
bool SendOne(Exchange& exchange, const std::string& url, const std::string& method, std::string& body,
             const std::string& content_type, const Deadline& deadline, std::string& error) {
  const std::wstring wide_url = Utf8ToWide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) {
    error = "bad address " + url;
    return false;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  // The fragment is the page's, never the server's.
  std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                      std::wstring(parts.lpszExtraInfo != nullptr ? parts.lpszExtraInfo : L"", parts.dwExtraInfoLength);
  path = path.substr(0, path.find(L'#'));
  if (path.empty()) path = L"/";
  exchange.session.reset(
      ::WinHttpOpen(L"wke", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!exchange.session) {
    error = "cannot open an HTTP session (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  ::WinHttpSetTimeouts(exchange.session.get(), deadline.left(), deadline.left(), deadline.left(), deadline.left());
  exchange.connection.reset(::WinHttpConnect(exchange.session.get(), host.c_str(), parts.nPort, 0));
  const std::wstring verb = Utf8ToWide(method);
  if (exchange.connection) {
    exchange.request.reset(::WinHttpOpenRequest(
        exchange.connection.get(), verb.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES,
        WINHTTP_FLAG_REFRESH | (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)));
  }
  if (!exchange.request) {
    error = "cannot open the request (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  // Redirects by hand (each hop is checked by the caller); and nothing of
  // the person's goes along: no cookies, no automatic logon with the
  // user's Windows credentials.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  DWORD features = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  if (!::WinHttpSetOption(exchange.request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects)) ||
      !::WinHttpSetOption(exchange.request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof(features)) ||
      !::WinHttpSetOption(exchange.request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof(logon))) {
    error = "cannot restrict the request (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  std::wstring headers;
  if (method == "POST") {
    headers = L"Content-Type: " + Utf8ToWide(content_type.empty() ? "text/plain;charset=UTF-8" : content_type);
  }
  if (!::WinHttpSendRequest(exchange.request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1),
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : body.data(), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()), 0) ||
      !::WinHttpReceiveResponse(exchange.request.get(), nullptr)) {
    const DWORD code = ::GetLastError();
    error =
        code == ERROR_WINHTTP_TIMEOUT ? deadline.passed() : "no answer from " + url + " (" + std::to_string(code) + ")";
    return false;
  }
  return true;
}

// Reads the answer's body, at most `limit` bytes; false with `error` set.
bool ReadBody(HINTERNET request, std::size_t limit, const Deadline& deadline, std::string& body, std::string& error) {
  for (;;) {
    DWORD wait = static_cast<DWORD>(deadline.left());
    if (wait == 0) {
      error = deadline.passed();
      return false;
    }
    ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &wait, sizeof(wait));
    // Only what has arrived: a read for a full buffer waits until it is
    // full, and a byte now and then keeps each of its waits short.
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request, &available)) {
      const DWORD code = ::GetLastError();
      error = code == ERROR_WINHTTP_TIMEOUT ? deadline.passed()
                                            : "reading the answer failed (" + std::to_string(code) + ")";
      return false;
    }
    if (available == 0) return true;
    char buffer[16384];
    DWORD read = 0;
    if (!::WinHttpReadData(request, buffer, std::min<DWORD>(available, sizeof(buffer)), &read)) {
      error = "reading the answer failed (" + std::to_string(::GetLastError()) + ")";
      return false;
    }
    if (read == 0) return true;
    if (read > limit - std::min(body.size(), limit)) {
      error = "the answer is larger than " + std::to_string(limit) + " bytes";
      body.clear();
      return false;
    }
    body.append(buffer, read);
  }
}

}  // namespace

FetchClient::Response FetchClient::Run(const Request& request, const Rule& may_visit, const Limits& limits) {
  Response response;
  const Deadline deadline(limits.deadline_ms);
  std::string method = request.method;
  std::string body = request.body;
  std::string url = request.url;
  for (int hop = 0;; ++hop) {
    std::string why;
    if (!may_visit(url, why)) {
      response.error = (hop == 0 ? "refused " : "redirect refused ") + url + ": " + why;
      return response;
    }
    if (deadline.left() == 0) {
      response.error = deadline.passed();
      return response;
    }
    Exchange exchange;
    if (!SendOne(exchange, url, method, body, request.content_type, deadline, response.error)) return response;
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    ::WinHttpQueryHeaders(exchange.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX);
    const std::string location = QueryText(exchange.request.get(), WINHTTP_QUERY_LOCATION);
    if (IsRedirect(static_cast<int>(status)) && !location.empty()) {
      if (hop >= kMaxRedirects) {
        response.error = "more than " + std::to_string(kMaxRedirects) + " redirects";
        return response;
      }
      // 303, and 301/302 after a POST, go on as a GET without the body.
      if (status == 303 || ((status == 301 || status == 302) && method == "POST")) {
        method = "GET";
        body.clear();
      }
      url = Resolve(url, location);
      continue;
    }
    response.status = static_cast<int>(status);
    response.status_text = QueryText(exchange.request.get(), WINHTTP_QUERY_STATUS_TEXT);
    response.content_type = QueryText(exchange.request.get(), WINHTTP_QUERY_CONTENT_TYPE);
    response.url = url;
    response.delivered = ReadBody(exchange.request.get(), limits.max_body, deadline, response.body, response.error);
    return response;
  }
}

}  // namespace halyx::engine
