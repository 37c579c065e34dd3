// One HTTP exchange of a page's fetch(): a GET (or a POST of text) over
// WinHTTP, with every redirect followed by hand so that each hop's address
// is put to the caller's rule before it is asked (a provider's address must
// not bounce the request to one the person never entered).
//
// Bounded: the body to `max_body` bytes (a larger one fails the fetch whole),
// the whole exchange, redirects and body included, to `deadline_ms`, and the
// hops to kMaxRedirects. No cookies are sent or kept, no credentials are
// offered (no automatic logon, no authentication), nothing is cached.
//
//   FetchClient::Request request;
//   request.url = "https://provider.example/list.json";
//   FetchClient::Response response = FetchClient::Run(request, rule, limits);
//   if (!response.delivered) Reject(response.error);
//
// Thread: any; Run blocks, so the engine runs it on a worker.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace halyx::engine {

class FetchClient {
 public:
  static constexpr std::size_t kMaxBodyBytes = std::size_t{4} << 20;
  static constexpr unsigned kDeadlineMs = 30000;
  static constexpr int kMaxRedirects = 10;

  struct Request {
    std::string method = "GET";  // GET or POST
    std::string url;
    std::string body;          // POST only
    std::string content_type;  // POST only; empty: text/plain;charset=UTF-8
  };
  struct Limits {
    std::size_t max_body = kMaxBodyBytes;
    unsigned deadline_ms = kDeadlineMs;
  };
  struct Response {
    bool delivered = false;  // a final answer arrived whole (any status)
    int status = 0;
    std::string status_text;
    std::string url;  // after redirects
    std::string content_type;
    std::string body;
    std::string error;  // why nothing was delivered
  };
  // Asked for the first address and for every redirect's target; false with
  // the reason stops the fetch.
  using Rule = std::function<bool(const std::string& url, std::string& why)>;

  static Response Run(const Request& request, const Rule& may_visit, const Limits& limits);

  // `location` (a redirect's Location header) resolved against `base`.
  static std::string Resolve(const std::string& base, const std::string& location);
};

}  // namespace halyx::engine
