#include "net/measure_config.h"

#include <limits>
#include <tuple>

#include <gtest/gtest.h>

namespace halyx {
namespace {

json BenchmarkDocument() {
  return json::parse(R"({
    "setting": {"interval": 3, "frequency": 0.2, "count": 10, "extra": 1},
    "servers": [
      {"protocol": "udp", "name": "jp-1", "title": "Tokyo", "host": "jp.example", "port": 5001,
       "status": "NORMAL", "unknown": [1, 2]},
      {"protocol": "tcp", "name": "us-1", "title": "Dallas", "host": "10.0.0.1", "port": 6001,
       "status": "BUSY"}
    ],
    "route": {"name": "game", "title": "Game route"},
    "ignored": true
  })");
}

// The readers fill every field in document order and ignore keys they do not know.
TEST(MeasureConfigReader, FillsBenchmarkRecordAndIgnoresOtherKeys) {
  BenchmarkGameConfig config;
  BenchmarkDocument().get_to(config);
  EXPECT_EQ(config.id, "");
  EXPECT_EQ(std::tie(config.setting.interval, config.setting.count), std::make_tuple(3, 10));
  EXPECT_DOUBLE_EQ(config.setting.frequency, 0.2);
  ASSERT_EQ(config.servers.size(), 2u);
  const ServerEntry& first = config.servers[0];
  EXPECT_EQ(std::tie(first.protocol, first.name, first.title, first.host, first.status),
            std::make_tuple("udp", "jp-1", "Tokyo", "jp.example", "NORMAL"));
  EXPECT_EQ(first.port, 5001);
  EXPECT_EQ(config.servers[1].status, "BUSY");
  EXPECT_EQ(std::tie(config.route.name, config.route.title), std::make_tuple("game", "Game route"));

  ConnectMediaConfig media;
  json document = BenchmarkDocument();
  document.erase("setting");
  document.get_to(media);
  EXPECT_EQ(media.servers.size(), 2u);
  EXPECT_EQ(media.route.name, "game");
}

// A bad document raises the library's error at the first bad key, naming what is wrong.
TEST(MeasureConfigReader, RejectsMissingKeysAndWrongTypes) {
  struct Case {
    const char* what;
    json::json_pointer path;
    json value;  // null: remove the key
    int id;
    const char* text;
  };
  const Case cases[] = {
      {"missing count", json::json_pointer("/setting/count"), nullptr, 403, "key 'count' not found"},
      {"missing route", json::json_pointer("/route"), nullptr, 403, "key 'route' not found"},
      {"string port", json::json_pointer("/servers/1/port"), "6001", 302, "type must be number, but is string"},
      {"boolean frequency", json::json_pointer("/setting/frequency"), true, 302, "type must be number, but is boolean"},
      {"servers not a list", json::json_pointer("/servers"), json::object(), 302, "type must be array, but is object"},
      {"numeric name", json::json_pointer("/servers/0/name"), 7, 302, "type must be string, but is number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    json document = BenchmarkDocument();
    if (c.value.is_null()) {
      document[c.path.parent_pointer()].erase(c.path.back());
    } else {
      document[c.path] = c.value;
    }
    BenchmarkGameConfig config;
    try {
      document.get_to(config);
      ADD_FAILURE() << "no error";
    } catch (const json::exception& e) {
      EXPECT_EQ(e.id, c.id);
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
    }
  }
}

// Integer fields take floating-point values (truncated) and booleans; frequency takes integers.
TEST(MeasureConfigReader, ConvertsNumbersAsTheLibraryDoes) {
  json document = BenchmarkDocument();
  document["setting"]["interval"] = true;
  document["setting"]["count"] = 10.9;
  document["setting"]["frequency"] = 2;
  document["servers"][0]["port"] = 8080.7;
  document["servers"][1]["port"] = false;
  BenchmarkGameConfig config;
  document.get_to(config);
  EXPECT_EQ(config.setting.interval, 1);
  EXPECT_EQ(config.setting.count, 10);
  EXPECT_DOUBLE_EQ(config.setting.frequency, 2.0);
  EXPECT_EQ(config.servers[0].port, 8080);
  EXPECT_EQ(config.servers[1].port, 0);
}

// A number that does not fit its field is refused, not wrapped or converted with undefined
// behaviour; one that fits after truncation is taken.
TEST(MeasureConfigReader, RefusesNumbersOutOfTheirFieldsRange) {
  struct Case {
    const char* path;
    json value;
  };
  const Case refused[] = {
      {"/setting/count", 1e10},     {"/setting/count", 4294967296u},   {"/setting/interval", -1e300},
      {"/servers/0/port", 1e10},    {"/servers/0/port", -1},           {"/servers/1/port", 65536},
      {"/servers/1/port", 65536.0}, {"/setting/count", -2147483649.0},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(std::string(c.path) + " = " + c.value.dump());
    json document = BenchmarkDocument();
    document[json::json_pointer(c.path)] = c.value;
    BenchmarkGameConfig config;
    try {
      document.get_to(config);
      ADD_FAILURE() << "taken";
    } catch (const json::out_of_range& e) {
      EXPECT_EQ(e.id, 406);
    }
  }
  json document = BenchmarkDocument();
  document["servers"][0]["port"] = 65535.9;
  document["setting"]["count"] = -2147483648.5;
  BenchmarkGameConfig config;
  document.get_to(config);
  EXPECT_EQ(config.servers[0].port, 65535);
  EXPECT_EQ(config.setting.count, std::numeric_limits<int32_t>::min());
}

// A run beyond the documented limits, or with a host that is neither a name nor an address, is
// refused with its reason; one at the limits is taken.
TEST(MeasureConfigLimits, RefusesRunsBeyondTheLimits) {
  const auto game = [](int servers, int32_t count, double frequency) {
    BenchmarkGameConfig config;
    config.setting = {0, frequency, count};
    for (int i = 0; i < servers; ++i) config.servers.push_back({"udp", "s", "S", "10.0.0.1", 1, ""});
    return config;
  };
  EXPECT_EQ(RefusalReason(game(1000, 100, 0.01)), "");
  EXPECT_EQ(RefusalReason(game(1, 0, 10.0)), "");
  EXPECT_EQ(RefusalReason(game(1001, 1, 0.1)), "1001 servers, at most 1000");
  EXPECT_EQ(RefusalReason(game(1, 101, 0.1)), "count 101, from 0 to 100 probes per server");
  EXPECT_EQ(RefusalReason(game(1, -1, 0.1)), "count -1, from 0 to 100 probes per server");
  EXPECT_EQ(RefusalReason(game(1, 10, 0.001)), "spacing 0.001 s, from 0.01 to 10 s");
  EXPECT_EQ(RefusalReason(game(1, 10, 1e300)), "spacing 1e+300 s, from 0.01 to 10 s");
  BenchmarkGameConfig badHost = game(2, 1, 0.1);
  badHost.servers[1].host = "evil.example/path?";
  EXPECT_EQ(RefusalReason(badHost), "server 1 has no host name or address");

  ConnectMediaConfig media;
  media.servers.push_back({"https", "a", "A", "::1", 443, "ONLINE"});
  EXPECT_EQ(RefusalReason(media), "");
  media.servers.push_back({"file", "b", "B", "host", 1, "ONLINE"});
  EXPECT_EQ(RefusalReason(media), "server 1 is neither http nor https");
  media.servers.pop_back();
  const ServerEntry one = media.servers[0];
  media.servers.resize(1001, one);
  EXPECT_EQ(RefusalReason(media), "1001 servers, at most 1000");
}

}  // namespace
}  // namespace halyx
