#include "net/measure_config.h"

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

}  // namespace
}  // namespace halyx
