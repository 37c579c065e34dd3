#include <winsock2.h>
#include <windows.h>

#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

// A one-thread HTTP server on an ephemeral loopback port that answers GETs
// of the paths it knows with 200 and anything else with 404, one request per
// connection, until `requests` connections were served.
class TinyHttpServer {
 public:
  TinyHttpServer(std::map<std::string, std::string> files, int requests) : files_(std::move(files)) {
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
      const std::size_t start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      const auto found = files_.find(path);
      const std::string body = found != files_.end() ? found->second : "not here";
      const std::string response = std::string(found != files_.end() ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                                   "\r\nContent-Length: " + std::to_string(body.size()) +
                                   "\r\nConnection: close\r\n\r\n" + body;
      ::send(client, response.data(), static_cast<int>(response.size()), 0);
      ::shutdown(client, SD_SEND);
      ::closesocket(client);
    }
  }

  std::map<std::string, std::string> files_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
};

// Pages over HTTP load on a worker and complete from the message loop, with
// their scripts fetched relative to the page's URL.
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

TEST(EngineHttpLoad, AnErrorStatusShowsAnErrorPageAndStillCompletes) {
  TinyHttpServer server({}, 1);
  EnginePage page;
  const std::wstring address = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/absent.html";
  ::wkeLoadURLW(page.view(), address.c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }, 15000));
  EXPECT_EQ(page.Eval("typeof parts"), "undefined");
}

}  // namespace
}  // namespace halyx::testing
