// Every URL decision of the UI, row by row: what OpenUrl hands to the shell,
// what a web window opens, which object the main and the web windows' pages
// get, and which origin a caption names.
#include <windows.h>

#include <cwctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "ui/url_policy.h"

namespace halyx::testing {
namespace {

std::wstring FileUrl(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return L"file:///" + path;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

enum class Decision { kBrowser, kWebWindow, kMainPage, kWebPage, kCaption };

struct Row {
  Decision decision;
  std::wstring url;
  std::wstring expected;  // "yes"/"no", an access ("full", "window", "none") or a caption origin
};

const char* Name(Decision decision) {
  switch (decision) {
    case Decision::kBrowser:
      return "OpenUrl";
    case Decision::kWebWindow:
      return "NewWindow";
    case Decision::kMainPage:
      return "main page";
    case Decision::kWebPage:
      return "web page";
    case Decision::kCaption:
      return "caption";
  }
  return "";
}

const wchar_t* AccessName(PageAccess access) {
  switch (access) {
    case PageAccess::kFull:
      return L"full";
    case PageAccess::kWindow:
      return L"window";
    case PageAccess::kNone:
      return L"none";
  }
  return L"";
}

// One policy decides every URL the UI meets: only the main page reaches
// everything; a web window's page gets its window commands only from the
// application folder or an exact trusted origin; nothing names a share,
// a device or another scheme; case, escapes and ".." change nothing.
TEST(UrlPolicy, EveryDecisionFollowsTheTable) {
  ScopedTempDir root;
  const std::wstring app = root.path() + L"\\app";
  for (const wchar_t* folder : {L"\\app", L"\\app\\app", L"\\app\\sub", L"\\appx"}) {
    ASSERT_TRUE(::CreateDirectoryW((root.path() + folder).c_str(), nullptr));
  }
  for (const wchar_t* file : {L"\\app\\app\\main.html", L"\\app\\help.html", L"\\appx\\page.html", L"\\appx.html"}) {
    ASSERT_TRUE(WriteWholeFile(root.path() + file, "x"));
  }
  const UrlPolicy policy(
      UrlPolicy::Settings{{L"https://help.quor.test:443", L"http://127.0.0.1:8080"}, app, app + L"\\app\\main.html"});
  const std::wstring base = FileUrl(app);
  const std::wstring main = base + L"/app/main.html";

  const std::vector<Row> rows = {
      // OpenUrl: http and https with a host, nothing the shell could run.
      {Decision::kBrowser, L"https://example.com/", L"yes"},
      {Decision::kBrowser, L"HTTP://example.com", L"yes"},
      {Decision::kBrowser, L"file:///C:/Windows/notepad.exe", L"no"},
      {Decision::kBrowser, L"C:\\Windows\\notepad.exe", L"no"},
      {Decision::kBrowser, L"calc", L"no"},
      {Decision::kBrowser, L"http://", L"no"},
      {Decision::kBrowser, L"https:///path", L"no"},
      {Decision::kBrowser, L"javascript:alert(1)", L"no"},
      {Decision::kBrowser, L"http://a b", L"no"},
      {Decision::kBrowser, L"http://a\"b", L"no"},
      {Decision::kBrowser, L"mailto:x@example.com", L"no"},

      // NewWindow: blank, http(s) with a plain host, a local drive's file.
      {Decision::kWebWindow, L"", L"yes"},
      {Decision::kWebWindow, L"https://example.com/a", L"yes"},
      {Decision::kWebWindow, L"http://127.0.0.1:8080/x", L"yes"},
      {Decision::kWebWindow, base + L"/help.html", L"yes"},
      {Decision::kWebWindow, L"FILE:///C:/elsewhere/page.html", L"yes"},
      {Decision::kWebWindow, L"file://server/share/page.html", L"no"},
      {Decision::kWebWindow, L"file:////server/share/page.html", L"no"},
      {Decision::kWebWindow, L"file:///\\\\server\\share\\page.html", L"no"},
      {Decision::kWebWindow, L"file:///%5C%5Cserver/share/page.html", L"no"},
      {Decision::kWebWindow, L"file:///C:/app/nul", L"no"},
      {Decision::kWebWindow, L"https://user@example.com/", L"no"},
      {Decision::kWebWindow, L"https:///page.html", L"no"},
      {Decision::kWebWindow, L"javascript:HalyxDispatch.StartTunnel()", L"no"},
      {Decision::kWebWindow, L"\\\\server\\share\\page.html", L"no"},
      {Decision::kWebWindow, L"page.html", L"no"},
      {Decision::kWebWindow, L"https://example.com/\x0a", L"no"},
      {Decision::kWebWindow, L"https://example.com/" + std::wstring(UrlPolicy::kMaxWebWindowUrl, L'a'), L"no"},

      // The main window: the main page alone, however it is spelled.
      {Decision::kMainPage, main, L"full"},
      {Decision::kMainPage, Lower(main), L"full"},
      {Decision::kMainPage, base + L"/app/../app/main.html", L"full"},
      {Decision::kMainPage, base + L"/help.html", L"none"},
      {Decision::kMainPage, L"https://help.quor.test/app/main.html", L"none"},
      {Decision::kMainPage, L"file:////server/share/app/main.html", L"none"},

      // A web window: the application folder's existing files and the exact
      // trusted origins, never the full object.
      {Decision::kWebPage, base + L"/help.html", L"window"},
      {Decision::kWebPage, Lower(base) + L"/HELP.HTML", L"window"},
      {Decision::kWebPage, base + L"/sub/../help.html", L"window"},
      {Decision::kWebPage, main, L"window"},
      {Decision::kWebPage, L"https://help.quor.test/a", L"window"},
      {Decision::kWebPage, L"HTTPS://Help.Quor.Test:443/a?b#c", L"window"},
      {Decision::kWebPage, L"http://127.0.0.1:8080/", L"window"},
      {Decision::kWebPage, L"http://help.quor.test/a", L"none"},
      {Decision::kWebPage, L"https://help.quor.test:444/a", L"none"},
      {Decision::kWebPage, L"https://help.quor.test.evil.test/a", L"none"},
      {Decision::kWebPage, L"https://evil.test@help.quor.test/a", L"none"},
      {Decision::kWebPage, L"https://help.quor.test\\@evil.test/a", L"none"},
      {Decision::kWebPage, L"https://example.com/a", L"none"},
      {Decision::kWebPage, L"http://127.0.0.1:8081/", L"none"},
      {Decision::kWebPage, base + L"x.html", L"none"},
      {Decision::kWebPage, base + L"x/page.html", L"none"},
      {Decision::kWebPage, base + L"/../appx/page.html", L"none"},
      {Decision::kWebPage, base + L"/%2e%2e/appx/page.html", L"none"},
      {Decision::kWebPage, base + L"/missing.html", L"none"},
      {Decision::kWebPage, base + L"/sub", L"none"},
      {Decision::kWebPage, L"file://server/share/page.html", L"none"},
      {Decision::kWebPage, L"javascript:HalyxDispatch.StartTunnel()", L"none"},
      {Decision::kWebPage, L"about:blank", L"none"},
      {Decision::kWebPage, L"", L"none"},

      // The caption's origin: scheme, host and a port only when not the
      // default one.
      {Decision::kCaption, L"https://Help.Quor.Test/a/b?c", L"https://help.quor.test"},
      {Decision::kCaption, L"https://help.quor.test:443/", L"https://help.quor.test"},
      {Decision::kCaption, L"http://127.0.0.1:8080/x", L"http://127.0.0.1:8080"},
      {Decision::kCaption, L"http://[::1]/x", L"http://[::1]"},
      {Decision::kCaption, base + L"/help.html", L"file://"},
      {Decision::kCaption, L"https://evil.test@help.quor.test/", L""},
  };
  for (const Row& row : rows) {
    std::wstring got;
    std::string why;
    switch (row.decision) {
      case Decision::kBrowser:
        got = UrlPolicy::MayOpenInBrowser(row.url) ? L"yes" : L"no";
        break;
      case Decision::kWebWindow:
        got = UrlPolicy::MayOpenWebWindow(row.url, why) ? L"yes" : L"no";
        EXPECT_EQ(why.empty(), got == L"yes") << WideToUtf8(row.url);
        break;
      case Decision::kMainPage:
        got = AccessName(policy.MainPageAccess(row.url));
        break;
      case Decision::kWebPage:
        got = AccessName(policy.WebPageAccess(row.url));
        break;
      case Decision::kCaption:
        got = UrlPolicy::CaptionOrigin(row.url);
        break;
    }
    EXPECT_EQ(WideToUtf8(got), WideToUtf8(row.expected)) << Name(row.decision) << ": " << WideToUtf8(row.url);
  }

  // Without an application folder or a main page nothing local is trusted.
  const UrlPolicy bare(UrlPolicy::Settings{});
  EXPECT_EQ(bare.WebPageAccess(base + L"/help.html"), PageAccess::kNone);
  EXPECT_EQ(bare.MainPageAccess(main), PageAccess::kNone);
}

}  // namespace
}  // namespace halyx::testing
