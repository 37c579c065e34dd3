// Fetches an appcast over WinHTTP: one GET, the answer's body when the
// status is 200, at most Appcast::kMaxBytes bytes of it.
//
//   std::string body, error;
//   if (!AppcastFetch::Get(L"https://updates.example/api/check", body, error)) Show(error);
//
// Only https URLs are fetched, and plain http to this machine (localhost,
// 127.0.0.1, [::1]): update offers read over plain http could be changed by
// anyone on the path. Each step has a 10 s timeout and the whole fetch a
// 30 s deadline, so a server that trickles its answer cannot hold the check.
//
// Thread: a worker thread of its own (Get blocks).
#pragma once

#include <string>

#include "base/winhttp_handle.h"

namespace halyx::update {

class AppcastFetch {
 public:
  struct UrlParts {
    bool secure = false;
    std::wstring host;
    unsigned short port = 0;
    std::wstring pathAndQuery;
  };
  // Splits an http or https URL; false for anything else.
  static bool Split(const std::wstring& url, UrlParts& out);
  // Whether `parts` may be fetched: https, or http to this machine.
  static bool IsAllowed(const UrlParts& parts);

  // A GET under way whose answer came with status 200; the body is still
  // to be read from `request`.
  struct Request {
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
  };
  // Sends a GET for `parts`, each step bounded by `stepTimeoutMs`, and waits
  // for a 200 answer. False with `error` in words for the user, naming
  // `task` ("<task> could not start") or `server` ("<server> could not be
  // reached", "<server>'s answer could not be read", "<server> answered with
  // status N").
  static bool Open(const UrlParts& parts, int stepTimeoutMs, const char* task, const char* server, Request& out,
                   std::string& error);
  // `what` with the thread's last error code: "<what> (error N)".
  static std::string Failed(const std::string& what);

  // False with `error` saying, in words for the user, what went wrong.
  static bool Get(const std::wstring& url, std::string& body, std::string& error);
  // Whether Get would fetch `url` at all (scheme and host as above).
  static bool IsAllowedUrl(const std::wstring& url);
};

}  // namespace halyx::update
