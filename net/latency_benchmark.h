// Measures the UDP round trip to one server.
//
// Sends `count` probes of 8 bytes, one every frequency seconds, from one
// socket of the target's address family; each probe carries the
// high-resolution time (uv_hrtime, nanoseconds) of its sending, and the
// server's echo service sends it back unchanged, so the echo and the time of
// its receipt give the round trip. Both times are read fresh at the moment
// of sending and of receiving, never the loop's cached clock, so a busy loop
// pass does not stretch every round trip in it. Echoes are accepted only
// from exactly the target address and port, only when exactly 8 bytes long,
// and each probe counts once: an echo must carry the time of a probe still
// unanswered.
//
// Schedule: construction only sets the socket up; Start(delay) plans the
// first probe delay ms on (a watcher sets up all its servers' sockets first,
// then spreads their first probes over the first interval, so no socket is
// being set up while echoes are on their way back), probe k is planned at
// first + k x interval, and a late tick sends the late probe at once and
// keeps the plan for the rest. Each probe has its own deadline, kGraceMs
// after it left; the run ends as soon as every probe is answered or past its
// deadline, and at the latest at first + count x interval + kGraceMs. It
// reports once to the delegate: the truncated average round trip in
// milliseconds ("lag") and the share of probes unanswered ("dropRate"; no
// echo at all gives lag 0 and 1.0).
//
//   auto probe = std::make_shared<LatencyBenchmark>(loop, interfaceIndex, address,
//                                                   "jp-1", "Tokyo", 10, delegate, 0.2);
//   if (!probe->ready()) { /* set-up failed and logged: it will never report */ }
//   probe->Start(0);
//
// The result never arrives during construction or Start, not even for
// count 0, so the owner can store the probe before it hears from it. The delegate may
// destroy the probe from inside OnBenchmarkResult; the handles are closed by
// the destructor and their blocks freed by libuv's close callbacks on a
// later loop pass.
//
// Thread: the loop thread only.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <string>
#include <vector>

#include <uv.h>

#include "base/uv_handle.h"
#include "net/benchmark_task_delegate.h"

namespace halyx {

// What a run's round trips come to.
struct LatencySummary {
  uint64_t min = 0;
  uint64_t avg = 0;  // truncated
  uint64_t max = 0;
  double dropRate = 0.0;
};

class LatencyBenchmark {
 public:
  static constexpr std::size_t kProbeSize = 8;
  static constexpr uint64_t kGraceMs = 1000;

  // `target` carries the server's port. `interfaceIndex` < 0: the socket is
  // not bound to an interface.
  LatencyBenchmark(uv_loop_t* loop, int interfaceIndex, const sockaddr* target, const std::string& name,
                   const std::string& title, int32_t count, BenchmarkTaskDelegate* delegate, double frequency);
  LatencyBenchmark(const LatencyBenchmark&) = delete;
  LatencyBenchmark& operator=(const LatencyBenchmark&) = delete;
  ~LatencyBenchmark();

  // The summary of a non-empty set of round trips out of `sent` probes.
  // More echoes than probes (a duplicating network) count as no loss.
  static LatencySummary Summarize(const std::vector<uint64_t>& rtts, int32_t sent);

  // False when set-up failed: the probe then never sends and never reports.
  bool ready() const { return ready_; }

  // Plans the first probe `delayMs` from now. Once only; a probe that is not
  // ready ignores it.
  void Start(uint64_t delayMs);

 private:
  static void OnTimer(uv_timer_t* handle);
  static void OnAlloc(uv_handle_t* handle, std::size_t suggested, uv_buf_t* buffer);
  static void OnRead(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buffer, const sockaddr* address, unsigned flags);
  static void OnSent(uv_udp_send_t* request, int status);

  void Receive(ssize_t nread, const char* bytes, const sockaddr* address);
  bool SetUp(int interfaceIndex);
  void Tick();
  void StartTimer(uint64_t timeout);
  void SendProbe();
  // Drops the unanswered probes whose deadline has passed: they are lost.
  void ExpireProbes(uint64_t nowNs);
  bool Complete() const;
  bool IsTarget(const sockaddr* address) const;
  std::string TargetText() const;
  uint16_t TargetPort() const;
  // The caller touches no member afterwards: the delegate may destroy us.
  void Finish();

  uv_loop_t* loop_;
  UvHandle<uv_timer_t> timer_;
  UvHandle<uv_udp_t> udp_;
  bool ready_ = false;
  bool started_ = false;
  std::vector<uint64_t> rtts_;        // microseconds, one per answered probe
  std::vector<uint64_t> unanswered_;  // send times (ns) of probes not yet echoed, oldest first
  uint64_t nextDue_ = 0;              // loop time (ms) the next probe is planned for
  uint64_t endOfRun_ = 0;             // loop time (ms) by which the run ends whatever happens
  sockaddr_storage target_{};
  std::string name_;
  std::string title_;
  uint64_t intervalMs_;
  int32_t count_;
  int32_t sent_ = 0;
  BenchmarkTaskDelegate* delegate_;
};

}  // namespace halyx
