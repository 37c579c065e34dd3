// The configuration records of the measurements and their JSON readers.
//
// The page hands each measurement over as a JSON document; the dispatch layer
// parses it, fills a record with these readers, sets the id from its own
// argument and posts the record to an IoLoop:
//
//   auto config = std::make_shared<BenchmarkGameConfig>();
//   json::parse(text).get_to(*config);   // may throw json::exception
//   config->id = id;
//   ioLoop.PostGameConfig(config);
//
// The readers fill every field but id, in document order, and throw the JSON
// library's exceptions at the first bad key: out_of_range 403 for a missing
// key, type_error 302 for a value of the wrong type. Numbers go through the
// library's standard conversions: integer fields also take floating-point
// values (truncated) and booleans; "frequency" takes no boolean. A number
// that does not fit its field (1e10 as a count, -1 or 70000 as a port)
// raises out_of_range 406 instead of wrapping. Keys the readers do not know
// are ignored.
//
// A record is never changed once it has been posted: the loop thread and the
// watcher that runs it share it read-only.
//
// The watchers run a record only when RefusalReason finds nothing against
// it. The page's lists make this elevated process send UDP probes and HTTP
// requests to hosts of its choosing, so a run is held to the limits below;
// each host must be a name or a literal address (letters, digits, ". - _ :"),
// and every text the results echo back to the page must be UTF-8, or the
// result messages could not be written.
//
// Thread: any; plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace halyx {

using json = nlohmann::json;

// One server of a list. The benchmark uses name, title, host and port; the
// connectivity test also protocol and status.
struct ServerEntry {
  std::string protocol;
  std::string name;
  std::string title;
  std::string host;  // a host name or a literal address
  uint16_t port = 0;
  std::string status;
};

struct BenchmarkSetting {
  int32_t interval = 0;    // kept, but no measurement uses it
  double frequency = 0.0;  // seconds between two probes
  int32_t count = 0;       // probes per server
};

struct RouteInfo {
  std::string name;
  std::string title;
};

// A latency benchmark run ("SetAdInfo"); the loop calls it game.
struct BenchmarkGameConfig {
  std::string id;
  BenchmarkSetting setting;
  std::vector<ServerEntry> servers;
  RouteInfo route;
};

// A connectivity test run ("SetAdGlobal"); the loop calls it media.
struct ConnectMediaConfig {
  std::string id;
  std::vector<ServerEntry> servers;
  RouteInfo route;
};

void from_json(const json& in, ServerEntry& out);
void from_json(const json& in, BenchmarkSetting& out);
void from_json(const json& in, RouteInfo& out);
void from_json(const json& in, BenchmarkGameConfig& out);
void from_json(const json& in, ConnectMediaConfig& out);

// What a page may order in one run.
constexpr std::size_t kMaxMeasuredServers = 1000;
constexpr int32_t kMaxProbesPerServer = 100;  // "count"; 0 reports every server lost
constexpr double kMinProbeSpacing = 0.01;     // "frequency", seconds between two probes
constexpr double kMaxProbeSpacing = 10.0;

// Why a run must not go ahead, for the watcher's warning; empty when it may.
std::string RefusalReason(const BenchmarkGameConfig& config);
std::string RefusalReason(const ConnectMediaConfig& config);

// {"name":..,"title":..}, as the result messages echo the route.
void to_json(json& out, const RouteInfo& in);

}  // namespace halyx
