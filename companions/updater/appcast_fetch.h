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

  // False with `error` saying, in words for the user, what went wrong.
  static bool Get(const std::wstring& url, std::string& body, std::string& error);
  // Whether Get would fetch `url` at all (scheme and host as above).
  static bool IsAllowedUrl(const std::wstring& url);
};

}  // namespace halyx::update
