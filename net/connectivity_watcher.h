// Runs one connectivity test over a list of servers and reports to a window.
//
// Start posts the whole list with status "MAINTAIN" ("SetAdGlobal", 0x8068),
// queues one HttpConnectivity per server on libuv's work pool (8 threads, so
// up to 8 requests at once) and posts each server's result as soon as it is
// in ("AdGlobal", 0x8069): the status the page gave the server when it
// answered as expected, "MAINTAIN" otherwise. Every configured server gets
// exactly one "AdGlobal" per run, also when several share a name; a server
// whose host the ServerAddressPolicy refuses gets "MAINTAIN" untested. A run ends
// when no test is left; a Start during a run is rejected and the run goes on,
// and a run that RefusalReason finds fault with is refused with a warning. A
// run that breaks off on an unexpected failure is abandoned, so the watcher
// never stays busy.
//
// Owned by the IoLoop, which creates it with the loop and the result window,
// calls Start on each media wake-up and destroys it on the loop thread when
// the loop stops: requests still queued are cancelled, those already running
// are abandoned, and nothing is posted afterwards.
//
// Thread: the loop thread (construction may happen elsewhere, before the
// loop runs).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <uv.h>

#include "net/connect_task_delegate.h"
#include "net/measure_config.h"
#include "net/run_messages.h"
#include "net/server_address_policy.h"
#include "net/media_watcher.h"

namespace halyx {

class HttpConnectivity;

// One server's result as the page sees it.
struct ServerStatus {
  std::string name;
  std::string title;
  std::string status;
};

template <>
struct RunMessageTypes<ServerStatus> {
  static constexpr const char* kStart = "SetAdGlobal";
  static constexpr const char* kResult = "AdGlobal";
};
using SetAdGlobalMessage = RunStartMessage<ServerStatus>;
using AdGlobalMessage = RunResultMessage<ServerStatus>;

void to_json(json& out, const ServerStatus& in);

class ConnectivityWatcher : public ConnectTaskDelegate, public MediaWatcher {
 public:
  ConnectivityWatcher(uv_loop_t* loop, HWND resultWindow, ServerAddressPolicy policy);
  ConnectivityWatcher(const ConnectivityWatcher&) = delete;
  ConnectivityWatcher& operator=(const ConnectivityWatcher&) = delete;
  ~ConnectivityWatcher() override;

  // Begins a run, or logs "ConnectivityWatcher: already testing" and leaves
  // the current run alone.
  void Start(std::shared_ptr<ConnectMediaConfig> config) override;

  void OnConnectResult(const std::string& name, const std::string& title, const std::string& status) override;

  bool busy() const { return busy_; }

 private:
  // The body of Start, once the run counts as begun.
  void Begin();
  void PostAdGlobal(const ServerStatus& status);
  void CheckFinished();

  std::shared_ptr<ConnectMediaConfig> config_;
  // Tests in flight by server name; a name the page repeats has one entry per
  // server.
  std::multimap<std::string, std::shared_ptr<HttpConnectivity>> running_;
  bool busy_ = false;
  bool starting_ = false;  // inside Start: the run cannot have ended yet
  uv_loop_t* loop_;
  HWND resultWindow_;
  const ServerAddressPolicy policy_;
};

}  // namespace halyx
