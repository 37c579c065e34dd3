#include "net/server_address_policy.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_handle.h"
#include "net_fixtures.h"
#include "base/window_messages.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::EchoServer;
using testing::HttpEndpoint;
using testing::LogCapture;
using testing::ResultWindow;

sockaddr_storage Address(const std::string& text) {
  sockaddr_storage address{};
  if (uv_ip4_addr(text.c_str(), 7, reinterpret_cast<sockaddr_in*>(&address)) != 0) {
    EXPECT_EQ(uv_ip6_addr(text.c_str(), 7, reinterpret_cast<sockaddr_in6*>(&address)), 0) << text;
  }
  return address;
}

// Only public servers named by address or fully qualified name are measured,
// whether the host is judged as the list gives it or as it resolved; the
// allowing policy measures anything.
TEST(ServerAddressPolicy, OnlyPublicAddressesAndQualifiedNamesAreMeasured) {
  struct Row {
    std::string host;
    std::string refusal;  // empty: measured
  };
  const std::vector<Row> hosts = {
      {"vpn.example.com", ""},
      {"VPN.Example.COM.", ""},
      {"8.8.8.8", ""},
      {"2001:db8::1", ""},
      {"100.63.255.255", ""},
      {"172.32.0.1", ""},
      {"127.0.0.1", "a loopback address"},
      {"127.255.0.9", "a loopback address"},
      {"::1", "a loopback address"},
      {"::ffff:127.0.0.1", "a loopback address"},
      {"64:ff9b::7f00:1", "a loopback address"},
      {"0.0.0.0", "an unspecified address"},
      {"::", "an unspecified address"},
      {"169.254.169.254", "a link-local address"},
      {"fe80::1", "a link-local address"},
      {"10.0.0.1", "a private address"},
      {"172.16.5.4", "a private address"},
      {"192.168.1.1", "a private address"},
      {"100.64.0.1", "a private address"},
      {"fd00::1", "a private address"},
      {"::ffff:192.168.0.1", "a private address"},
      {"224.0.0.251", "a multicast or reserved address"},
      {"255.255.255.255", "a multicast or reserved address"},
      {"ff02::1", "a multicast or reserved address"},
      {"localhost", "an unqualified name"},
      {"LOCALHOST.", "an unqualified name"},
      {"intranet", "an unqualified name"},
      {"2130706433", "an unqualified name"},
      {"printer.local", "a name of this machine or its link"},
      {"a.localhost", "a name of this machine or its link"},
      {"127.1", "a shorthand address"},
      {"0x7f.1", "a shorthand address"},
      {"127.000.000.001", "a shorthand address"},
      {"1:2:3", "not an address"},
      {".example.com", "not a host name"},
      {"a..example.com", "not a host name"},
  };
  const ServerAddressPolicy policy;
  const ServerAddressPolicy allowing = ServerAddressPolicy::AllowingLocalServers();
  for (const Row& row : hosts) {
    EXPECT_EQ(policy.HostRefusal(row.host), row.refusal) << row.host;
    EXPECT_EQ(allowing.HostRefusal(row.host), "") << row.host;
  }
  // Resolved addresses: a public name may resolve to any of these.
  const std::vector<Row> resolved = {
      {"93.184.216.34", ""},
      {"2606:2800:220:1::1", ""},
      {"127.0.0.1", "a loopback address"},
      {"::1", "a loopback address"},
      {"10.1.2.3", "a private address"},
      {"fe80::5", "a link-local address"},
      {"169.254.0.1", "a link-local address"},
  };
  for (const Row& row : resolved) {
    const sockaddr_storage address = Address(row.host);
    EXPECT_EQ(policy.AddressRefusal(reinterpret_cast<const sockaddr*>(&address)), row.refusal) << row.host;
    EXPECT_EQ(allowing.AddressRefusal(reinterpret_cast<const sockaddr*>(&address)), "") << row.host;
  }
}

// The machine's value as it was before a test, put back however the test
// ends.
class MachineValue {
 public:
  MachineValue() {
    HKEY raw = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServerAddressPolicy::kMachineKey, 0, nullptr, 0,
                          KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr, &raw,
                          &disposition_) == ERROR_SUCCESS) {
      key_.reset(raw);
    }
    DWORD size = sizeof(before_);
    had_ = key_ && ::RegQueryValueExW(key_.get(), ServerAddressPolicy::kLocalServersValue, nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(&before_), &size) == ERROR_SUCCESS;
  }
  ~MachineValue() {
    if (!key_) return;
    if (had_) {
      Set(REG_DWORD, before_);
    } else {
      ::RegDeleteValueW(key_.get(), ServerAddressPolicy::kLocalServersValue);
    }
    if (disposition_ == REG_CREATED_NEW_KEY) {
      key_.reset();
      ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ServerAddressPolicy::kMachineKey, KEY_WOW64_64KEY, 0);
    }
  }
  bool ok() const { return key_.valid(); }
  bool Set(DWORD type, DWORD value) const {
    return ::RegSetValueExW(key_.get(), ServerAddressPolicy::kLocalServersValue, 0, type,
                            reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
  }
  void Remove() const { ::RegDeleteValueW(key_.get(), ServerAddressPolicy::kLocalServersValue); }

 private:
  RegistryKeyHandle key_;
  DWORD disposition_ = 0;
  DWORD before_ = 0;
  bool had_ = false;
};

// The switch is the machine's: only the value 1 (a DWORD) under the
// administrators' key turns local servers on.
TEST(ServerAddressPolicy, LocalServersOnlyWithTheMachinesValue) {
  MachineValue value;
  ASSERT_TRUE(value.ok());
  value.Remove();
  EXPECT_FALSE(ServerAddressPolicy::ForThisMachine().allowsLocalServers());
  ASSERT_TRUE(value.Set(REG_DWORD, 0));
  EXPECT_FALSE(ServerAddressPolicy::ForThisMachine().allowsLocalServers());
  ASSERT_TRUE(value.Set(REG_BINARY, 1));
  EXPECT_FALSE(ServerAddressPolicy::ForThisMachine().allowsLocalServers());
  ASSERT_TRUE(value.Set(REG_DWORD, 1));
  LogCapture log;
  EXPECT_TRUE(ServerAddressPolicy::ForThisMachine().allowsLocalServers());
  EXPECT_TRUE(
      log.Has(spdlog::level::warn,
              "ServerAddressPolicy: local servers are measured (HKLM\\SOFTWARE\\QuorVPN\\MeasureLocalServers is 1)"));
}

// A hostile list sends nothing to this machine: each refused server is
// reported lost (or "MAINTAIN") with one warning, and no datagram or request
// reaches the local stand-ins, while the run still ends.
TEST(ServerAddressPolicy, WatchersSendNothingToRefusedServers) {
  EchoServer echo;
  HttpEndpoint http;
  ASSERT_TRUE(echo.ok() && http.ok());
  ResultWindow window;
  LogCapture log;
  {
    IoLoop ioLoop(window.get(), ServerAddressPolicy());
    ASSERT_TRUE(ioLoop.Start());
    auto game = std::make_shared<BenchmarkGameConfig>();
    game->id = "g";
    game->setting = {0, 0.05, 3};
    game->servers = {{"udp", "a", "A", "127.0.0.1", echo.Port(), ""}, {"udp", "b", "B", "localhost", echo.Port(), ""}};
    ioLoop.PostGameConfig(game);
    auto media = std::make_shared<ConnectMediaConfig>();
    media->id = "m";
    media->servers = {{"http", "w", "W", "127.0.0.1", http.Port(), "OK"}};
    ioLoop.PostMediaConfig(media);
    ASSERT_TRUE(window.PumpUntil(
        [&] {
          return log.Has(spdlog::level::info, "benchmarak finished: g") &&
                 log.Has(spdlog::level::info, "connectivity testing finished: m");
        },
        10000));
  }
  window.Pump(100);
  EXPECT_TRUE(log.Has(spdlog::level::warn, "BenchmarkWatcher: server a not measured: 127.0.0.1 is a loopback address"));
  EXPECT_TRUE(
      log.Has(spdlog::level::warn, "BenchmarkWatcher: server b not measured: localhost is an unqualified name"));
  EXPECT_TRUE(
      log.Has(spdlog::level::warn, "ConnectivityWatcher: server w not tested: 127.0.0.1 is a loopback address"));
  const auto lost = window.Parsed(kAdInfoMessage);
  ASSERT_EQ(lost.size(), 2u);
  for (const json& result : lost) EXPECT_EQ(result["ad"]["dropRate"], 1.0);
  const auto untested = window.Parsed(kAdGlobalMessage);
  ASSERT_EQ(untested.size(), 1u);
  EXPECT_EQ(untested[0]["ad"]["status"], "MAINTAIN");
  EXPECT_EQ(echo.Stats().received, 0);
  EXPECT_EQ(http.Stats().requests, 0);
}

}  // namespace
}  // namespace halyx
