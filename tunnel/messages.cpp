#include "tunnel/messages.h"

#include <cmath>
#include <limits>

namespace halyx {
namespace {

json TypedObject(const char* type) { return json::object({{"type", type}}); }

bool HasType(const json& in, const char* type) {
  if (!in.is_object()) return false;
  const auto it = in.find("type");
  // A non-string "type" compares unequal rather than failing differently.
  return it != in.end() && *it == type;
}

// "result" is a signed 32-bit integer, but services have been seen to send
// booleans and floats; both are accepted, anything else is not. An integer
// outside the 32-bit range is malformed rather than wrapped: 4294967296
// wrapped is 0, and would read as success.
bool ReadResult(const json& in, int32_t& result) {
  const auto it = in.find("result");
  if (it == in.end()) return false;
  switch (it->type()) {
    case json::value_t::boolean:
      result = it->get<bool>() ? 1 : 0;
      return true;
    case json::value_t::number_integer: {
      const int64_t value = it->get<int64_t>();
      if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
      result = static_cast<int32_t>(value);
      return true;
    }
    case json::value_t::number_unsigned: {
      const uint64_t value = it->get<uint64_t>();
      if (value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;
      result = static_cast<int32_t>(value);
      return true;
    }
    case json::value_t::number_float: {
      // Truncated toward zero; a value outside the 32-bit range saturates
      // instead of being an undefined conversion.
      const double value = std::trunc(it->get<double>());
      constexpr double kMin = std::numeric_limits<int32_t>::min();
      constexpr double kMax = std::numeric_limits<int32_t>::max();
      result = value <= kMin   ? std::numeric_limits<int32_t>::min()
               : value >= kMax ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(value);
      return true;
    }
    default:
      return false;
  }
}

bool ReadString(const json& in, const char* key, std::string& out) {
  const auto it = in.find(key);
  if (it == in.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

}  // namespace

void ReqStartTunnel::Write(json& out) const { out = TypedObject(kType); }
void ReqStopTunnel::Write(json& out) const { out = TypedObject(kType); }
void ReqQueryTunnel::Write(json& out) const { out = TypedObject(kType); }
void ReqStopTracing::Write(json& out) const { out = TypedObject(kType); }

void ReqLoadConfig::Write(json& out) const {
  out = TypedObject(kType);
  out["path"] = path;
}

void ReqSetConfig::Write(json& out) const {
  out = TypedObject(kType);
  out["path"] = path;
  out["adToken"] = adToken;
  out["adType"] = adType;
  out["adInfo"] = adInfo;
}

void ReqStartTracing::Write(json& out) const {
  out = TypedObject(kType);
  out["host"] = host;
  out["port"] = port;
}

void RespResult::Write(json& out) const {
  out = TypedObject(type_);
  out["result"] = result;
}

bool RespResult::Read(const json& in) { return HasType(in, type_) && ReadResult(in, result); }

void RespQueryTunnel::Write(json& out) const {
  RespResult::Write(out);
  out["status"] = json::object({{"running", status.running}, {"config", status.config}, {"outbound", status.outbound}});
}

bool RespQueryTunnel::Read(const json& in) {
  if (!RespResult::Read(in)) return false;
  const auto it = in.find("status");
  if (it == in.end() || !it->is_object()) return false;
  const auto running = it->find("running");
  if (running == it->end() || !running->is_boolean()) return false;
  TunnelStatus read;
  read.running = running->get<bool>();
  if (!ReadString(*it, "config", read.config) || !ReadString(*it, "outbound", read.outbound)) return false;
  status = std::move(read);
  return true;
}

}  // namespace halyx
