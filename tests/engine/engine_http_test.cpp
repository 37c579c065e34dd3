#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_handle.h"
#include "support/engine_page.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "base/utf8.h"

namespace halyx::testing {
namespace {

// A one-thread HTTP server on an ephemeral loopback port that answers GETs
// of the paths it knows with 200 (or, for a body "redirect:<url>", with a
// 302 to that URL) and anything else with 404, one request per connection,
// until `requests` connections were served.
class TinyHttpServer {
 public:
  // With a `gate`, each answer waits for it to be set, at most 5 s.
  TinyHttpServer(std::map<std::string, std::string> files, int requests, HANDLE gate = nullptr)
      : files_(std::move(files)), gate_(gate) {
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int size = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 4);
    thread_ = std::thread([this, requests] { Serve(requests); });
  }
  ~TinyHttpServer() {
    ::closesocket(listener_);  // ends a pending accept
    thread_.join();
    ::WSACleanup();
  }
  int port() const { return port_; }
  // Whether every answer found its gate set in time.
  bool gate_opened() const { return gateOpened_; }

 private:
  void Serve(int requests) {
    for (int i = 0; i < requests; ++i) {
      SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string request;
      char buffer[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const int got = ::recv(client, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
      }
      if (gate_ != nullptr && ::WaitForSingleObject(gate_, 5000) != WAIT_OBJECT_0) gateOpened_ = false;
      const std::size_t start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      const auto found = files_.find(path);
      std::string body = found != files_.end() ? found->second : "not here";
      std::string status = found != files_.end() ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found";
      if (body.rfind("redirect:", 0) == 0) {
        status = "HTTP/1.1 302 Found\r\nLocation: " + body.substr(9);
        body.clear();
      }
      const std::string response =
          status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      ::send(client, response.data(), static_cast<int>(response.size()), 0);
      ::shutdown(client, SD_SEND);
      ::closesocket(client);
    }
  }

  std::map<std::string, std::string> files_;
  HANDLE gate_ = nullptr;
  std::atomic<bool> gateOpened_{true};
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
};

// Pages over HTTP load on a worker and complete from the message loop, with
// their scripts fetched relative to the page's URL.
// Set by a thread timer of the test's thread: its message comes only when
// the thread is back in its loop after the load call.
HANDLE g_gate = nullptr;
void CALLBACK OpenGate(HWND, UINT, UINT_PTR id, DWORD) {
  ::KillTimer(nullptr, id);
  ::SetEvent(g_gate);
}

TEST(EngineHttpLoad, AnUpperCaseSchemeIsFetchedOffTheGuiThreadToo) {
  EventHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(gate);
  g_gate = gate.get();
  TinyHttpServer server({{"/p.html", "<title>Shouted</title><p>x</p>"}}, 1, gate.get());
  EnginePage page;
  const int before = page.ready_count();
  ::wkeLoadURLW(page.view(), (L"HTTP://127.0.0.1:" + std::to_wstring(server.port()) + L"/p.html").c_str());
  // The server answers once this thread has served its timer; a fetch on
  // this thread would hold it until the server gave up waiting.
  ASSERT_NE(::SetTimer(nullptr, 0, 1, &OpenGate), 0u);
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() > before; }, 15000));
  EXPECT_TRUE(server.gate_opened());
  EXPECT_EQ(page.Eval("document.title"), "Shouted");
  g_gate = nullptr;
}

TEST(EngineHttpLoad, PageAndItsRelativeAndRootScriptsArriveOverHttp) {
  TinyHttpServer server({{"/app/main.html",
                          "<title>Remote</title><script src=\"lib.js\"></script>"
                          "<script src=\"/shared.js\"></script><script>parts.push('inline');</script>"},
                         {"/app/lib.js", "var parts = ['lib'];"},
                         {"/shared.js", "parts.push('shared');"}},
                        3);
  EnginePage page;
  std::string url;
  ::wkeOnURLChanged(
      page.view(), [](wkeWebView, void* p, const wkeString u) { *static_cast<std::string*>(p) = ::wkeGetString(u); },
      &url);
  const std::wstring address = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/app/main.html";
  ::wkeLoadURLW(page.view(), address.c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }, 15000));
  EXPECT_EQ(page.Eval("parts.join() + ' ' + document.title"), "lib,shared,inline Remote");
  EXPECT_EQ(url, "http://127.0.0.1:" + std::to_string(server.port()) + "/app/main.html");
}

// A remote page gets scripts of its own origin only, never a file or a
// share, and its localStorage is its origin's own.
TEST(EngineHttpLoad, ARemotePageLoadsOnlyItsOwnOriginsScriptsAndStorage) {
  TinyHttpServer other({{"/evil.js", "loaded.push('other origin');"}}, 1);
  const std::string other_url = "http://127.0.0.1:" + std::to_string(other.port()) + "/evil.js";
  TinyHttpServer server({{"/app/main.html",
                          "<script>var loaded = [];</script><script src=\"own.js\"></script>"
                          "<script src=\"" +
                              other_url +
                              "\"></script>"
                              "<script src=\"file:///C:/windows/win.ini\"></script>"
                              "<script src=\"file://evil-host/share/x.js\"></script>"},
                         {"/app/own.js", "loaded.push('own');"}},
                        2);
  ScopedTempDir storage;
  EnginePage local;
  ::wkeSetLocalStorageFullPath(local.view(), storage.path().c_str());
  ASSERT_TRUE(local.Load("<script>localStorage.setItem('secret', 'local');</script>"));
  EnginePage page;
  ::wkeSetLocalStorageFullPath(page.view(), storage.path().c_str());
  const std::wstring address = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/app/main.html";
  ::wkeLoadURLW(page.view(), address.c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }, 15000));
  EXPECT_EQ(page.Eval("loaded.join()"), "own");
  EXPECT_EQ(page.Eval("String(localStorage.getItem('secret'))"), "null");
  std::wstring console;
  for (const std::wstring& line : page.ConsoleLines()) console += line + L"\n";
  EXPECT_NE(console.find(L"Refused to load script http://127.0.0.1:" + std::to_wstring(other.port()) +
                         L"/evil.js: a remote page loads scripts only from its own origin"),
            std::wstring::npos)
      << console.c_str();
  EXPECT_NE(console.find(L"Refused to load script file:///C:/windows/win.ini"), std::wstring::npos);
  EXPECT_NE(console.find(L"Refused to load script file://evil-host/share/x.js"), std::wstring::npos);
}

// A server that promises a page and sends it a byte at a time, each within
// any per-read time-out, never finishing: the load ends at its deadline.
TEST(EngineHttpLoad, AServerThatDripsItsPageIsGivenUpAtTheDeadline) {
  WSADATA wsa;
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int size = sizeof(address);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  ::listen(listener, 1);
  std::atomic<bool> stop{false};
  std::thread drip([&] {
    SOCKET client = ::accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    char request[2048];
    ::recv(client, request, sizeof(request), 0);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n<p>";
    ::send(client, head.data(), static_cast<int>(head.size()), 0);
    while (!stop && ::send(client, "x", 1, 0) == 1) ::Sleep(250);
    ::closesocket(client);
  });
  EnginePage page;
  const int before = page.ready_count();
  const ULONGLONG start = ::GetTickCount64();
  ::wkeLoadURLW(page.view(), (L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + L"/").c_str());
  const bool ended = PumpMessagesUntil([&] { return page.ready_count() > before; }, 60000);
  const ULONGLONG elapsed = ::GetTickCount64() - start;
  stop = true;
  ::closesocket(listener);
  drip.join();
  ::WSACleanup();
  ASSERT_TRUE(ended);
  EXPECT_GE(elapsed, 29000u);
  std::wstring console;
  for (const std::wstring& line : page.ConsoleLines()) console += line + L"\n";
  EXPECT_NE(console.find(L"the load took longer than 30 s"), std::wstring::npos) << console.size();
}

TEST(EngineHttpLoad, AnErrorStatusShowsAnErrorPageAndStillCompletes) {
  TinyHttpServer server({}, 1);
  EnginePage page;
  const std::wstring address = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/absent.html";
  ::wkeLoadURLW(page.view(), address.c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }, 15000));
  EXPECT_EQ(page.Eval("typeof parts"), "undefined");
  // The error page is drawn (text below the white margin) and the console
  // says which address failed and why.
  ::wkeRepaintIfNeeded(page.view());
  HDC dc = ::wkeGetViewDC(page.view());
  int ink = 0;
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 300; ++x) ink += ::GetPixel(dc, x, y) != RGB(255, 255, 255) ? 1 : 0;
  }
  EXPECT_GT(ink, 20);
  const std::vector<std::wstring> lines = page.ConsoleLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], L"[error] Failed to load http://127.0.0.1:" + std::to_wstring(server.port()) +
                          L"/absent.html: HTTP status 404");
}

// Redirects are not followed, so a page and its scripts are judged on the
// address that answered: a redirected page is an error page that runs
// nothing of where it pointed, a redirected script is not run.
TEST(EngineHttpLoad, RedirectedPagesAndScriptsAreNotFollowed) {
  TinyHttpServer landing({{"/page.html", "<script>var landed = 1;</script>"}, {"/evil.js", "loaded.push('evil');"}}, 2);
  const std::string landing_url = "http://127.0.0.1:" + std::to_string(landing.port());
  TinyHttpServer start({{"/start", "redirect:" + landing_url + "/page.html"},
                        {"/page.html", "<script>var loaded = [];</script><script src=\"s.js\"></script>"},
                        {"/s.js", "redirect:" + landing_url + "/evil.js"}},
                       3);
  const std::wstring start_url = L"http://127.0.0.1:" + std::to_wstring(start.port());
  EnginePage page;
  ::wkeLoadURLW(page.view(), (start_url + L"/start").c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }, 15000));
  EXPECT_EQ(page.Eval("typeof landed"), "undefined");
  std::vector<std::wstring> lines = page.ConsoleLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            L"[error] Failed to load " + start_url + L"/start: HTTP status 302: redirects are not followed");

  ::wkeLoadURLW(page.view(), (start_url + L"/page.html").c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 2; }, 15000));
  EXPECT_EQ(page.Eval("loaded.join()"), "");
  lines = page.ConsoleLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), L"[error] Failed to load script s.js");
}

// A page on a share or a device path is never read at top level either:
// opening "\\host\share" would hand the user's credentials to that host.
// Each load ends in the error page with the reason; a local file reached by
// a "\\?\" path does not run.
TEST(EngineFileLoad, APageOnAShareOrDevicePathIsNeverRead) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"local.html", "<script>var ran = 1;</script>"));
  const std::vector<std::wstring> urls = {
      L"file://evil-host.invalid/share/x.html", L"file:////evil-host.invalid/share/x.html",
      L"\\\\evil-host.invalid\\share\\x.html",  L"\\\\?\\UNC\\evil-host.invalid\\share\\x.html",
      L"//evil-host.invalid/share/x.html",      L"\\\\?\\" + page.folder() + L"\\local.html"};
  int loads = 0;
  for (const std::wstring& url : urls) {
    ::wkeLoadURLW(page.view(), url.c_str());
    ++loads;
    ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == loads; }, 15000)) << WideToUtf8(url);
    EXPECT_EQ(page.Eval("typeof ran"), "undefined") << WideToUtf8(url);
    const std::vector<std::wstring> lines = page.ConsoleLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().find(L"[error] Failed to load "), 0u) << WideToUtf8(lines.back());
    EXPECT_NE(lines.back().find(L": network paths are never loaded"), std::wstring::npos) << WideToUtf8(lines.back());
  }
}

}  // namespace
}  // namespace halyx::testing
