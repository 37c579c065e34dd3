// Runs one latency benchmark over a list of servers and reports to a window.
//
// Start posts the whole list with empty results ("SetAdInfo", 0x8066), looks
// every host up on libuv's work pool (one lookup serves all servers of that
// host), sets up one LatencyBenchmark per server, bound to the default
// interface, and once the resolved servers' sockets are all set up starts
// them with their first probes spread evenly over the first interval, and posts each server's result as soon as it is
// in ("AdInfo", 0x8067). Every configured server gets exactly one "AdInfo" per run: a server whose name cannot be
// resolved, or whose probe cannot be set up, is reported lost (lag 0, dropRate 1.0), and so is one that the
// ServerAddressPolicy refuses, by its host as listed or by the address it resolves to (one warning each). A run ends
// when nothing is pending or running; a Start during a run is rejected, and so is a run that RefusalReason finds fault
// with (with a warning). A run that breaks off on an unexpected failure is abandoned, so the watcher never stays busy.
//
// Owned by the IoLoop, which creates it with the loop and the result window,
// calls Start on each benchmark wake-up and destroys it on the loop thread:
// probes in flight are then destroyed and lookups in flight orphaned, so no
// result is posted afterwards.
//
// Thread: the loop thread (construction may happen elsewhere, before the
// loop runs).
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <uv.h>

#include "base/uv_handle.h"
#include "net/benchmark_task_delegate.h"
#include "net/measure_config.h"
#include "net/run_messages.h"
#include "net/server_address_policy.h"

namespace halyx {

class LatencyBenchmark;

// One server's result as the page sees it.
struct LatencyResult {
  std::string name;
  std::string title;
  int32_t lag = 0;        // milliseconds
  double dropRate = 0.0;  // 0 to 1
};

template <>
struct RunMessageTypes<LatencyResult> {
  static constexpr const char* kStart = "SetAdInfo";
  static constexpr const char* kResult = "AdInfo";
};
using SetAdInfoMessage = RunStartMessage<LatencyResult>;
using AdInfoMessage = RunResultMessage<LatencyResult>;

// The page's JSON; a dropRate is always written with a fraction (1.0).
void to_json(json& out, const LatencyResult& in);

class BenchmarkWatcher : public BenchmarkTaskDelegate {
 public:
  BenchmarkWatcher(uv_loop_t* loop, HWND resultWindow, ServerAddressPolicy policy);
  BenchmarkWatcher(const BenchmarkWatcher&) = delete;
  BenchmarkWatcher& operator=(const BenchmarkWatcher&) = delete;
  virtual ~BenchmarkWatcher();

  // Begins a run, or logs "BenchmarkWatcher: already benchmarking" and
  // leaves the current run alone.
  void Start(std::shared_ptr<BenchmarkGameConfig> config);

  void OnBenchmarkResult(const std::string& name, const std::string& title, int32_t lag, double dropRate) override;

  bool busy() const { return busy_; }

 private:
  struct Lookup;
  // A resolved server waiting for its probe to be set up.
  struct Queued {
    ServerEntry server;
    sockaddr_storage address;
  };

  // The body of Start, once the run counts as begun.
  void Begin();
  // Ends a run that broke off: lookups orphaned, probes destroyed, idle.
  void Abandon();
  void OrphanLookups();
  static void OnResolved(uv_getaddrinfo_t* request, int status, addrinfo* results);
  void HandleLookupFailed(const std::string& host, int status);
  // Reports every pending server of `host` lost.
  void ReportHostLost(const std::string& host);
  void HandleResolved(const std::string& host, const addrinfo* results);
  // Sets the queued servers' probes up, a batch per loop pass, and once the
  // queue is empty starts them all, their first probes spread over the
  // first interval.
  static void OnStarterTimer(uv_timer_t* handle);
  void SetUpQueuedProbes();
  void SetUpProbe(const Queued& queued);
  void ScheduleSetUp();
  // Starts the probes set up so far.
  void StartBatch();
  void PostAdInfo(const LatencyResult& result);
  void CheckFinished();

  std::shared_ptr<BenchmarkGameConfig> config_;
  std::map<std::string, ServerEntry> pending_;
  std::deque<Queued> queued_;  // in the order their lookups ended
  std::map<std::string, std::shared_ptr<LatencyBenchmark>> running_;
  std::vector<std::shared_ptr<LatencyBenchmark>> unstarted_;  // set up, waiting for the rest of their batch
  bool busy_ = false;
  int32_t interfaceIndex_ = -1;
  uv_loop_t* loop_;
  HWND resultWindow_;
  const ServerAddressPolicy policy_;
  std::set<Lookup*> lookups_;  // in flight; orphaned on destruction
  UvHandle<uv_timer_t> starter_;
};

}  // namespace halyx
