// The one form in which a web address leaves this process for the shell.
//
// A page's text is not handed on as it came: Explorer, the URL's protocol
// handler and the browser each parse it again, and where their parsers
// disagree (a backslash read as a path by one and as part of the host by
// another, "user@" information, an escape that decodes to a separator) the
// text opens something else than what was checked. WebUrl takes an http or
// https address apart, refuses what has no single reading, and writes it
// again from its parts:
//
//   std::wstring url;
//   if (WebUrl::Canonical(L"HTTPS://Example.COM:0443/a b", url))  // "https://example.com:443/a%20b"
//
// Thread: any.
#pragma once

#include <cstddef>
#include <string>

namespace halyx {

class WebUrl {
 public:
  // Longer texts are no link but an attempt to exhaust something.
  static constexpr std::size_t kMaxLength = 8192;

  // `url` rewritten as scheme (lower case) "://" host (lower case) [":"
  // port (decimal, 1..65535)] path (at least "/") [query] [fragment], with
  // everything in path, query and fragment that is not a URL character
  // percent-encoded as UTF-8. False, `out` unchanged, for anything that is
  // not an http or https URL with a host, or that holds user information,
  // a backslash, a control character, a non-ASCII or percent-encoded host,
  // or a bad port.
  static bool Canonical(const std::wstring& url, std::wstring& out);
};

}  // namespace halyx
