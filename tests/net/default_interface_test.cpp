#include "net/default_interface.h"

#include <map>

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace halyx {
namespace {

using testing::LogCapture;

RouteRow Route(ULONG64 luid, NET_IFINDEX index, ULONG metric, UINT8 prefix = 0) {
  RouteRow row;
  row.interfaceLuid.Value = luid;
  row.interfaceIndex = index;
  row.prefixLength = prefix;
  row.metric = metric;
  return row;
}

InterfaceRow Interface(ULONG64 luid, ULONG metric) {
  InterfaceRow row;
  row.interfaceLuid.Value = luid;
  row.metric = metric;
  return row;
}

// Interface states by LUID; an unknown LUID reads as a failed query.
InterfaceUpQuery States(std::map<ULONG64, bool> up) {
  return [up](const RouteRow& route) -> std::optional<bool> {
    auto it = up.find(route.interfaceLuid.Value);
    if (it == up.end()) return std::nullopt;
    return it->second;
  };
}

// The choice takes the up default route with the lowest total metric above 4, first on ties.
TEST(ChooseDefaultInterface, PicksLowestQualifyingTotal) {
  struct Case {
    const char* what;
    std::vector<RouteRow> routes;
    std::vector<InterfaceRow> interfaces;
    std::map<ULONG64, bool> up;
    int32_t expected;
  };
  const Case cases[] = {
      {"lower total wins",
       {Route(1, 11, 10), Route(2, 12, 10)},
       {Interface(1, 25), Interface(2, 15)},
       {{1, true}, {2, true}},
       12},
      {"total of 3 is a tunnel, never chosen",
       {Route(1, 11, 0), Route(2, 12, 10)},
       {Interface(1, 3), Interface(2, 25)},
       {{1, true}, {2, true}},
       12},
      {"total of exactly 5 is accepted",
       {Route(1, 11, 2), Route(2, 12, 30)},
       {Interface(1, 3), Interface(2, 5)},
       {{1, true}, {2, true}},
       11},
      {"a total of 4 is refused", {Route(1, 11, 4)}, {}, {{1, true}}, -1},
      {"only route down", {Route(1, 11, 10)}, {Interface(1, 25)}, {{1, false}}, -1},
      {"no interface row: route metric alone",
       {Route(1, 11, 30), Route(2, 12, 10)},
       {Interface(1, 10)},
       {{1, true}, {2, true}},
       12},
      {"equal totals: the first in table order",
       {Route(2, 12, 20), Route(1, 11, 20)},
       {Interface(1, 5), Interface(2, 5)},
       {{1, true}, {2, true}},
       12},
      {"non-default routes are ignored", {Route(1, 11, 5, 24), Route(2, 12, 50)}, {}, {{1, true}, {2, true}}, 12},
      {"unreadable interface state skips the route", {Route(3, 13, 6), Route(2, 12, 50)}, {}, {{2, true}}, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ChooseDefaultInterface(c.routes, c.interfaces, States(c.up)), c.expected);
  }
}

// The choice says in the log why it found nothing, and what it chose.
TEST(ChooseDefaultInterface, LogsSkippedInterfacesAndTheOutcome) {
  {
    LogCapture log;
    EXPECT_EQ(ChooseDefaultInterface({Route(1, 7, 10)}, {}, States({{1, false}})), -1);
    EXPECT_TRUE(log.Has(spdlog::level::info, "interface 7 not up, skipping..."));
    EXPECT_TRUE(log.Has(spdlog::level::info, "default interface index not found"));
  }
  LogCapture log;
  EXPECT_EQ(ChooseDefaultInterface({Route(1, 7, 10)}, {Interface(1, 25)}, States({{1, true}})), 7);
  EXPECT_TRUE(log.Has(spdlog::level::info, "current interface is 7, metric is 35"));
}

// Reading the live tables never fails hard: it returns an index or -1 (under Wine
// the interface table cannot be read).
TEST(SelectDefaultInterface, ReturnsIndexOrMinusOne) {
  LogCapture log;
  const int32_t index = SelectDefaultInterface();
  EXPECT_GE(index, -1);
  if (index < 0) {
    EXPECT_GE(log.CountAtLeast(spdlog::level::info), 1u);
  }
}

}  // namespace
}  // namespace halyx
