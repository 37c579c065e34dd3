// The two messages a watcher posts for each run, in one shape for both kinds
// of measurement: a start message listing every server with its initial
// result, then one result message per server as it finishes.
//
//   RunStartMessage<LatencyResult>  -> {"type":"SetAdInfo","result":0,"id":..,"route":..,"ads":[..]}
//   RunResultMessage<LatencyResult> -> {"type":"AdInfo","result":0,"id":..,"ad":{..}}
//
// RunMessageTypes<Result> names the two types; the result type brings its own
// to_json.
//
// Thread: the loop thread of the posting watcher.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/measure_config.h"

namespace halyx {

template <typename Result>
struct RunMessageTypes;  // kStart, kResult: the page's "type" texts

template <typename Result>
struct RunStartMessage {
  int32_t result = 0;
  std::string id;
  RouteInfo route;
  std::vector<Result> ads;
};

template <typename Result>
struct RunResultMessage {
  int32_t result = 0;
  std::string id;
  Result ad;
};

template <typename Result>
void to_json(nlohmann::json& out, const RunStartMessage<Result>& in) {
  out = nlohmann::json{{"type", RunMessageTypes<Result>::kStart},
                       {"result", in.result},
                       {"id", in.id},
                       {"route", in.route},
                       {"ads", in.ads}};
}

template <typename Result>
void to_json(nlohmann::json& out, const RunResultMessage<Result>& in) {
  out = nlohmann::json{{"type", RunMessageTypes<Result>::kResult}, {"result", in.result}, {"id", in.id}, {"ad", in.ad}};
}

// Posts `message` as compact JSON text to `window`; a failed post is logged
// as "PostMessageW from <source> failed: <error>" and the text freed.
void PostRunMessage(HWND window, UINT id, const nlohmann::json& message, const char* source);

}  // namespace halyx
