// Requests and responses of the service-control pipe.
//
// Each message is one JSON object whose string member "type" names it. The
// GUI writes the Req* structures; it reads the Resp* structures from the
// service and writes them out again as JSON for the page, which is why they
// are both ToJson and FromJson. Keys come out in ascending order (the JSON
// object is an ordered map), e.g. {"host":"h","port":1,"type":"StartTracing"}.
//
// Thread: any; plain values.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace halyx {

using json = nlohmann::json;

// Result codes that the tunnel manager raises itself, in notices shaped like
// the service's responses. The service uses 0 for success; any other value it
// sends is passed upward unchanged.
namespace result {
constexpr int kSuccess = 0;
constexpr int kConfigDirectory = 2;    // config folder cannot be found or created
constexpr int kInvalidState = 101;     // already running, or not running
constexpr int kNotConnected = 102;     // no pipe, or the tunnel service cannot be opened
constexpr int kEmptyConfig = 105;      // config text is empty
constexpr int kEmptyConfigName = 106;  // config name is empty
constexpr int kWriteFailed = 10001;    // writing the request to the pipe failed
}  // namespace result

class ToJson {
 public:
  // Replaces `out` with this structure's JSON object.
  virtual void Write(json& out) const = 0;
  virtual ~ToJson() = default;
};

class FromJson {
 public:
  // Fills this structure from a response. False when "type" differs from the
  // structure's own, or a member is missing or of the wrong JSON type; never
  // throws. Members the structure does not know are ignored.
  virtual bool Read(const json& in) = 0;
  virtual ~FromJson() = default;
};

// Requests without fields.
class ReqStartTunnel : public ToJson {
 public:
  static constexpr const char* kType = "StartTunnel";
  void Write(json& out) const override;
};

class ReqStopTunnel : public ToJson {
 public:
  static constexpr const char* kType = "StopTunnel";
  void Write(json& out) const override;
};

class ReqQueryTunnel : public ToJson {
 public:
  static constexpr const char* kType = "QueryTunnel";
  void Write(json& out) const override;
};

class ReqStopTracing : public ToJson {
 public:
  static constexpr const char* kType = "StopTracing";
  void Write(json& out) const override;
};

class ReqLoadConfig : public ToJson {
 public:
  static constexpr const char* kType = "LoadConfig";
  void Write(json& out) const override;

  std::string path;
};

class ReqSetConfig : public ToJson {
 public:
  static constexpr const char* kType = "SetConfig";
  void Write(json& out) const override;

  std::string path;
  std::string adToken;
  int32_t adType = 0;
  std::string adInfo;
};

class ReqStartTracing : public ToJson {
 public:
  static constexpr const char* kType = "StartTracing";
  void Write(json& out) const override;

  std::string host;
  uint16_t port = 0;
};

// Responses that carry only "result".
class RespResult : public ToJson, public FromJson {
 public:
  void Write(json& out) const override;
  bool Read(const json& in) override;

  int32_t result = 0;

 protected:
  explicit RespResult(const char* type) : type_(type) {}

 private:
  const char* type_;
};

class RespStartTunnel : public RespResult {
 public:
  static constexpr const char* kType = "StartTunnel";
  RespStartTunnel() : RespResult(kType) {}
};

class RespStopTunnel : public RespResult {
 public:
  static constexpr const char* kType = "StopTunnel";
  RespStopTunnel() : RespResult(kType) {}
};

class RespSetConfig : public RespResult {
 public:
  static constexpr const char* kType = "SetConfig";
  RespSetConfig() : RespResult(kType) {}
};

class RespSetOutboundMode : public RespResult {
 public:
  static constexpr const char* kType = "SetOutboundMode";
  RespSetOutboundMode() : RespResult(kType) {}
};

// The tunnel's state as the service reports it; "config" and "outbound" are
// passed upward without interpretation.
struct TunnelStatus {
  bool running = false;
  std::string config;
  std::string outbound;
};

class RespQueryTunnel : public RespResult {
 public:
  static constexpr const char* kType = "QueryTunnel";
  RespQueryTunnel() : RespResult(kType) {}
  void Write(json& out) const override;
  bool Read(const json& in) override;

  TunnelStatus status;
};

}  // namespace halyx
