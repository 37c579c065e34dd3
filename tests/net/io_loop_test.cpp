#include "net/io_loop.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include <gtest/gtest.h>

#include "echo_server.h"
#include "net/result_message.h"
#include "platform/win32/unique_handle.h"
#include "result_window.h"
#include "support/log_capture.h"
#include "support/test_pipe_server.h"

namespace halyx {
namespace {

using testing::EchoServer;
using testing::LogCapture;
using testing::ResultWindow;

// What a media watcher saw, kept beyond the watcher's life.
struct MediaLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> starts;  // ids, in order
  DWORD destroyedOn = 0;            // thread id of the destructor
  std::function<void(uv_loop_t*)> onFirstStart;

  std::size_t StartCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return starts.size();
  }
  bool WaitForStarts(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return starts.size() >= n; });
  }
};

class RecordingMediaWatcher : public MediaWatcher {
 public:
  RecordingMediaWatcher(uv_loop_t* loop, std::shared_ptr<MediaLog> log)
      : loop_(loop), log_(std::move(log)) {}
  ~RecordingMediaWatcher() override { log_->destroyedOn = ::GetCurrentThreadId(); }

  void Start(std::shared_ptr<ConnectMediaConfig> config) override {
    std::function<void(uv_loop_t*)> hook;
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      if (log_->starts.empty()) hook = log_->onFirstStart;
    }
    if (hook) hook(loop_);
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      log_->starts.push_back(config->id);
    }
    log_->changed.notify_all();
  }

 private:
  uv_loop_t* loop_;
  std::shared_ptr<MediaLog> log_;
};

IoLoop::MediaWatcherFactory Recording(std::shared_ptr<MediaLog> log) {
  return [log](uv_loop_t* loop, HWND) { return std::make_unique<RecordingMediaWatcher>(loop, log); };
}

std::shared_ptr<ConnectMediaConfig> Media(const std::string& id) {
  auto config = std::make_shared<ConnectMediaConfig>();
  config->id = id;
  return config;
}

// Posts made right after Start reach the watcher: Start returns once the loop can be woken.
TEST(IoLoop, PostRightAfterStartIsDelivered) {
  auto media = std::make_shared<MediaLog>();
  {
    IoLoop ioLoop(nullptr, Recording(media));
    ASSERT_TRUE(ioLoop.Start());
    ioLoop.PostMediaConfig(Media("m1"));
    ASSERT_TRUE(media->WaitForStarts(1));
  }
  EXPECT_EQ(media->starts, std::vector<std::string>{"m1"});
}

// Posts while the loop is busy collapse: one run follows, with the latest record.
TEST(IoLoop, PostsInARowStartOneRunWithTheLastRecord) {
  auto media = std::make_shared<MediaLog>();
  EventHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  media->onFirstStart = [&release](uv_loop_t*) { ::WaitForSingleObject(release.get(), 5000); };
  IoLoop ioLoop(nullptr, Recording(media));
  ASSERT_TRUE(ioLoop.Start());
  ioLoop.PostMediaConfig(Media("hold"));
  // The loop is now held inside the first Start.
  ::Sleep(100);
  ioLoop.PostMediaConfig(Media("first"));
  ioLoop.PostMediaConfig(Media("second"));
  ::SetEvent(release.get());
  ASSERT_TRUE(media->WaitForStarts(2));
  ::Sleep(200);
  std::lock_guard<std::mutex> lock(media->mutex);
  EXPECT_EQ(media->starts, (std::vector<std::string>{"hold", "second"}));
}

// A record posted before Start waits in its slot and runs nothing.
TEST(IoLoop, PostBeforeStartRunsNothing) {
  auto media = std::make_shared<MediaLog>();
  LogCapture log;
  {
    IoLoop ioLoop(nullptr, Recording(media));
    ioLoop.PostMediaConfig(Media("early"));
  }
  EXPECT_EQ(media->StartCount(), 0u);
  EXPECT_EQ(log.CountAtLeast(spdlog::level::warn), 0u);
}

// Destroying the loop mid-run stops it: the watchers go on the loop thread and no result follows.
TEST(IoLoop, DestructionMidRunRunsNoCallbackAfterwards) {
  EchoServer echo({"--delay-ms", "300"});
  ASSERT_TRUE(echo.ok());
  ResultWindow window;
  LogCapture log;
  auto media = std::make_shared<MediaLog>();
  {
    IoLoop ioLoop(window.get(), Recording(media));
    ASSERT_TRUE(ioLoop.Start());
    auto config = std::make_shared<BenchmarkGameConfig>();
    config->id = "mid";
    config->setting = {0, 0.1, 10};
    config->servers.push_back({"udp", "a", "A", "127.0.0.1", static_cast<uint16_t>(echo.ports()[0]), ""});
    ioLoop.PostGameConfig(config);
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kSetAdInfoMessage) == 1; }, 5000));
    ASSERT_TRUE(window.PumpUntil(
        [&] { return log.Has(spdlog::level::info, "BenchmarkWatcher latency test to a (127.0.0.1:" +
                                                      std::to_string(echo.ports()[0]) + ")"); },
        5000));
  }
  EXPECT_TRUE(log.Has(spdlog::level::info, "IoLoop: stop"));
  EXPECT_NE(media->destroyedOn, 0u);
  EXPECT_NE(media->destroyedOn, ::GetCurrentThreadId());
  window.PumpUntil([] { return false; }, 1500);
  EXPECT_EQ(window.Count(kAdInfoMessage), 0u);
  EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 0u);
}

// The work pool is sized where libuv reads it: the C runtime's environment, and the process's.
TEST(IoLoop, SetsTheWorkPoolSize) {
  IoLoop ioLoop(nullptr, nullptr);
  const char* value = std::getenv("UV_THREADPOOL_SIZE");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "8");
  char process[8] = {};
  ::GetEnvironmentVariableA("UV_THREADPOOL_SIZE", process, sizeof(process));
  EXPECT_STREQ(process, "8");
}

void MakeAsyncUnsendable(uv_handle_t* handle, void* done) {
  // The first async handle of the loop's list is the quit handle.
  if (handle->type == UV_ASYNC && !*static_cast<bool*>(done)) {
    handle->type = UV_UNKNOWN_HANDLE;
    *static_cast<bool*>(done) = true;
  }
}

// A stop signal that cannot be sent leaves the thread running with its watchers; the process lives on.
TEST(IoLoop, FailedStopSignalLeavesTheThreadRunning) {
  auto media = std::make_shared<MediaLog>();
  media->onFirstStart = [](uv_loop_t* loop) {
    bool done = false;
    uv_walk(loop, &MakeAsyncUnsendable, &done);
  };
  LogCapture log;
  {
    IoLoop ioLoop(nullptr, Recording(media));
    ASSERT_TRUE(ioLoop.Start());
    ioLoop.PostMediaConfig(Media("break"));
    ASSERT_TRUE(media->WaitForStarts(1));
  }
  bool logged = false;
  for (const auto& record : log.Records()) {
    logged |= record.level == spdlog::level::err &&
              record.text.rfind("IoLoop send quit async failed: ", 0) == 0;
  }
  EXPECT_TRUE(logged);
  EXPECT_EQ(media->destroyedOn, 0u) << "the watcher must outlive its IoLoop while the thread runs";
}

}  // namespace
}  // namespace halyx
