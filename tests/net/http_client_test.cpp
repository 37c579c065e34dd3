#include "net/http_client.h"

#include <windows.h>

#include <cwchar>

#include <gtest/gtest.h>

#include "http_endpoint.h"
#include "support/log_capture.h"

namespace halyx {
namespace {

using testing::ClosedPort;
using testing::HttpEndpoint;
using testing::LogCapture;
using testing::RawListener;

constexpr char kNonAsciiUtf8[] = "Z\xC3\xBCrich \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";
constexpr wchar_t kNonAsciiText[] = L"Z\u00FCrich \u2013 \u6771\u4EAC";

std::wstring Decode(UINT codePage, DWORD flags, const std::string& bytes) {
  const int length = ::MultiByteToWideChar(codePage, flags, bytes.data(),
                                           static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
  return text;
}

bool StartsWith(const std::wstring& text, const std::wstring& start) {
  return text.compare(0, start.size(), start) == 0;
}

// A request sends what the server expects to see and keeps the answer as it came.
TEST(HttpClient, KeepsRawHeadersAndBodyOfAnErrorPage) {
  HttpEndpoint endpoint;
  ASSERT_TRUE(endpoint.ok());
  HttpClient client(endpoint.Url());
  ASSERT_TRUE(client.Request(L"GET"));

  EXPECT_TRUE(StartsWith(client.headers(), L"HTTP/1.1 400 Bad Request\r\n")) << client.headers().c_str();
  EXPECT_NE(client.headers().find(L"Server: http_endpoint\r\n"), std::wstring::npos);
  EXPECT_NE(client.body().find(L"<p>ERR_INVALID_URL</p>"), std::wstring::npos);
  EXPECT_EQ(client.host(), L"127.0.0.1");

  const HttpEndpoint::Figures figures = endpoint.Stats();
  EXPECT_EQ(figures.requests, 1);
  EXPECT_EQ(figures.last.rfind("GET / HTTP/1.1\r\n", 0), 0u) << figures.last;
  EXPECT_NE(figures.last.find("User-Agent: QuorHttpClient"), std::string::npos) << figures.last;
}

// GET and POST pass in any letter case; any other method is refused before anything is sent.
TEST(HttpClient, AcceptsOnlyGetAndPostIgnoringCase) {
  HttpEndpoint endpoint;
  ASSERT_TRUE(endpoint.ok());
  const struct {
    const wchar_t* method;
    bool sent;
    const char* requestLine;
  } cases[] = {
      {L"get", true, "GET / HTTP/1.1"},
      {L"Post", true, "POST / HTTP/1.1"},
      {L"PUT", false, nullptr},
      {L"", false, nullptr},
  };
  int requests = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method, c.method + ::wcslen(c.method)));
    LogCapture log;
    HttpClient client(endpoint.Url());
    EXPECT_EQ(client.Request(c.method), c.sent);
    const HttpEndpoint::Figures figures = endpoint.Stats();
    if (c.sent) {
      ++requests;
      EXPECT_EQ(figures.last.rfind(c.requestLine, 0), 0u) << figures.last;
    } else {
      EXPECT_TRUE(client.headers().empty());
      EXPECT_TRUE(log.Records().empty());
    }
    EXPECT_EQ(figures.requests, requests);
  }
}

// The body is decoded as UTF-8 only when the charset says so, also across chunks.
TEST(HttpClient, DecodesTheBodyByItsCharset) {
  const std::string raw = std::string("<p>ERR_INVALID_URL</p>") + kNonAsciiUtf8;
  const std::wstring asUtf8 = L"<p>ERR_INVALID_URL</p>" + std::wstring(kNonAsciiText);
  const std::wstring asCodePage = Decode(CP_ACP, MB_PRECOMPOSED, raw);
  const struct {
    std::vector<std::string> options;
    std::wstring charset;
    std::wstring body;
  } cases[] = {
      {{"--charset", "UTF-8"}, L"utf-8\r", asUtf8},
      {{"--charset", "utf-8", "--split"}, L"utf-8\r", asUtf8},
      {{"--charset", "none"}, L"", asCodePage},
      {{"--charset", "ISO-8859-1"}, L"iso-8859-1\r", asCodePage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options[1] + (c.options.size() > 2 ? " split" : ""));
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"--body", "<p>ERR_INVALID_URL</p>", "--non-ascii"});
    HttpEndpoint endpoint(options);
    ASSERT_TRUE(endpoint.ok());
    HttpClient client(endpoint.Url());
    ASSERT_TRUE(client.Request(L"GET"));
    // The value runs to the line's carriage return, which it keeps.
    EXPECT_EQ(client.charset(), c.charset);
    EXPECT_EQ(client.body(), c.body);
  }
  if (::GetACP() != CP_UTF8) {
    EXPECT_NE(asCodePage, asUtf8);
  }
}

// A body under 2 characters fails the request but keeps the header block.
TEST(HttpClient, BodyUnderTwoCharactersIsTooSmall) {
  for (const char* body : {"", "x"}) {
    SCOPED_TRACE(std::string("body \"") + body + "\"");
    HttpEndpoint endpoint({"--body", body});
    ASSERT_TRUE(endpoint.ok());
    LogCapture log;
    HttpClient client(endpoint.Url());
    EXPECT_FALSE(client.Request(L"GET"));
    EXPECT_TRUE(log.Has(spdlog::level::warn, "HttpClient: response too small"));
    EXPECT_TRUE(StartsWith(client.headers(), L"HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_TRUE(client.body().empty());
  }
  HttpEndpoint twoCharacters({"--body", "ok"});
  ASSERT_TRUE(twoCharacters.ok());
  HttpClient client(twoCharacters.Url());
  EXPECT_TRUE(client.Request(L"GET"));
  EXPECT_EQ(client.body(), L"ok");
}

// An https URL opens with a TLS handshake, which a plain listener cannot answer.
TEST(HttpClient, HttpsUrlOpensWithTls) {
  RawListener listener;
  ASSERT_NE(listener.port(), 0);
  LogCapture log;
  HttpClient client("https://127.0.0.1:" + std::to_string(listener.port()));
  EXPECT_FALSE(client.Request(L"GET"));
  const std::string hello = listener.FirstBytes();
  ASSERT_GE(hello.size(), 2u);
  EXPECT_EQ(hello[0], '\x16');  // handshake record
  EXPECT_EQ(hello[1], '\x03');  // TLS major version
  EXPECT_TRUE(client.body().empty());
}

// Unusable URLs and absent servers fail with one line naming the failing call.
TEST(HttpClient, FailuresNameTheFailingCall) {
  const struct {
    std::string url;
    const char* line;  // the start of the expected warning
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(ClosedPort()), "HttpClient: WinHttpSendRequest failed (0x"},
      {"ftp://127.0.0.1:21", "HttpClient: WinHttpCrackUrl failed (0x"},
      {"no url at all", "HttpClient: WinHttpCrackUrl failed (0x"},
      {"http://\xFF\xFE:80", "HttpClient: WinHttpCrackUrl failed (0x"},  // not UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    LogCapture log;
    HttpClient client(c.url);
    EXPECT_FALSE(client.Request(L"GET"));
    const auto records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, spdlog::level::warn);
    EXPECT_EQ(records[0].text.rfind(c.line, 0), 0u) << records[0].text;
  }
}

}  // namespace
}  // namespace halyx
