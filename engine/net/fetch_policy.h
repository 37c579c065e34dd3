// Which addresses the client's own page may fetch, decided in one place.
//
// fetch() hands a page's script the answer of another server, and that page
// holds the bridge to the elevated client; so the page may not widen what it
// reaches on its own. An address passes when:
//   - its scheme is https, or http to this machine (127.0.0.1, localhost,
//     [::1]) where no one is on the path;
//   - it carries no user name or password;
//   - its origin ("scheme://host:port", lower case, default port filled in)
//     is a provider origin compiled into the engine (ProviderOrigins) or one
//     the person granted.
// A grant comes only from the person: a fetch started from a click or key
// handler whose origin is the origin of the text the person typed, as it
// still stands, into a text field of the page (see WebView::Fetch). Grants
// are kept across runs in a store that script cannot write.
//
//   std::string why;
//   if (!FetchPolicy::Allows(url, granted, why)) Reject(why);
//
// Thread: any; pure functions.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace halyx::engine {

class FetchPolicy {
 public:
  // The provider's own origins, trusted without a grant. Empty for now:
  // the one place to add one.
  static const std::vector<std::string>& ProviderOrigins();

  // "scheme://host:port" of an http(s) URL, lower case, the default port
  // filled in; empty for anything else or for a URL with user information.
  static std::string OriginOf(const std::string& url);
  // Whether `url` has a scheme and host a fetch may use at all (https, or
  // http to a loopback host, no user information); else why not.
  static bool SchemeAllowed(const std::string& url, std::string& why);
  // Whether the page may fetch `url` now, given the person's grants.
  static bool Allows(const std::string& url, const std::set<std::string>& granted, std::string& why);
};

}  // namespace halyx::engine
