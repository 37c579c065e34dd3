#include "net/http_client.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::ClosedPort;
using testing::HttpEndpoint;
using testing::LogCapture;
using testing::RawListener;

bool StartsWith(const std::wstring& text, const std::wstring& start) {
  return text.compare(0, start.size(), start) == 0;
}

// GET and POST pass in any letter case, send what the server expects and keep the answer's
// raw headers and body; any other method is refused before anything is sent.
TEST(HttpClient, SendsGetAndPostAndKeepsTheRawAnswer) {
  HttpEndpoint endpoint;
  ASSERT_TRUE(endpoint.ok());
  const struct {
    const wchar_t* method;
    const char* requestLine;  // null: refused
  } cases[] = {{L"get", "GET / HTTP/1.1\r\n"}, {L"Post", "POST / HTTP/1.1\r\n"}, {L"PUT", nullptr}, {L"", nullptr}};
  int requests = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requestLine ? c.requestLine : "refused");
    LogCapture log;
    HttpClient client(endpoint.Url());
    EXPECT_EQ(client.Request(c.method), c.requestLine != nullptr);
    const HttpEndpoint::Figures figures = endpoint.Stats();
    if (c.requestLine) {
      ++requests;
      EXPECT_EQ(figures.last.rfind(c.requestLine, 0), 0u) << figures.last;
      EXPECT_NE(figures.last.find("User-Agent: QuorHttpClient"), std::string::npos);
      EXPECT_TRUE(StartsWith(client.headers(), L"HTTP/1.1 400 Bad Request\r\n"));
      EXPECT_NE(client.headers().find(L"Server: http_endpoint\r\n"), std::wstring::npos);
      EXPECT_NE(client.body().find(L"<p>ERR_INVALID_URL</p>"), std::wstring::npos);
      EXPECT_EQ(client.host(), L"127.0.0.1");
    } else {
      EXPECT_TRUE(client.headers().empty());
      EXPECT_TRUE(log.Records().empty());
    }
    EXPECT_EQ(figures.requests, requests);
  }
}

// The body is decoded as UTF-8 only when the charset says so, also when a character is split
// across reads; the charset value runs to the line's carriage return, which it keeps.
TEST(HttpClient, DecodesTheBodyByItsCharset) {
  const std::string raw = "<p>ERR_INVALID_URL</p>Z\xC3\xBCrich \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";
  const std::wstring asUtf8 = L"<p>ERR_INVALID_URL</p>Z\u00FCrich \u2013 \u6771\u4EAC";
  std::wstring asCodePage(raw.size(), L'\0');
  asCodePage.resize(::MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, raw.data(), int(raw.size()), asCodePage.data(),
                                          int(asCodePage.size())));
  if (::GetACP() != CP_UTF8) {
    EXPECT_NE(asCodePage, asUtf8);
  }
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
    EXPECT_EQ(client.charset(), c.charset);
    EXPECT_EQ(client.body(), c.body);
  }
}

// A body under 2 characters fails the request but keeps the header block; 2 are enough.
TEST(HttpClient, BodyUnderTwoCharactersIsTooSmall) {
  for (const char* body : {"", "x", "ok"}) {
    SCOPED_TRACE(std::string("body \"") + body + "\"");
    const bool enough = body[0] && body[1];
    HttpEndpoint endpoint({"--body", body});
    ASSERT_TRUE(endpoint.ok());
    LogCapture log;
    HttpClient client(endpoint.Url());
    EXPECT_EQ(client.Request(L"GET"), enough);
    EXPECT_EQ(log.Has(spdlog::level::warn, "HttpClient: response too small"), !enough);
    EXPECT_TRUE(StartsWith(client.headers(), L"HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(client.body(), enough ? L"ok" : L"");
  }
}

// The server does not decide how long the request lasts or how much is kept: a body trickled
// byte by byte fails at the deadline, an oversized one is cut at the cap and still read.
TEST(HttpClient, DeadlineEndsATrickleAndTheCapCutsALargeBody) {
  HttpEndpoint trickle({"--trickle-ms", "50"});
  HttpEndpoint large({"--pad", "3000000"});
  ASSERT_TRUE(trickle.ok() && large.ok());
  LogCapture log;
  HttpClient::Limits limits;
  limits.deadlineMs = 1500;
  HttpClient slow(trickle.Url(), limits);
  const ULONGLONG begin = ::GetTickCount64();
  EXPECT_FALSE(slow.Request(L"GET"));
  EXPECT_LT(::GetTickCount64() - begin, 10000u) << "held by the server";
  EXPECT_TRUE(log.Has(spdlog::level::warn, "HttpClient: no complete answer within 1500 ms"));

  HttpClient big(large.Url());
  ASSERT_TRUE(big.Request(L"GET"));
  EXPECT_EQ(big.body().size(), HttpClient::Limits().maxBodyBytes);
  EXPECT_NE(big.body().find(L"ERR_INVALID_URL"), std::wstring::npos);
  EXPECT_TRUE(log.Has(spdlog::level::warn, "HttpClient: body cut at 1048576 bytes"));
}

// Unusable URLs and absent servers fail with one line naming the failing call; an https URL
// opens with a TLS handshake, which a plain listener cannot answer.
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
  RawListener listener;
  ASSERT_NE(listener.port(), 0);
  HttpClient client("https://127.0.0.1:" + std::to_string(listener.port()));
  EXPECT_FALSE(client.Request(L"GET"));
  EXPECT_TRUE(client.body().empty());
  EXPECT_EQ(listener.FirstBytes().substr(0, 2), std::string("\x16\x03"));
}

}  // namespace
}  // namespace halyx
