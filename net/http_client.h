// One blocking HTTP or HTTPS request through WinHTTP, keeping the response's
// raw header block and its body as UTF-16 text.
//
//   HttpClient client("https://jp-1.example.net:443");
//   if (client.Request(L"GET") && client.headers().find(L"HTTP/1.1 400") != ...)
//
// Request accepts "GET" and "POST" in any letter case and refuses anything
// else at once, without a log line. The user agent is "QuorHttpClient"; the
// system's WinHTTP proxy settings apply, and no connection is kept between
// requests.
//
// The server decides how much it sends and how slowly, so the exchange is
// held to Limits: the whole request, body included, fails once its deadline
// has passed (a server trickling bytes would otherwise hold the thread for
// as long as it liked), and the body stops being read at its cap (what came
// so far is kept). The HTTP status is not examined:
// any response whose body decodes to at least 2 characters is a success,
// error pages included. Every WinHTTP failure writes one line naming the
// call and its error code.
//
// The body is decoded chunk by chunk as it arrives: as UTF-8 when the
// response's charset says "utf-8", otherwise with the system code page. A
// chunk that does not decode is skipped; a UTF-8 character that straddles
// two chunks is carried over and decoded with the next one.
//
// Thread: any, blocking; an instance is used by one thread only.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace halyx {

class HttpClient {
 public:
  static constexpr const wchar_t* kUserAgent = L"QuorHttpClient";

  struct Limits {
    std::size_t maxBodyBytes = 1024 * 1024;  // an error page with a marker is a few hundred
    DWORD deadlineMs = 10000;                // from the start of Request to its end
  };

  // `url` is UTF-8; when it does not convert, the request fails later.
  explicit HttpClient(const std::string& url) : HttpClient(url, Limits()) {}
  HttpClient(const std::string& url, const Limits& limits);
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Performs the request; true when a response with a body of at least 2
  // characters was read. What was received stays readable either way.
  bool Request(const std::wstring& method);

  const std::wstring& url() const { return url_; }
  // As WinHTTP returns it: status line first, CR LF line ends.
  const std::wstring& headers() const { return headers_; }
  const std::wstring& body() const { return body_; }
  // The first "charset=" value of the lower-cased header block; it may end
  // with a carriage return. Empty when there is none.
  const std::wstring& charset() const { return charset_; }
  const std::wstring& host() const { return host_; }

 private:
  // Extracts the charset from the header block just received.
  void ReadCharset();
  // Reads and decodes the body, up to the cap; false when the deadline
  // passed first.
  bool ReadBody(HINTERNET request, std::wstring& body) const;
  // Milliseconds left before the deadline; 0 once it has passed.
  DWORD Remaining() const;

  Limits limits_;
  ULONGLONG begin_ = 0;  // GetTickCount64 at the start of Request

  std::wstring url_;
  std::wstring headers_;
  std::wstring body_;
  std::wstring charset_;
  std::wstring host_;
};

}  // namespace halyx
