#include "net/measure_config.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

namespace halyx {

namespace {

// The result messages are JSON, which holds UTF-8 only: the writer throws on
// anything else. Asking the writer itself keeps the two from disagreeing.
bool IsUtf8(const std::string& text) {
  try {
    static_cast<void>(json(text).dump());
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

// What the results echo back: the id, the route and each server's texts.
template <typename Config>
std::string TextRefusal(const Config& config) {
  if (!IsUtf8(config.id)) return "the id is not UTF-8";
  if (!IsUtf8(config.route.name) || !IsUtf8(config.route.title)) return "the route is not UTF-8";
  for (std::size_t i = 0; i < config.servers.size(); ++i) {
    const ServerEntry& server = config.servers[i];
    if (!IsUtf8(server.name) || !IsUtf8(server.title) || !IsUtf8(server.status) || !IsUtf8(server.host) ||
        !IsUtf8(server.protocol)) {
      return fmt::format("server {} is not UTF-8", i);
    }
  }
  return {};
}

// The library converts a floating-point value to an integer with a plain
// cast, undefined outside the integer's range (1e10 as a count), and wraps
// integers that do not fit (-1 as a port): such values are refused instead,
// with the library's own error for a number out of range.
template <typename Integer>
void ReadInteger(const json& in, const char* key, Integer& out) {
  const json& value = in.at(key);
  bool fits = true;
  constexpr auto kMin = std::numeric_limits<Integer>::min();
  constexpr auto kMax = std::numeric_limits<Integer>::max();
  if (value.is_number_float()) {
    // Truncated toward zero, so anything short of one past either end fits.
    const double number = value.get<double>();
    fits = number > static_cast<double>(kMin) - 1.0 && number < static_cast<double>(kMax) + 1.0;
  } else if (value.is_number_unsigned()) {
    fits = value.get<uint64_t>() <= static_cast<uint64_t>(kMax);
  } else if (value.is_number_integer()) {
    const int64_t number = value.get<int64_t>();
    fits = number >= static_cast<int64_t>(kMin) && number <= static_cast<int64_t>(kMax);
  }
  if (!fits) {
    throw json::out_of_range::create(406, fmt::format("number {} out of range for '{}'", value.dump(), key), &value);
  }
  value.get_to(out);
}

bool IsHostText(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_' || c == ':';
  });
}

template <typename Config>
std::string ServerListRefusal(const Config& config) {
  if (config.servers.size() > kMaxMeasuredServers) {
    return fmt::format("{} servers, at most {}", config.servers.size(), kMaxMeasuredServers);
  }
  for (std::size_t i = 0; i < config.servers.size(); ++i) {
    if (!IsHostText(config.servers[i].host)) return fmt::format("server {} has no host name or address", i);
  }
  return TextRefusal(config);
}

}  // namespace

void from_json(const json& in, ServerEntry& out) {
  in.at("protocol").get_to(out.protocol);
  in.at("name").get_to(out.name);
  in.at("title").get_to(out.title);
  in.at("host").get_to(out.host);
  ReadInteger(in, "port", out.port);
  in.at("status").get_to(out.status);
}

void from_json(const json& in, BenchmarkSetting& out) {
  ReadInteger(in, "interval", out.interval);
  in.at("frequency").get_to(out.frequency);
  ReadInteger(in, "count", out.count);
}

void from_json(const json& in, RouteInfo& out) {
  in.at("name").get_to(out.name);
  in.at("title").get_to(out.title);
}

void from_json(const json& in, BenchmarkGameConfig& out) {
  in.at("setting").get_to(out.setting);
  in.at("servers").get_to(out.servers);
  in.at("route").get_to(out.route);
}

void from_json(const json& in, ConnectMediaConfig& out) {
  in.at("servers").get_to(out.servers);
  in.at("route").get_to(out.route);
}

std::string RefusalReason(const BenchmarkGameConfig& config) {
  const BenchmarkSetting& setting = config.setting;
  if (setting.count < 0 || setting.count > kMaxProbesPerServer) {
    return fmt::format("count {}, from 0 to {} probes per server", setting.count, kMaxProbesPerServer);
  }
  if (!(setting.frequency >= kMinProbeSpacing && setting.frequency <= kMaxProbeSpacing)) {
    return fmt::format("spacing {} s, from {} to {} s", setting.frequency, kMinProbeSpacing, kMaxProbeSpacing);
  }
  return ServerListRefusal(config);
}

std::string RefusalReason(const ConnectMediaConfig& config) {
  for (std::size_t i = 0; i < config.servers.size(); ++i) {
    const std::string& protocol = config.servers[i].protocol;
    if (protocol != "http" && protocol != "https") return fmt::format("server {} is neither http nor https", i);
  }
  return ServerListRefusal(config);
}

void to_json(json& out, const RouteInfo& in) { out = json{{"name", in.name}, {"title", in.title}}; }

}  // namespace halyx
