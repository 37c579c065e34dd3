#include "net/server_address_policy.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include <spdlog/spdlog.h>
#include <uv.h>

#include "base/unique_handle.h"
#include "base/utf8.h"

namespace halyx {
namespace {

// Why an IPv4 address (host byte order) is no public server's.
const char* Ipv4Refusal(uint32_t a) {
  const auto in = [a](uint32_t network, int bits) { return (a >> (32 - bits)) == (network >> (32 - bits)); };
  if (in(0x00000000, 8)) return "an unspecified address";
  if (in(0x7F000000, 8)) return "a loopback address";
  if (in(0xA9FE0000, 16)) return "a link-local address";
  if (in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16) || in(0x64400000, 10)) return "a private address";
  if (in(0xE0000000, 4) || in(0xF0000000, 4)) return "a multicast or reserved address";
  return nullptr;
}

const char* Ipv6Refusal(const uint8_t (&b)[16]) {
  static constexpr uint8_t kZero[12] = {};
  static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static constexpr uint8_t kNat64[12] = {0, 0x64, 0xFF, 0x9B};
  // An IPv4 address inside reaches what that address reaches. "::" and
  // "::1" fall in the compatible range and are judged as 0.0.0.0 and
  // 0.0.0.1 there: unspecified either way.
  if (std::memcmp(b, kZero, 12) == 0 || std::memcmp(b, kMapped, 12) == 0 || std::memcmp(b, kNat64, 12) == 0) {
    if (std::memcmp(b, kZero, 12) == 0 && b[12] == 0 && b[13] == 0 && b[14] == 0 && b[15] == 1) {
      return "a loopback address";
    }
    const uint32_t v4 = (uint32_t{b[12]} << 24) | (uint32_t{b[13]} << 16) | (uint32_t{b[14]} << 8) | b[15];
    return Ipv4Refusal(v4);
  }
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return "a link-local address";
  if ((b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && (b[1] & 0xC0) == 0xC0)) return "a private address";
  if (b[0] == 0xFF) return "a multicast or reserved address";
  return nullptr;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

ServerAddressPolicy ServerAddressPolicy::AllowingLocalServers() {
  ServerAddressPolicy policy;
  policy.allowLocal_ = true;
  return policy;
}

ServerAddressPolicy ServerAddressPolicy::ForThisMachine() {
  // The 64-bit view, where an administrator's "reg add" lands; this 32-bit
  // program would otherwise read WOW6432Node.
  HKEY raw = nullptr;
  const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw);
  if (opened != ERROR_SUCCESS) return {};  // not set: the normal case
  const RegistryKeyHandle key(raw);
  DWORD value = 0;
  DWORD size = sizeof(value);
  DWORD type = REG_NONE;
  const LSTATUS read =
      ::RegQueryValueExW(key.get(), kLocalServersValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (read != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value) || value != 1) return {};
  spdlog::warn("ServerAddressPolicy: local servers are measured (HKLM\\{}\\{} is 1)", WideToUtf8(kMachineKey),
               WideToUtf8(kLocalServersValue));
  return AllowingLocalServers();
}

std::string ServerAddressPolicy::HostRefusal(const std::string& host) const {
  if (allowLocal_) return {};
  std::string name = host;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // A fully qualified name may end with the root's dot.
  if (!name.empty() && name.back() == '.') name.pop_back();

  in_addr v4{};
  if (uv_inet_pton(AF_INET, name.c_str(), &v4) == 0) {
    const char* why = Ipv4Refusal(ntohl(v4.s_addr));
    return why != nullptr ? why : std::string();
  }
  if (name.find(':') != std::string::npos) {
    uint8_t v6[16] = {};
    if (uv_inet_pton(AF_INET6, name.c_str(), v6) != 0) return "not an address";
    const char* why = Ipv6Refusal(v6);
    return why != nullptr ? why : std::string();
  }
  if (name.empty() || name.front() == '.' || name.find("..") != std::string::npos) return "not a host name";
  const std::size_t lastDot = name.rfind('.');
  if (lastDot == std::string::npos) return "an unqualified name";
  if (name == "localhost" || EndsWith(name, ".localhost") || EndsWith(name, ".local")) {
    return "a name of this machine or its link";
  }
  // Top-level domains are alphabetic; a resolver reads "127.1" or "0x7f.1"
  // as an address.
  if (!std::isalpha(static_cast<unsigned char>(name[lastDot + 1]))) return "a shorthand address";
  return {};
}

std::string ServerAddressPolicy::AddressRefusal(const sockaddr* address) const {
  if (allowLocal_ || address == nullptr) return {};
  const char* why = nullptr;
  if (address->sa_family == AF_INET) {
    why = Ipv4Refusal(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
  } else if (address->sa_family == AF_INET6) {
    uint8_t v6[16] = {};
    std::memcpy(v6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, sizeof(v6));
    why = Ipv6Refusal(v6);
  } else {
    why = "not an internet address";
  }
  return why != nullptr ? why : std::string();
}

}  // namespace halyx
