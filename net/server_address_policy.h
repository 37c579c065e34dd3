// Which servers of a page's list may be measured at all.
//
// The page's lists make this elevated process send UDP probes and HTTP
// requests to hosts of its choosing. Left open, a hostile list would turn
// the client into a scanner of the machine's own ports (loopback) and of
// its network (link-local and private addresses, names only the local
// resolver knows), from behind the firewall. A VPN's servers are public, so
// a list may name only public addresses and fully qualified names:
//
// - refused: loopback, unspecified, link-local, private (RFC 1918, carrier
//   NAT 100.64/10, IPv6 unique and site local), multicast and reserved
//   addresses, IPv4 ones also inside IPv6 (mapped, compatible, NAT64);
//   names with a single label ("localhost", "intranet"), "*.localhost",
//   "*.local" (multicast DNS on the link), and names whose last label is
//   not alphabetic (shorthand addresses such as "127.1" or "0x7f.1");
// - names are checked again once resolved, where the resolution is ours.
//
// Local servers are measured only when an administrator has set the DWORD
// value "MeasureLocalServers" to 1 under HKEY_LOCAL_MACHINE\SOFTWARE\QuorVPN
// (64-bit view): a key no page and no standard user can write. The demo and
// the tests set it, or inject the allowing policy directly.
//
//   ServerAddressPolicy policy = ServerAddressPolicy::ForThisMachine();
//   if (std::string why = policy.HostRefusal(server.host); !why.empty()) ...
//
// Thread: any; a plain value.
#pragma once

#include <winsock2.h>

#include <string>

namespace halyx {

class ServerAddressPolicy {
 public:
  static constexpr const wchar_t* kMachineKey = L"SOFTWARE\\QuorVPN";
  static constexpr const wchar_t* kLocalServersValue = L"MeasureLocalServers";

  // Refuses local servers.
  ServerAddressPolicy() = default;
  // Measures any host.
  static ServerAddressPolicy AllowingLocalServers();
  // Allows local servers when the machine's value says so (one warning line
  // then); refuses them otherwise, also when the value cannot be read.
  static ServerAddressPolicy ForThisMachine();

  bool allowsLocalServers() const { return allowLocal_; }

  // Why `host` (a name or a literal address, as the list gives it) must not
  // be measured; empty when it may.
  std::string HostRefusal(const std::string& host) const;
  // Why a resolved address must not be measured; empty when it may.
  std::string AddressRefusal(const sockaddr* address) const;

 private:
  bool allowLocal_ = false;
};

}  // namespace halyx
