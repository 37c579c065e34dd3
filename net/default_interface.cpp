#include "net/default_interface.h"

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

namespace {

// Frees an IP Helper table when it goes out of scope.
struct MibTable {
  void* table = nullptr;
  ~MibTable() {
    if (table) ::FreeMibTable(table);
  }
};

}  // namespace

int32_t ChooseDefaultInterface(const std::vector<RouteRow>& routes, const std::vector<InterfaceRow>& interfaces,
                               const InterfaceUpQuery& interfaceUp) {
  int32_t best = -1;
  ULONG bestMetric = 0xFFFFFFFF;
  for (const RouteRow& route : routes) {
    if (route.prefixLength != 0) continue;
    const std::optional<bool> up = interfaceUp(route);
    if (!up) continue;
    if (!*up) {
      spdlog::info("interface {} not up, skipping...", route.interfaceIndex);
      continue;
    }
    ULONG interfaceMetric = 0;
    for (const InterfaceRow& row : interfaces) {
      if (row.interfaceLuid.Value == route.interfaceLuid.Value) {
        interfaceMetric = row.metric;
        break;
      }
    }
    const ULONG total = route.metric + interfaceMetric;
    if (total < bestMetric && total >= kMinimumDefaultMetric) {
      best = static_cast<int32_t>(route.interfaceIndex);
      bestMetric = total;
    }
  }
  if (best < 0) {
    spdlog::info("default interface index not found");
  } else {
    spdlog::info("current interface is {}, metric is {}", best, bestMetric);
  }
  return best;
}

int32_t SelectDefaultInterface() {
  MibTable routeTable;
  PMIB_IPFORWARD_TABLE2 routes = nullptr;
  DWORD status = ::GetIpForwardTable2(AF_INET, &routes);
  if (status != NO_ERROR) {
    spdlog::warn("GetIpForwardTable2 failed: {:#x}", Win32Code(status));
    return -1;
  }
  routeTable.table = routes;

  MibTable interfaceTable;
  PMIB_IPINTERFACE_TABLE interfaces = nullptr;
  status = ::GetIpInterfaceTable(AF_INET, &interfaces);
  if (status != NO_ERROR) {
    spdlog::warn("GetIpInterfaceTable failed: {:#x}", Win32Code(status));
    return -1;
  }
  interfaceTable.table = interfaces;

  std::vector<RouteRow> routeRows;
  routeRows.reserve(routes->NumEntries);
  for (ULONG i = 0; i < routes->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& row = routes->Table[i];
    routeRows.push_back({row.InterfaceLuid, row.InterfaceIndex, row.DestinationPrefix.PrefixLength, row.Metric});
  }
  std::vector<InterfaceRow> interfaceRows;
  interfaceRows.reserve(interfaces->NumEntries);
  for (ULONG i = 0; i < interfaces->NumEntries; ++i) {
    interfaceRows.push_back({interfaces->Table[i].InterfaceLuid, interfaces->Table[i].Metric});
  }

  return ChooseDefaultInterface(routeRows, interfaceRows, [](const RouteRow& route) -> std::optional<bool> {
    MIB_IF_ROW2 entry{};
    entry.InterfaceLuid = route.interfaceLuid;
    const DWORD result = ::GetIfEntry2(&entry);
    if (result != NO_ERROR) {
      spdlog::warn("GetIfEntry2 failed on {}: {:#x}", route.interfaceIndex, Win32Code(result));
      return std::nullopt;
    }
    return entry.OperStatus == IfOperStatusUp;
  });
}

bool BindToInterface(SOCKET socket, int32_t index, int family) {
  // The IPv4 option takes the index in network byte order, the IPv6 one in
  // host byte order.
  const bool v6 = family == AF_INET6;
  const DWORD value = v6 ? static_cast<DWORD>(index) : ::htonl(static_cast<u_long>(index));
  if (::setsockopt(socket, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_UNICAST_IF : IP_UNICAST_IF,
                   reinterpret_cast<const char*>(&value), sizeof(value)) != 0) {
    spdlog::warn("setsockopt failed on {}: {:#x}", index, SignedErrorCode(::WSAGetLastError()));
    return false;
  }
  return true;
}

}  // namespace halyx
