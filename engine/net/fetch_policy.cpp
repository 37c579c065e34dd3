#include "engine/net/fetch_policy.h"

#include <algorithm>
#include <cctype>

namespace halyx::engine {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsLoopbackHost(const std::string& host) { return host == "127.0.0.1" || host == "localhost" || host == "[::1]"; }

}  // namespace

const std::vector<std::string>& FetchPolicy::ProviderOrigins() {
  static const std::vector<std::string> origins;
  return origins;
}

std::string FetchPolicy::OriginOf(const std::string& url) {
  const std::string lower = Lower(url);
  // Backslashes, spaces and control characters are read one way here and
  // maybe another by the HTTP stack: such an address is refused whole.
  if (std::any_of(lower.begin(), lower.end(),
                  [](char c) { return c == '\\' || static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; })) {
    return {};
  }
  const std::size_t scheme_end = lower.find("://");
  if (scheme_end == std::string::npos) return {};
  const std::string scheme = lower.substr(0, scheme_end);
  if (scheme != "http" && scheme != "https") return {};
  const std::size_t host_start = scheme_end + 3;
  // A backslash ends the host for WinHTTP's parser as well as for browsers.
  const std::string authority = lower.substr(host_start, lower.find_first_of("/\\?#", host_start) - host_start);
  if (authority.empty() || authority.find('@') != std::string::npos) return {};
  std::string host = authority;
  std::string port;
  const std::size_t bracket = authority.rfind(']');
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
      return {};
    }
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535) return {};
    port = std::to_string(number);
  } else {
    port = scheme == "https" ? "443" : "80";
  }
  if (host.empty()) return {};
  // Only names, IPv4 dots and bracketed IPv6: anything else (spaces,
  // percent escapes, control characters) may be read differently by the
  // HTTP stack than here.
  const bool plain = std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '[' || c == ']' ||
           c == ':' || c == '_';
  });
  if (!plain) return {};
  return scheme + "://" + host + ":" + port;
}

bool FetchPolicy::SchemeAllowed(const std::string& url, std::string& why) {
  const std::string origin = OriginOf(url);
  if (origin.empty()) {
    why = "only http(s) addresses without a user name or password";
    return false;
  }
  if (origin.compare(0, 8, "https://") == 0) return true;
  const std::size_t host_start = 7;
  const std::string host = origin.substr(host_start, origin.rfind(':') - host_start);
  if (IsLoopbackHost(host)) return true;
  why = "plain http only to this machine";
  return false;
}

bool FetchPolicy::Allows(const std::string& url, const std::set<std::string>& granted, std::string& why) {
  if (!SchemeAllowed(url, why)) return false;
  const std::string origin = OriginOf(url);
  const std::vector<std::string>& providers = ProviderOrigins();
  if (granted.count(origin) != 0 || std::find(providers.begin(), providers.end(), origin) != providers.end()) {
    return true;
  }
  why = origin + " is not an address the person entered";
  return false;
}

}  // namespace halyx::engine
