// A web address reaches the shell only as one unambiguous text, written
// again from its checked parts.
#include <string>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "ui/web_url.h"

namespace halyx {
namespace {

TEST(WebUrl, AddressesAreWrittenAgainFromTheirParts) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"https://www.quorvpn.com/", L"https://www.quorvpn.com/"},
      {L"HTTPS://WWW.QuorVPN.com", L"https://www.quorvpn.com/"},
      {L"http://example.com:0080/a?b=c#d", L"http://example.com:80/a?b=c#d"},
      {L"https://example.com:/x", L"https://example.com/x"},
      {L"https://example.com?q", L"https://example.com/?q"},
      {L"https://example.com#top", L"https://example.com/#top"},
      {L"https://[::1]:8443/p", L"https://[::1]:8443/p"},
      // Whatever is no URL character travels escaped, as UTF-8.
      {L"https://example.com/a\"b<c>{|}^`", L"https://example.com/a%22b%3Cc%3E%7B%7C%7D%5E%60"},
      {L"https://example.com/z\u00fcrich/\u6771?\U0001F600", L"https://example.com/z%C3%BCrich/%E6%9D%B1?%F0%9F%98%80"},
      {L"https://example.com/%41%zz%", L"https://example.com/%41%25zz%25"},
      {L"https://example.com/#a#b", L"https://example.com/#a%23b"},
  };
  for (const Case& c : cases) {
    std::wstring out = L"untouched";
    EXPECT_TRUE(WebUrl::Canonical(c.in, out)) << WideToUtf8(c.in);
    EXPECT_EQ(out, c.out) << WideToUtf8(c.in);
  }
}

TEST(WebUrl, AddressesWithoutOneReadingAreRefused) {
  for (const wchar_t* refused :
       {L"", L"file:///C:/Windows/notepad.exe", L"C:\\Windows\\notepad.exe", L"javascript:alert(1)", L"http://",
        L"https:///path", L"http:/example.com", L"ms-settings:privacy", L"httpx://example.com",
        // user information, and backslashes that some parsers take for '/'
        L"https://quorvpn.com@evil.example/", L"https://user:pw@example.com/", L"https://good.example\\@evil.example/",
        L"https://example.com/a\\b",
        // hosts and ports with more than one reading
        L"https://ex%61mple.com/", L"https://\u0435xample.com/", L"https://example.com:65536/",
        L"https://example.com:0/", L"https://example.com:8o/", L"https://[::1/", L"https://[x]/",
        // separators and controls a command line or a log would split on
        L"https://example.com/a b", L"https://example.com/\"x\" -y", L"https://example.com/\r\nx",
        L"https://example.com/\u0085", L"https://example.com/\x7f"}) {
    std::wstring out = L"untouched";
    EXPECT_FALSE(WebUrl::Canonical(refused, out)) << WideToUtf8(refused);
    EXPECT_EQ(out, L"untouched");
  }
  const std::wstring longest = L"https://e.com/" + std::wstring(WebUrl::kMaxLength - 14, L'a');
  std::wstring out;
  EXPECT_TRUE(WebUrl::Canonical(longest, out));
  EXPECT_FALSE(WebUrl::Canonical(longest + L"a", out));
}

}  // namespace
}  // namespace halyx
