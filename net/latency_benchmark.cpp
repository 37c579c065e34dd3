#include "net/latency_benchmark.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <spdlog/spdlog.h>

#include "base/guard.h"
#include "base/error_code.h"
#include "net/default_interface.h"
#include "base/unique_handle.h"

namespace halyx {

namespace {

// One probe on its way out: the request's data points here, and the send
// callback frees both, whatever became of the probe's owner meanwhile.
struct SendContext {
  LatencyBenchmark* owner;
  uint64_t timestamp;
  uv_buf_t buffer;
};

// Probe spacing from the page's frequency. A negative or absurd frequency
// would make the conversion undefined, and a spacing of 0 would spin the
// loop (and the log) until the echoes are in: it is held to [1 ms, one day].
uint64_t IntervalFromFrequency(double frequency) {
  constexpr double kMaxSeconds = 86400.0;
  if (!(frequency > 0.0)) return 1;
  return std::max<uint64_t>(1, static_cast<uint64_t>(std::min(frequency, kMaxSeconds) * 1000.0));
}

}  // namespace

LatencyBenchmark::LatencyBenchmark(uv_loop_t* loop, int interfaceIndex, const sockaddr* target, const std::string& name,
                                   const std::string& title, int32_t count, BenchmarkTaskDelegate* delegate,
                                   double frequency)
    : loop_(loop),
      name_(name),
      title_(title),
      intervalMs_(IntervalFromFrequency(frequency)),
      count_(std::max<int32_t>(count, 0)),
      delegate_(delegate) {
  std::memcpy(&target_, target, target->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  timer_.get()->data = this;
  udp_.get()->data = this;
  ready_ = SetUp(interfaceIndex);
}

void LatencyBenchmark::Start(uint64_t delayMs) {
  if (!ready_ || started_) return;
  started_ = true;
  // The loop's clock may be a whole busy pass old; the plan starts from now.
  uv_update_time(loop_);
  nextDue_ = uv_now(loop_) + delayMs;
  endOfRun_ = nextDue_ + static_cast<uint64_t>(count_) * intervalMs_ + kGraceMs;
  // Even the first tick runs on a loop pass, so a run over at once (count 0)
  // reports after the owner has stored the probe.
  StartTimer(delayMs);
}

bool LatencyBenchmark::SetUp(int interfaceIndex) {
  int status = uv_udp_init(loop_, udp_.get());
  if (status != 0) {
    spdlog::error("LatencyBenchmark init udp failed: {}", uv_strerror(status));
    return false;
  }
  udp_.SetInitialised();

  // The socket is made here, of the target's family: left to itself libuv
  // would bind an IPv4 socket when receiving starts, from which no probe
  // reaches an IPv6 server.
  const int family = target_.ss_family;
  UniqueSocket socket(::socket(family, SOCK_DGRAM, IPPROTO_UDP));
  if (!socket) {
    spdlog::warn("LatencyBenchmark create socket failed: {:#x}", SignedErrorCode(::WSAGetLastError()));
  } else {
    // Not fatal: the probe then leaves by the routing table's choice.
    if (interfaceIndex >= 0 && !BindToInterface(socket.get(), interfaceIndex, family)) {
      spdlog::error("LatencyBenchmark bind socket to default interface failed");
    }
    status = uv_udp_open(udp_.get(), socket.get());
    if (status != 0) {
      spdlog::error("LatencyBenchmark open udp socket failed: {}", uv_strerror(status));
      return false;
    }
    static_cast<void>(socket.release());  // the handle closes it now
    sockaddr_storage any{};
    any.ss_family = static_cast<ADDRESS_FAMILY>(family);  // the unspecified address, port 0
    status = uv_udp_bind(udp_.get(), reinterpret_cast<const sockaddr*>(&any), 0);
    if (status != 0) {
      spdlog::error("LatencyBenchmark bind udp failed: {}", uv_strerror(status));
      return false;
    }
  }

  status = uv_udp_recv_start(udp_.get(), &LatencyBenchmark::OnAlloc, &LatencyBenchmark::OnRead);
  if (status != 0) {
    spdlog::error("LatencyBenchmark start udp recv failed: {}", uv_strerror(status));
    return false;
  }
  status = uv_timer_init(loop_, timer_.get());
  if (status != 0) {
    spdlog::error("LatencyBenchmark init timer failed: {}", uv_strerror(status));
    return false;
  }
  timer_.SetInitialised();
  return true;
}

LatencyBenchmark::~LatencyBenchmark() {
  // The handles themselves close with their owners.
  if (timer_.initialised()) {
    const int status = uv_timer_stop(timer_.get());
    if (status != 0) spdlog::warn("LatencyBenchmark stop timer failed: {}", uv_strerror(status));
  }
  if (udp_.initialised()) {
    const int status = uv_udp_recv_stop(udp_.get());
    if (status != 0) {
      spdlog::warn("LatencyBenchmark stop udp recv failed: {}", uv_strerror(status));
    }
  }
}

void LatencyBenchmark::OnTimer(uv_timer_t* handle) {
  Guarded("LatencyBenchmark: tick", [&] { static_cast<LatencyBenchmark*>(handle->data)->Tick(); });
}

void LatencyBenchmark::Tick() {
  uv_update_time(loop_);
  const uint64_t now = uv_now(loop_);
  ExpireProbes(uv_hrtime());
  if (Complete() || now >= endOfRun_) {
    Finish();
    return;
  }

  if (sent_ < count_ && now >= nextDue_) {
    // The plan holds: a late probe leaves now, and the next one keeps its
    // planned time (at once, while the run is behind), so lateness never
    // pushes the rest of the run back.
    nextDue_ += intervalMs_;
    SendProbe();
  }
  // All probes are out and echoes still missing: said once an interval
  // until the run ends.
  if (sent_ >= count_) {
    spdlog::warn("LatencyBenchmark: {} expected to send {}, already sent {}", name_, count_, sent_);
  }

  // Wake for the next planned probe (or, once all are out, an interval on)
  // or the first deadline, whichever comes first.
  uint64_t wake = std::min(endOfRun_, sent_ < count_ ? nextDue_ : now + intervalMs_);
  if (!unanswered_.empty()) {
    const uint64_t expiresNs = unanswered_.front() + kGraceMs * 1000000;
    const uint64_t nowNs = uv_hrtime();
    wake = std::min(wake, now + (expiresNs > nowNs ? (expiresNs - nowNs + 999999) / 1000000 : 0));
  }
  StartTimer(wake > now ? wake - now : 0);
}

bool LatencyBenchmark::Complete() const {
  return rtts_.size() == static_cast<std::size_t>(count_) || (sent_ >= count_ && unanswered_.empty());
}

void LatencyBenchmark::ExpireProbes(uint64_t nowNs) {
  const auto live = std::find_if(unanswered_.begin(), unanswered_.end(),
                                 [&](uint64_t sentNs) { return sentNs + kGraceMs * 1000000 > nowNs; });
  unanswered_.erase(unanswered_.begin(), live);
}

void LatencyBenchmark::StartTimer(uint64_t timeout) {
  const int status = uv_timer_start(timer_.get(), &LatencyBenchmark::OnTimer, timeout, 0);
  if (status != 0) spdlog::warn("LatencyBenchmark start timer failed: {}", uv_strerror(status));
}

void LatencyBenchmark::SendProbe() {
  // Stamped as it leaves: sent at once when the socket takes it, queued
  // (with its own copy of the stamp) only when it cannot.
  uint64_t stamp = uv_hrtime();
  uv_buf_t buffer = uv_buf_init(reinterpret_cast<char*>(&stamp), kProbeSize);
  const auto* target = reinterpret_cast<const sockaddr*>(&target_);
  int status = uv_udp_try_send(udp_.get(), &buffer, 1, target);
  if (status == UV_EAGAIN || status == UV_ENOSYS) {
    auto* context = new SendContext{this, stamp, {}};
    context->buffer = uv_buf_init(reinterpret_cast<char*>(&context->timestamp), kProbeSize);
    auto* request = new uv_udp_send_t{};
    request->data = context;
    status = uv_udp_send(request, udp_.get(), &context->buffer, 1, target, &LatencyBenchmark::OnSent);
    if (status != 0) {
      delete request;
      delete context;
    }
  } else if (status > 0) {
    status = 0;
  }
  if (status != 0) {
    spdlog::warn("LatencyBenchmark: udp send failed: {}", uv_strerror(status));
    return;
  }
  unanswered_.push_back(stamp);
  ++sent_;
}

void LatencyBenchmark::OnSent(uv_udp_send_t* request, int status) {
  if (status != 0 && status != UV_ECANCELED) {
    spdlog::warn("LatencyBenchmark: udp send failed: {}", uv_strerror(status));
  }
  delete static_cast<SendContext*>(request->data);
  delete request;
}

void LatencyBenchmark::OnAlloc(uv_handle_t*, std::size_t suggested, uv_buf_t* buffer) {
  buffer->base = static_cast<char*>(std::malloc(suggested));
  buffer->len = buffer->base ? static_cast<decltype(buffer->len)>(suggested) : 0;
}

void LatencyBenchmark::OnRead(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buffer, const sockaddr* address,
                              unsigned) {
  // The buffer is ours whatever happens below.
  std::unique_ptr<char, decltype(&std::free)> bytes(buffer ? buffer->base : nullptr, &std::free);
  Guarded("LatencyBenchmark: receive",
          [&] { static_cast<LatencyBenchmark*>(handle->data)->Receive(nread, bytes.get(), address); });
}

void LatencyBenchmark::Receive(ssize_t nread, const char* bytes, const sockaddr* address) {
  if (nread < 0) {
    spdlog::warn("LatencyBenchmark recv failed ({}): {}", nread, uv_strerror(static_cast<int>(nread)));
    return;
  }
  if (!bytes) {
    spdlog::warn("LatencyBenchmark: buf is NULL in ReadCallback");
    return;
  }
  if (!address) {
    spdlog::warn("LatencyBenchmark: from address is NULL in ReadCallback");
    return;
  }
  if (!IsTarget(address)) {
    char text[65] = {};
    if (address->sa_family == AF_INET) {
      uv_ip4_name(reinterpret_cast<const sockaddr_in*>(address), text, sizeof(text));
    } else if (address->sa_family == AF_INET6) {
      uv_ip6_name(reinterpret_cast<const sockaddr_in6*>(address), text, sizeof(text));
    }
    spdlog::warn("LatencyBenchmark: target mismatch, recv packet from: {}", text);
    return;
  }
  if (nread != static_cast<ssize_t>(kProbeSize)) {
    spdlog::warn("LatencyBenchmark: {} data length mismatch, expect: {}, got: {}", name_, kProbeSize, nread);
    return;
  }
  uint64_t sentAt = 0;
  std::memcpy(&sentAt, bytes, kProbeSize);
  // Each probe counts once: an echo must carry the time of a probe still
  // unanswered. A duplicated datagram, or one forged with some other time,
  // would otherwise add round trips without bound and end the run early. An
  // echo past its probe's deadline lands here too.
  const auto probe = std::find(unanswered_.begin(), unanswered_.end(), sentAt);
  if (probe == unanswered_.end()) {
    spdlog::warn("LatencyBenchmark: {} echo carries a time not sent: {}", name_, sentAt);
    return;
  }
  const uint64_t receivedAt = uv_hrtime();
  unanswered_.erase(probe);
  rtts_.push_back(receivedAt > sentAt ? (receivedAt - sentAt) / 1000 : 0);
  // The run may be complete now; it ends on a tick of its own, at once.
  if (Complete()) StartTimer(0);
}

bool LatencyBenchmark::IsTarget(const sockaddr* address) const {
  if (address->sa_family != target_.ss_family) return false;
  if (address->sa_family == AF_INET) {
    const auto* from = reinterpret_cast<const sockaddr_in*>(address);
    const auto* to = reinterpret_cast<const sockaddr_in*>(&target_);
    return from->sin_port == to->sin_port && from->sin_addr.s_addr == to->sin_addr.s_addr;
  }
  if (address->sa_family == AF_INET6) {
    const auto* from = reinterpret_cast<const sockaddr_in6*>(address);
    const auto* to = reinterpret_cast<const sockaddr_in6*>(&target_);
    return from->sin6_port == to->sin6_port && from->sin6_scope_id == to->sin6_scope_id &&
           std::memcmp(&from->sin6_addr, &to->sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

std::string LatencyBenchmark::TargetText() const {
  char text[65] = {};
  if (target_.ss_family == AF_INET) {
    uv_ip4_name(reinterpret_cast<const sockaddr_in*>(&target_), text, sizeof(text));
  } else {
    uv_ip6_name(reinterpret_cast<const sockaddr_in6*>(&target_), text, sizeof(text));
  }
  return text;
}

uint16_t LatencyBenchmark::TargetPort() const {
  // The port sits at the same place in both address families.
  return ntohs(reinterpret_cast<const sockaddr_in*>(&target_)->sin_port);
}

void LatencyBenchmark::Finish() {
  const std::string address = TargetText();
  const uint16_t port = TargetPort();
  if (rtts_.empty()) {
    spdlog::warn("LatencyBenchmark: benchmark failed to {} ({}:{}), 0/{} all packets lost", name_, address, port,
                 sent_);
    if (delegate_) delegate_->OnBenchmarkResult(name_, title_, 0, 1.0);
    return;
  }
  // Round trips are kept in microseconds; the page and the log get whole
  // milliseconds, truncated.
  const LatencySummary summary = Summarize(rtts_, sent_);
  spdlog::warn("LatencyBenchmark: latency test: {} ({}:{}) {}/{} packets received, min/avg/max: {}/{}/{}", name_,
               address, port, rtts_.size(), sent_, summary.min / 1000, summary.avg / 1000, summary.max / 1000);
  if (delegate_) {
    delegate_->OnBenchmarkResult(name_, title_, static_cast<int32_t>(summary.avg / 1000), summary.dropRate);
  }
}

LatencySummary LatencyBenchmark::Summarize(const std::vector<uint64_t>& rtts, int32_t sent) {
  LatencySummary summary;
  if (rtts.empty()) {
    summary.dropRate = 1.0;
    return summary;
  }
  summary.min = rtts.front();
  summary.max = rtts.front();
  uint64_t sum = 0;
  for (const uint64_t rtt : rtts) {
    summary.min = std::min(summary.min, rtt);
    summary.max = std::max(summary.max, rtt);
    sum += rtt;
  }
  summary.avg = sum / rtts.size();
  const int64_t lost = static_cast<int64_t>(sent) - static_cast<int64_t>(rtts.size());
  summary.dropRate = sent > 0 && lost > 0 ? static_cast<double>(lost) / sent : 0.0;
  return summary;
}

}  // namespace halyx
