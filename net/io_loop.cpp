#include "net/io_loop.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <future>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "net/benchmark_watcher.h"
#include "net/connectivity_watcher.h"

namespace halyx {

// Everything the loop thread uses. It lives on the heap, shared by the IoLoop
// and the thread, so that a thread which cannot be stopped keeps what it runs
// on even after its IoLoop is gone.
struct IoLoop::Core {
  enum class State { kNotStarted, kRunning, kFailed };

  // The async handles' heap blocks; once a handle is initialised the loop
  // owns its block and the close callback frees it.
  struct AsyncBlock {
    uv_async_t* handle = new uv_async_t{};
    bool initialised = false;
    ~AsyncBlock() {
      if (!initialised) delete handle;
    }
  };

  uv_loop_t loop{};
  AsyncBlock quitAsync;
  AsyncBlock gameAsync;
  AsyncBlock mediaAsync;
  std::shared_ptr<BenchmarkGameConfig> gameConfig;  // atomic access only
  std::unique_ptr<BenchmarkWatcher> benchmarkWatcher;
  std::shared_ptr<ConnectMediaConfig> mediaConfig;  // atomic access only
  std::unique_ptr<MediaWatcher> mediaWatcher;

  std::atomic<State> state{State::kNotStarted};
  std::atomic<int> setupError{0};  // why the loop did not come up
  std::promise<void> settled;      // set once state leaves kNotStarted

  void Run();
  bool InitAsync(AsyncBlock& block, uv_async_cb callback, const char* failureFormat);
  void SetUpFailed(int error);
  // Closes the async handles that were initialised and runs the loop until
  // nothing is left in it, then closes the loop.
  void CloseLoop();
  void ReleaseWatchers();

  static void OnQuit(uv_async_t* handle);
  static void OnGameConfig(uv_async_t* handle);
  static void OnMediaConfig(uv_async_t* handle);
};

namespace {

void FreeAsync(uv_handle_t* handle) { delete reinterpret_cast<uv_async_t*>(handle); }

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

IoLoop::IoLoop(HWND resultWindow) : IoLoop(resultWindow, &IoLoop::MakeConnectivityWatcher) {}

IoLoop::IoLoop(HWND resultWindow, const MediaWatcherFactory& makeMediaWatcher) : core_(std::make_shared<Core>()) {
  core_->benchmarkWatcher = std::make_unique<BenchmarkWatcher>(&core_->loop, resultWindow);
  if (makeMediaWatcher) core_->mediaWatcher = makeMediaWatcher(&core_->loop, resultWindow);
  SetThreadPoolSize();
}

std::unique_ptr<MediaWatcher> IoLoop::MakeConnectivityWatcher(uv_loop_t* loop, HWND resultWindow) {
  return std::make_unique<ConnectivityWatcher>(loop, resultWindow);
}

IoLoop::~IoLoop() {
  if (thread_.joinable()) {
    spdlog::info("IoLoop: stop");
    // A loop that failed to come up has ended its thread on its own.
    if (core_->state.load() == Core::State::kRunning) {
      const int status = uv_async_send(core_->quitAsync.handle);
      if (status != 0) {
        spdlog::error("IoLoop send quit async failed: {}", uv_strerror(status));
        // The thread cannot be told to stop, so it cannot be joined; it keeps
        // the core, the watchers included, for as long as it runs.
        thread_.detach();
        return;
      }
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
  try {
    thread_ = std::thread([core = core_] {
      try {
        core->Run();
      } catch (const std::exception& e) {
        spdlog::error("IoLoop: loop thread failed: {}", e.what());
      } catch (...) {
        spdlog::error("IoLoop: loop thread failed");
      }
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
  std::atomic_store(&core_->gameConfig, std::move(config));
  if (!thread_.joinable()) return;
  const int status =
      core_->state.load() == Core::State::kRunning ? uv_async_send(core_->gameAsync.handle) : core_->setupError.load();
  if (status != 0) spdlog::error("IoLoop send game async failed: {}", uv_strerror(status));
}

void IoLoop::PostMediaConfig(std::shared_ptr<ConnectMediaConfig> config) {
  std::atomic_store(&core_->mediaConfig, std::move(config));
  if (!thread_.joinable()) return;
  const int status =
      core_->state.load() == Core::State::kRunning ? uv_async_send(core_->mediaAsync.handle) : core_->setupError.load();
  if (status != 0) spdlog::error("IoLoop send media async failed: {}", uv_strerror(status));
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
  if (!InitAsync(quitAsync, &Core::OnQuit, "IoLoop init quit async failed: {}") ||
      !InitAsync(mediaAsync, &Core::OnMediaConfig, "IoLoop init media async failed: {}") ||
      !InitAsync(gameAsync, &Core::OnGameConfig, "IoLoop init game async failed: {}")) {
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

bool IoLoop::Core::InitAsync(AsyncBlock& block, uv_async_cb callback, const char* failureFormat) {
  const int status = uv_async_init(&loop, block.handle, callback);
  if (status != 0) {
    spdlog::error(fmt::runtime(failureFormat), uv_strerror(status));
    setupError = status;
    return false;
  }
  block.initialised = true;
  block.handle->data = this;
  return true;
}

void IoLoop::Core::CloseLoop() {
  for (AsyncBlock* block : {&gameAsync, &mediaAsync, &quitAsync}) {
    if (block->initialised) uv_close(reinterpret_cast<uv_handle_t*>(block->handle), &FreeAsync);
  }
  // Not only the close callbacks: a name lookup still running on the work
  // pool reports to this loop when it ends, so the loop must outlive it.
  uv_run(&loop, UV_RUN_DEFAULT);
  const int status = uv_loop_close(&loop);
  if (status != 0) spdlog::error("IoLoop uv_loop_close failed: {}", uv_strerror(status));
}

void IoLoop::Core::ReleaseWatchers() {
  mediaWatcher.reset();
  std::atomic_store(&mediaConfig, std::shared_ptr<ConnectMediaConfig>());
  benchmarkWatcher.reset();
  std::atomic_store(&gameConfig, std::shared_ptr<BenchmarkGameConfig>());
}

void IoLoop::Core::OnQuit(uv_async_t* handle) {
  auto* core = static_cast<Core*>(handle->data);
  if (core) uv_stop(&core->loop);
}

void IoLoop::Core::OnGameConfig(uv_async_t* handle) {
  auto* core = static_cast<Core*>(handle->data);
  if (!core) return;
  try {
    std::shared_ptr<BenchmarkGameConfig> config = std::atomic_load(&core->gameConfig);
    if (!config) {
      spdlog::warn("IoLoop: bad config");
      return;
    }
    if (core->benchmarkWatcher) core->benchmarkWatcher->Start(std::move(config));
  } catch (const std::exception& e) {
    spdlog::error("IoLoop: benchmark start failed: {}", e.what());
  } catch (...) {
    spdlog::error("IoLoop: benchmark start failed");
  }
}

void IoLoop::Core::OnMediaConfig(uv_async_t* handle) {
  auto* core = static_cast<Core*>(handle->data);
  if (!core) return;
  try {
    std::shared_ptr<ConnectMediaConfig> config = std::atomic_load(&core->mediaConfig);
    if (!config) {
      spdlog::warn("IoLoop: bad media config");
      return;
    }
    if (!core->mediaWatcher) {
      spdlog::warn("IoLoop: no media watcher for {}", config->id);
      return;
    }
    core->mediaWatcher->Start(std::move(config));
  } catch (const std::exception& e) {
    spdlog::error("IoLoop: media start failed: {}", e.what());
  } catch (...) {
    spdlog::error("IoLoop: media start failed");
  }
}

}  // namespace halyx
