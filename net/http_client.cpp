#include "net/http_client.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/winhttp_handle.h"
#include "base/utf8.h"

namespace halyx {

namespace {

constexpr DWORD kHostNameCapacity = 260;
constexpr DWORD kUrlPathCapacity = 1300;

std::wstring ToLower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

// Where an incomplete UTF-8 sequence at the end of `bytes` begins; the size
// when the text ends on a character boundary.
std::size_t IncompleteUtf8Tail(const std::string& bytes) {
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
    const auto c = static_cast<unsigned char>(bytes[size - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return length > back ? size - back : size;
  }
  return size;
}

}  // namespace

HttpClient::HttpClient(const std::string& url, const Limits& limits) : limits_(limits) {
  // A URL that is not valid UTF-8 stays empty, which Request() refuses.
  AppendDecoded(CP_UTF8, MB_ERR_INVALID_CHARS, url, url_);
}

bool HttpClient::Request(const std::wstring& method) {
  const std::wstring lowerMethod = ToLower(method);
  const wchar_t* verb = lowerMethod == L"get" ? L"GET" : lowerMethod == L"post" ? L"POST" : nullptr;
  if (!verb) return false;
  begin_ = ::GetTickCount64();

  WinHttpHandle root(
      ::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!root) {
    spdlog::error("HttpClient: WinHttpOpen failed ({:#x})", LastError());
    return false;
  }

  wchar_t hostName[kHostNameCapacity] = {};
  wchar_t urlPath[kUrlPathCapacity] = {};
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  components.lpszHostName = hostName;
  components.dwHostNameLength = kHostNameCapacity;
  components.lpszUrlPath = urlPath;
  components.dwUrlPathLength = kUrlPathCapacity;
  if (!::WinHttpCrackUrl(url_.c_str(), static_cast<DWORD>(url_.size()), 0, &components)) {
    spdlog::warn("HttpClient: WinHttpCrackUrl failed ({:#x})", LastError());
    return false;
  }
  host_.assign(hostName, components.dwHostNameLength);
  // A URL of protocol://host:port names no path; what is asked for is the
  // root.
  const std::wstring path = components.dwUrlPathLength ? std::wstring(urlPath, components.dwUrlPathLength) : L"/";

  WinHttpHandle connection(::WinHttpConnect(root.get(), host_.c_str(), components.nPort, 0));
  if (!connection) {
    spdlog::warn("HttpClient: WinHttpConnect failed ({:#x})", LastError());
    return false;
  }
  const DWORD flags = components.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  WinHttpHandle request(::WinHttpOpenRequest(connection.get(), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request) {
    spdlog::warn("HttpClient: WinHttpOpenRequest failed ({:#x})", LastError());
    return false;
  }

  // Each step may take no longer than the whole request; the body loop then
  // shortens the receive time-out to what is left.
  const int stepMs = static_cast<int>(std::min<DWORD>(limits_.deadlineMs, INT_MAX));
  if (!::WinHttpSetTimeouts(request.get(), stepMs, stepMs, stepMs, stepMs)) {
    spdlog::warn("HttpClient: WinHttpSetTimeouts failed ({:#x})", LastError());
    return false;
  }

  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    spdlog::warn("HttpClient: WinHttpSendRequest failed ({:#x})", LastError());
    return false;
  }
  DWORD remaining = Remaining();
  if (remaining == 0 ||
      !::WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &remaining, sizeof(remaining))) {
    spdlog::warn("HttpClient: no complete answer within {} ms", limits_.deadlineMs);
    return false;
  }
  if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
    spdlog::warn("HttpClient: WinHttpReceiveResponse failed ({:#x})", LastError());
    return false;
  }

  DWORD size = 0;
  if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    spdlog::warn("HttpClient: WinHttpQueryHeaders failed ({:#x})", LastError());
    return false;
  }
  // The size is in bytes; one more character keeps the text terminated.
  std::vector<wchar_t> block(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(block.size() * sizeof(wchar_t));
  if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, block.data(),
                             &size, WINHTTP_NO_HEADER_INDEX)) {
    spdlog::warn("HttpClient: WinHttpQueryHeaders failed ({:#x})", LastError());
    return false;
  }
  headers_.assign(block.data());
  ReadCharset();

  std::wstring body;
  if (!ReadBody(request.get(), body)) {
    spdlog::warn("HttpClient: no complete answer within {} ms", limits_.deadlineMs);
    return false;
  }
  if (body.size() < 2) {
    spdlog::warn("HttpClient: response too small");
    return false;
  }
  body_ = std::move(body);
  return true;
}

void HttpClient::ReadCharset() {
  charset_.clear();
  const std::wstring lower = ToLower(headers_);
  static constexpr wchar_t kKey[] = L"charset=";
  const std::size_t key = lower.find(kKey);
  if (key == std::wstring::npos || lower.empty()) return;
  const std::size_t begin = key + (sizeof(kKey) / sizeof(wchar_t) - 1);
  // A carriage return does not end the value: it may keep one.
  const std::size_t end = std::min(lower.find_first_of(L" ;\n", begin), lower.size() - 1);
  if (end > begin) charset_ = lower.substr(begin, end - begin);
}

DWORD HttpClient::Remaining() const {
  const ULONGLONG elapsed = ::GetTickCount64() - begin_;
  return elapsed >= limits_.deadlineMs ? 0 : static_cast<DWORD>(limits_.deadlineMs - elapsed);
}

bool HttpClient::ReadBody(HINTERNET request, std::wstring& body) const {
  const bool utf8 = charset_.find(L"utf-8") != std::wstring::npos;
  std::string carried;  // the start of a UTF-8 character cut by the chunk's end
  std::size_t total = 0;
  while (total < limits_.maxBodyBytes) {
    // A blocking call waits no longer than the deadline leaves.
    DWORD remaining = Remaining();
    if (remaining == 0 || !::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &remaining, sizeof(remaining))) {
      return false;
    }
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request, &available)) {
      // A time-out is the deadline passing; any other failure ends the body.
      return ::GetLastError() != ERROR_WINHTTP_TIMEOUT;
    }
    if (available == 0) break;
    std::string chunk(std::min<std::size_t>(available, limits_.maxBodyBytes - total), '\0');
    DWORD read = 0;
    // A read that fails otherwise would fail again: what came so far is the
    // body.
    if (!::WinHttpReadData(request, chunk.data(), static_cast<DWORD>(chunk.size()), &read)) {
      return ::GetLastError() != ERROR_WINHTTP_TIMEOUT;
    }
    chunk.resize(read);
    total += read;
    if (!utf8) {
      AppendDecoded(CP_ACP, MB_PRECOMPOSED, chunk, body);
      continue;
    }
    chunk.insert(0, carried);
    const std::size_t complete = IncompleteUtf8Tail(chunk);
    carried = chunk.substr(complete);
    if (!AppendDecoded(CP_UTF8, MB_ERR_INVALID_CHARS, std::string_view(chunk).substr(0, complete), body)) {
      carried.clear();  // the chunk is skipped, and its tail with it
    }
  }
  if (total >= limits_.maxBodyBytes) spdlog::warn("HttpClient: body cut at {} bytes", limits_.maxBodyBytes);
  return true;
}

}  // namespace halyx
