#include "net/measure_config.h"

namespace halyx {

void from_json(const json& in, ServerEntry& out) {
  in.at("protocol").get_to(out.protocol);
  in.at("name").get_to(out.name);
  in.at("title").get_to(out.title);
  in.at("host").get_to(out.host);
  in.at("port").get_to(out.port);
  in.at("status").get_to(out.status);
}

void from_json(const json& in, BenchmarkSetting& out) {
  in.at("interval").get_to(out.interval);
  in.at("frequency").get_to(out.frequency);
  in.at("count").get_to(out.count);
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

void to_json(json& out, const RouteInfo& in) { out = json{{"name", in.name}, {"title", in.title}}; }

}  // namespace halyx
