#include "net/io_loop.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/guard.h"
#include "base/uv_handle.h"
#include "net/benchmark_watcher.h"
#include "net/connectivity_watcher.h"

namespace halyx {

// Everything the loop thread uses. It lives on the heap, shared by the IoLoop
// and the thread, so that a thread which cannot be stopped keeps what it runs
// on even after its IoLoop is gone.
struct IoLoop::Core {
  enum class State { kNotStarted, kRunning, kFailed };

  // One kind of record: the latest one posted, the async handle that wakes
  // the loop for it, and the watcher that runs it. The texts name the kind
  // in its log lines.
  template <typename Config, typename Watcher>
  struct Slot {
    struct Texts {
      const char* initFailed;   // "... init <kind> async failed: {}"
      const char* sendFailed;   // "... send <kind> async failed: {}"
      const char* badConfig;    // "... bad <kind> config"
      const char* startFailed;  // "...: <kind> start" (+ " failed")
      const char* noWatcher;    // "... no <kind> watcher for {}"
    };
    explicit Slot(const Texts& names) : texts(names) {}

    const Texts texts;
    UvHandle<uv_async_t> async;
    std::shared_ptr<Config> config;  // atomic access only
    std::unique_ptr<Watcher> watcher;

    // GUI thread: stores the record and wakes the loop.
    void Post(Core& core, bool started, std::shared_ptr<Config> record);
    // Loop thread: runs the latest record.
    void Run();
    void Release() {
      watcher.reset();
      std::atomic_store(&config, std::shared_ptr<Config>());
    }
  };

  uv_loop_t loop{};
  UvHandle<uv_async_t> quitAsync;
  Slot<BenchmarkGameConfig, BenchmarkWatcher> game{{"IoLoop init game async failed: {}",
                                                    "IoLoop send game async failed: {}", "IoLoop: bad config",
                                                    "IoLoop: benchmark start", "IoLoop: no benchmark watcher for {}"}};
  Slot<ConnectMediaConfig, MediaWatcher> media{{"IoLoop init media async failed: {}",
                                                "IoLoop send media async failed: {}", "IoLoop: bad media config",
                                                "IoLoop: media start", "IoLoop: no media watcher for {}"}};

  std::atomic<State> state{State::kNotStarted};
  std::atomic<int> setupError{0};  // why the loop did not come up
  std::promise<void> settled;      // set once state leaves kNotStarted
  std::promise<void> ended;        // set as the loop thread ends

  void Run();
  bool InitAsync(UvHandle<uv_async_t>& async, uv_async_cb callback, void* data, const char* failureFormat);
  // Closes the async handles that were initialised and runs the loop until
  // nothing is left in it, then closes the loop.
  void CloseLoop();
  void ReleaseWatchers();

  static void OnQuit(uv_async_t* handle);
  template <typename SlotType>
  static void OnConfig(uv_async_t* handle);
};

namespace {

// Sets libuv's work-pool size before the pool exists. libuv reads the
// variable with the C runtime's getenv, whose copy of the environment
// SetEnvironmentVariableA does not update, so the runtime's copy is set too.
void SetThreadPoolSize() {
  if (!::SetEnvironmentVariableA(IoLoop::kThreadPoolSizeVariable, IoLoop::kThreadPoolSize)) {
    spdlog::warn("IoLoop: SetEnvironmentVariableA failed: {:#x}", LastError());
  }
  const std::string assignment = std::string(IoLoop::kThreadPoolSizeVariable) + "=" + IoLoop::kThreadPoolSize;
  if (::_putenv(assignment.c_str()) != 0) {
    spdlog::warn("IoLoop: _putenv of {} failed", IoLoop::kThreadPoolSizeVariable);
  }
}

}  // namespace

IoLoop::IoLoop(HWND resultWindow) : IoLoop(resultWindow, ServerAddressPolicy::ForThisMachine()) {}

IoLoop::IoLoop(HWND resultWindow, const ServerAddressPolicy& policy)
    : IoLoop(resultWindow, policy, &IoLoop::MakeConnectivityWatcher) {}

IoLoop::IoLoop(HWND resultWindow, const ServerAddressPolicy& policy, const MediaWatcherFactory& makeMediaWatcher)
    : core_(std::make_shared<Core>()) {
  core_->game.watcher = std::make_unique<BenchmarkWatcher>(&core_->loop, resultWindow, policy);
  if (makeMediaWatcher) core_->media.watcher = makeMediaWatcher(&core_->loop, resultWindow, policy);
  SetThreadPoolSize();
}

std::unique_ptr<MediaWatcher> IoLoop::MakeConnectivityWatcher(uv_loop_t* loop, HWND resultWindow,
                                                              const ServerAddressPolicy& policy) {
  return std::make_unique<ConnectivityWatcher>(loop, resultWindow, policy);
}

IoLoop::~IoLoop() {
  if (thread_.joinable()) {
    spdlog::info("IoLoop: stop");
    // A loop that failed to come up has ended its thread on its own.
    if (core_->state.load() == Core::State::kRunning) {
      const int status = uv_async_send(core_->quitAsync.get());
      if (status != 0) {
        spdlog::error("IoLoop send quit async failed: {}", uv_strerror(status));
        // The thread cannot be told to stop, so it cannot be joined; it keeps
        // the core, the watchers included, for as long as it runs.
        thread_.detach();
        return;
      }
    }
    // The destructor runs on the GUI thread. A stopping loop still waits for
    // the HTTP requests running on the work pool, each of which may take up
    // to its deadline; the page must not freeze that long. The thread is
    // left to finish on its own: it owns the core, and its watchers are
    // already gone, so nothing reaches the window any more.
    if (ended_.wait_for(std::chrono::milliseconds(kStopWaitMs)) != std::future_status::ready) {
      spdlog::warn("IoLoop: loop thread still finishing after {} ms, left to end on its own", kStopWaitMs);
      thread_.detach();
      return;
    }
    thread_.join();
  }
  core_->ReleaseWatchers();
}

bool IoLoop::Start() {
  if (thread_.joinable()) {
    spdlog::error("IoLoop: already started");
    return false;
  }
  spdlog::info("IoLoop: start");
  std::future<void> settled = core_->settled.get_future();
  ended_ = core_->ended.get_future();
  try {
    thread_ = std::thread([core = core_] {
      Guarded("IoLoop: loop thread", [&] { core->Run(); });
      Guarded("IoLoop: loop thread end", [&] { core->ended.set_value(); });
    });
  } catch (const std::exception& e) {
    spdlog::error("IoLoop: cannot create the loop thread: {}", e.what());
    return false;
  }
  // Posts made right after Start must find the async handles initialised.
  settled.wait();
  return core_->state.load() == Core::State::kRunning;
}

void IoLoop::PostGameConfig(std::shared_ptr<BenchmarkGameConfig> config) {
  core_->game.Post(*core_, thread_.joinable(), std::move(config));
}

void IoLoop::PostMediaConfig(std::shared_ptr<ConnectMediaConfig> config) {
  core_->media.Post(*core_, thread_.joinable(), std::move(config));
}

template <typename Config, typename Watcher>
void IoLoop::Core::Slot<Config, Watcher>::Post(Core& core, bool started, std::shared_ptr<Config> record) {
  std::atomic_store(&config, std::move(record));
  if (!started) return;
  const int status = core.state.load() == State::kRunning ? uv_async_send(async.get()) : core.setupError.load();
  if (status != 0) spdlog::error(fmt::runtime(texts.sendFailed), uv_strerror(status));
}

void IoLoop::Core::Run() {
  const int status = uv_loop_init(&loop);
  if (status != 0) {
    spdlog::error("IoLoop uv_loop_init failed: {}", uv_strerror(status));
    setupError = status;
    state = State::kFailed;
    settled.set_value();
    return;
  }
  if (!InitAsync(quitAsync, &Core::OnQuit, this, "IoLoop init quit async failed: {}") ||
      !InitAsync(media.async, &Core::OnConfig<decltype(media)>, &media, media.texts.initFailed) ||
      !InitAsync(game.async, &Core::OnConfig<decltype(game)>, &game, game.texts.initFailed)) {
    state = State::kFailed;
    settled.set_value();
    CloseLoop();
    return;
  }
  state = State::kRunning;
  settled.set_value();

  uv_run(&loop, UV_RUN_DEFAULT);

  // Measurements in flight are abandoned here, on the thread that owns their
  // handles, so no callback can reach a destroyed watcher.
  ReleaseWatchers();
  CloseLoop();
}

bool IoLoop::Core::InitAsync(UvHandle<uv_async_t>& async, uv_async_cb callback, void* data, const char* failureFormat) {
  const int status = uv_async_init(&loop, async.get(), callback);
  if (status != 0) {
    spdlog::error(fmt::runtime(failureFormat), uv_strerror(status));
    setupError = status;
    return false;
  }
  async.SetInitialised();
  async.get()->data = data;
  return true;
}

void IoLoop::Core::CloseLoop() {
  game.async.Close();
  media.async.Close();
  quitAsync.Close();
  // Not only the close callbacks: a name lookup still running on the work
  // pool reports to this loop when it ends, so the loop must outlive it.
  uv_run(&loop, UV_RUN_DEFAULT);
  const int status = uv_loop_close(&loop);
  if (status != 0) spdlog::error("IoLoop uv_loop_close failed: {}", uv_strerror(status));
}

void IoLoop::Core::ReleaseWatchers() {
  media.Release();
  game.Release();
}

void IoLoop::Core::OnQuit(uv_async_t* handle) {
  auto* core = static_cast<Core*>(handle->data);
  if (core) uv_stop(&core->loop);
}

template <typename SlotType>
void IoLoop::Core::OnConfig(uv_async_t* handle) {
  auto* slot = static_cast<SlotType*>(handle->data);
  if (slot) Guarded(slot->texts.startFailed, [&] { slot->Run(); });
}

template <typename Config, typename Watcher>
void IoLoop::Core::Slot<Config, Watcher>::Run() {
  std::shared_ptr<Config> latest = std::atomic_load(&config);
  if (!latest) {
    spdlog::warn(texts.badConfig);
    return;
  }
  if (!watcher) {
    spdlog::warn(fmt::runtime(texts.noWatcher), latest->id);
    return;
  }
  watcher->Start(std::move(latest));
}

}  // namespace halyx
