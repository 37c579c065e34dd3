// Supervision of the two services the tunnel depends on: the tunnel service
// itself, brought up when its pipe is missing, and the system's DNS client,
// enabled and started before each tunnel start.
//
// Both procedures block while they wait for the service control manager, and
// every wait is bounded (ServiceHandle::kMaxStateReads polls).
//
// Thread: GUI thread.
#pragma once

#include <functional>
#include <string_view>

namespace halyx {

constexpr const char* kTunnelServiceName = "QuorTunnel";
constexpr const char* kDnsCacheServiceName = "DnsCache";

// Raises a local notice {"type":<type>,"result":<result>} for the page. The
// tunnel manager fills it with its own event raising.
using NoticeHook = std::function<void(std::string_view type, int result)>;

// Makes sure "DnsCache" is enabled (automatic start if it was disabled) and
// running. True when it runs afterwards.
bool CheckDnsCacheService();

// Called when the service's pipe is missing: starts "QuorTunnel", first
// stopping it if it claims to run without offering its pipe. When the
// service cannot be opened, raises {"type":"QueryTunnel","result":102}
// through `raiseNotice` (if set). True when the service runs afterwards.
bool EnsureTunnelService(const NoticeHook& raiseNotice);

}  // namespace halyx
