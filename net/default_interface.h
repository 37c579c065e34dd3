// The machine's real default IPv4 interface, for binding latency probes to
// it so they do not leave through whatever adapter routes best at the moment
// (the tunnel's own, for one).
//
// The choice: default routes (prefix length 0) whose interface is up, the
// lowest route metric plus interface metric, never a total of 4 or less
// (tunnel adapters advertise such metrics), the first route in table order
// on ties. ChooseDefaultInterface makes it over rows; SelectDefaultInterface
// reads the rows from IP Helper and makes it.
//
//   const int32_t index = SelectDefaultInterface();   // -1: none, do not bind
//   if (index >= 0) BindToInterface(socket, index);
//
// Thread: any; blocks only for the table queries.
#pragma once

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace halyx {

// What the choice uses of one IPv4 route.
struct RouteRow {
  NET_LUID interfaceLuid{};
  NET_IFINDEX interfaceIndex = 0;
  UINT8 prefixLength = 0;
  ULONG metric = 0;
};

// What the choice uses of one IPv4 interface.
struct InterfaceRow {
  NET_LUID interfaceLuid{};
  ULONG metric = 0;
};

// Tells whether a route's interface is up; nullopt when its state cannot be
// read (logged by the reader), which skips the route.
using InterfaceUpQuery = std::function<std::optional<bool>(const RouteRow& route)>;

// The smallest total metric that can be chosen.
constexpr ULONG kMinimumDefaultMetric = 5;

// The chosen interface index, or -1.
int32_t ChooseDefaultInterface(const std::vector<RouteRow>& routes, const std::vector<InterfaceRow>& interfaces,
                               const InterfaceUpQuery& interfaceUp);

// Reads the live tables; -1 when none qualifies or a table cannot be read.
int32_t SelectDefaultInterface();

// Makes the sends of a socket of `family` (AF_INET or AF_INET6) leave
// through interface `index`. False after the warning "setsockopt failed on
// {}: {}".
bool BindToInterface(SOCKET socket, int32_t index, int family = AF_INET);

}  // namespace halyx
