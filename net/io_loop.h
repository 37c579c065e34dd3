// The measurement thread: one libuv loop that runs the latency benchmark and
// the connectivity test of one page.
//
// The owner (the page's dispatch object) creates the loop with the window
// that receives the results, starts it at once and hands work in by posting
// configuration records; results come back as window messages that the
// watchers post to that window.
//
//   IoLoop ioLoop(pageWindow);
//   ioLoop.Start();
//   ioLoop.PostGameConfig(config);   // wakes the loop; the watcher runs it
//
// Each kind of record has one slot holding only the latest record; several
// posts before the loop wakes collapse into one run of the last record. A
// record that arrives while its watcher is busy is rejected by the watcher
// and not retried.
//
// Stopping: the destructor wakes the loop to stop, then the loop thread
// destroys the watchers (abandoning measurements in flight), waits for the
// name lookups and handle closes still under way and closes the loop; the
// destructor joins it. No watcher callback runs after the destructor
// returns. The destructor waits at most kStopWaitMs: a loop still waiting
// for HTTP requests on the work pool (each bounded by HttpClient's deadline)
// is left to end on its own, with everything it uses. Should the stop
// signal itself fail, the thread is likewise left running, rather than
// ending the process.
//
// The connectivity watcher comes in through a factory, so the loop does not
// depend on it; IoLoop(HWND) uses the client's own.
//
// Thread: constructor, Start, Post*, destructor on the GUI thread; the
// watchers, their probes and every libuv callback on the loop thread.
#pragma once

#include <windows.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <uv.h>

#include "net/measure_config.h"
#include "net/media_watcher.h"
#include "net/server_address_policy.h"

namespace halyx {

class IoLoop {
 public:
  // Creates the media watcher on the loop's behalf; may return null when
  // there is none, and then media records are logged and dropped.
  using MediaWatcherFactory = std::function<std::unique_ptr<MediaWatcher>(uv_loop_t* loop, HWND resultWindow,
                                                                          const ServerAddressPolicy& policy)>;

  static constexpr const char* kThreadPoolSizeVariable = "UV_THREADPOOL_SIZE";
  static constexpr const char* kThreadPoolSize = "8";
  // How long destruction may block the GUI thread.
  static constexpr int kStopWaitMs = 500;

  // Creates both watchers and sizes libuv's work pool; starts nothing. The
  // watchers measure the servers `policy` allows; IoLoop(HWND) asks this
  // machine's setting (ServerAddressPolicy::ForThisMachine).
  explicit IoLoop(HWND resultWindow);
  IoLoop(HWND resultWindow, const ServerAddressPolicy& policy);
  IoLoop(HWND resultWindow, const ServerAddressPolicy& policy, const MediaWatcherFactory& makeMediaWatcher);
  IoLoop(const IoLoop&) = delete;
  IoLoop& operator=(const IoLoop&) = delete;
  ~IoLoop();

  // Starts the loop thread and returns once its loop is running or has
  // failed to come up (logged on the thread). False when it failed or was
  // started before.
  bool Start();

  // Store the record in its slot and wake the loop. Before Start the record
  // only waits in the slot; after a failed start the wake-up is logged as
  // failed and nothing runs.
  void PostGameConfig(std::shared_ptr<BenchmarkGameConfig> config);
  void PostMediaConfig(std::shared_ptr<ConnectMediaConfig> config);

  // The media watcher factory used by IoLoop(HWND).
  static std::unique_ptr<MediaWatcher> MakeConnectivityWatcher(uv_loop_t* loop, HWND resultWindow,
                                                               const ServerAddressPolicy& policy);

 private:
  struct Core;

  std::shared_ptr<Core> core_;  // shared with the loop thread
  std::thread thread_;
  std::future<void> ended_;  // ready once the loop thread is about to end
};

}  // namespace halyx
