#include "net/io_loop.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include <gtest/gtest.h>

#include "net_fixtures.h"
#include "base/unique_handle.h"
#include "base/window_messages.h"
#include "support/net_stand_ins.h"

namespace halyx {
namespace {

using testing::CountLinesStarting;
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

  bool WaitForStarts(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return starts.size() >= n; });
  }
};

struct RecordingMediaWatcher : MediaWatcher {
  RecordingMediaWatcher(uv_loop_t* loop, std::shared_ptr<MediaLog> log) : loop(loop), log(log) {}
  ~RecordingMediaWatcher() override { log->destroyedOn = ::GetCurrentThreadId(); }

  void Start(std::shared_ptr<ConnectMediaConfig> config) override {
    if (log->starts.empty() && log->onFirstStart) log->onFirstStart(loop);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->starts.push_back(config->id);
    log->changed.notify_all();
  }

  uv_loop_t* loop;
  std::shared_ptr<MediaLog> log;
};

IoLoop::MediaWatcherFactory Recording(std::shared_ptr<MediaLog> log) {
  return [log](uv_loop_t* loop, HWND, const ServerAddressPolicy&) {
    return std::make_unique<RecordingMediaWatcher>(loop, log);
  };
}

std::shared_ptr<ConnectMediaConfig> Media(const std::string& id) {
  auto config = std::make_shared<ConnectMediaConfig>();
  config->id = id;
  return config;
}

// A post right after Start reaches the watcher; posts while it is busy collapse into one run of
// the latest record.
TEST(IoLoop, PostsReachTheWatcherAndCollapseWhileBusy) {
  auto media = std::make_shared<MediaLog>();
  EventHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EventHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  media->onFirstStart = [&](uv_loop_t*) {
    ::SetEvent(entered.get());
    ::WaitForSingleObject(release.get(), 30000);
  };
  IoLoop ioLoop(nullptr, ServerAddressPolicy::AllowingLocalServers(), Recording(media));
  ASSERT_TRUE(ioLoop.Start());
  ioLoop.PostMediaConfig(Media("hold"));
  ASSERT_EQ(::WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
  ioLoop.PostMediaConfig(Media("first"));
  ioLoop.PostMediaConfig(Media("second"));
  ::SetEvent(release.get());
  ASSERT_TRUE(media->WaitForStarts(2));
  ::Sleep(200);  // room for a wrong third run
  std::lock_guard<std::mutex> lock(media->mutex);
  EXPECT_EQ(media->starts, (std::vector<std::string>{"hold", "second"}));
}

// A record posted before Start waits in its slot and runs nothing.
TEST(IoLoop, PostBeforeStartRunsNothing) {
  auto media = std::make_shared<MediaLog>();
  LogCapture log;
  {
    IoLoop ioLoop(nullptr, ServerAddressPolicy::AllowingLocalServers(), Recording(media));
    ioLoop.PostMediaConfig(Media("early"));
  }
  EXPECT_TRUE(media->starts.empty());
  EXPECT_EQ(log.CountAtLeast(spdlog::level::warn), 0u);
}

// Destroying the loop mid-run stops it: the watchers go on the loop thread and nothing is posted
// once the destructor has returned.
TEST(IoLoop, DestructionMidRunRunsNoCallbackAfterwards) {
  EchoServer echo({"--delay-ms", "300"});
  ASSERT_TRUE(echo.ok());
  ResultWindow window;
  LogCapture log;
  auto media = std::make_shared<MediaLog>();
  {
    IoLoop ioLoop(window.get(), ServerAddressPolicy::AllowingLocalServers(), Recording(media));
    ASSERT_TRUE(ioLoop.Start());
    auto config = std::make_shared<BenchmarkGameConfig>();
    config->id = "mid";
    config->setting = {0, 0.3, 100};  // a 30 s run: still going however loaded the machine is
    config->servers.push_back({"udp", "a", "A", "127.0.0.1", echo.Port(), ""});
    ioLoop.PostGameConfig(config);
    ASSERT_TRUE(window.PumpUntil(
        [&] {
          return log.Has(spdlog::level::info,
                         "BenchmarkWatcher latency test to a (127.0.0.1:" + std::to_string(echo.Port()) + ")");
        },
        30000));
  }
  window.Pump(0);  // what was posted before the destructor returned is queued already
  const std::size_t before = window.messages().size();
  window.Pump(1500);
  EXPECT_EQ(window.messages().size(), before);
  EXPECT_EQ(window.Count(kAdInfoMessage), 0u);
  EXPECT_TRUE(log.Has(spdlog::level::info, "IoLoop: stop"));
  EXPECT_NE(media->destroyedOn, 0u);
  EXPECT_NE(media->destroyedOn, ::GetCurrentThreadId());
  EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 0u);
}

// The work pool is sized where libuv reads it: the C runtime's environment, and the process's.
TEST(IoLoop, SetsTheWorkPoolSize) {
  IoLoop ioLoop(nullptr, ServerAddressPolicy::AllowingLocalServers(), nullptr);
  const char* value = std::getenv("UV_THREADPOOL_SIZE");
  EXPECT_STREQ(value ? value : "", "8");
  char process[8] = {};
  ::GetEnvironmentVariableA("UV_THREADPOOL_SIZE", process, sizeof(process));
  EXPECT_STREQ(process, "8");
}

// A stop signal that cannot be sent leaves the thread running with its watchers; the process lives on.
TEST(IoLoop, FailedStopSignalLeavesTheThreadRunning) {
  auto media = std::make_shared<MediaLog>();
  media->onFirstStart = [](uv_loop_t* loop) {
    // The first async handle of the loop's list is the quit handle.
    bool done = false;
    uv_walk(
        loop,
        [](uv_handle_t* handle, void* done) {
          if (handle->type != UV_ASYNC || *static_cast<bool*>(done)) return;
          handle->type = UV_UNKNOWN_HANDLE;
          *static_cast<bool*>(done) = true;
        },
        &done);
  };
  LogCapture log;
  {
    IoLoop ioLoop(nullptr, ServerAddressPolicy::AllowingLocalServers(), Recording(media));
    ASSERT_TRUE(ioLoop.Start());
    ioLoop.PostMediaConfig(Media("break"));
    ASSERT_TRUE(media->WaitForStarts(1));
  }
  EXPECT_EQ(CountLinesStarting(log, spdlog::level::err, "IoLoop send quit async failed: "), 1u);
  EXPECT_EQ(media->destroyedOn, 0u) << "the watcher must outlive its IoLoop while the thread runs";
}

}  // namespace
}  // namespace halyx
