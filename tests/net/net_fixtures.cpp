#include "net_fixtures.h"

#include <gtest/gtest.h>
namespace halyx::testing {

namespace {

struct Delayed {
  uv_timer_t timer{};
  std::function<void()> action;
};

void Fire(uv_timer_t* timer) {
  auto* delayed = static_cast<Delayed*>(timer->data);
  if (delayed->action) delayed->action();
  uv_close(reinterpret_cast<uv_handle_t*>(timer),
           [](uv_handle_t* handle) { delete static_cast<Delayed*>(handle->data); });
}

Delayed* Schedule(uv_loop_t* loop, uint64_t delayMs, std::function<void()> action) {
  auto* delayed = new Delayed{{}, std::move(action)};
  delayed->timer.data = delayed;
  uv_timer_init(loop, &delayed->timer);
  uv_timer_start(&delayed->timer, &Fire, delayMs, 0);
  return delayed;
}

}  // namespace

UvTestLoop::~UvTestLoop() {
  uv_run(&loop_, UV_RUN_DEFAULT);
  EXPECT_EQ(uv_loop_close(&loop_), 0) << "a handle was left open";
}

void UvTestLoop::After(uint64_t delayMs, std::function<void()> action) { Schedule(&loop_, delayMs, std::move(action)); }

bool UvTestLoop::RunUntil(const std::function<bool()>& done, uint64_t timeoutMs) {
  bool expired = false;
  Delayed* guard = Schedule(&loop_, timeoutMs, [&expired] { expired = true; });
  while (!done() && !expired) uv_run(&loop_, UV_RUN_ONCE);
  if (!expired) {
    // Let the guard fire, harmlessly, on the next pass; it then frees itself.
    guard->action = nullptr;
    uv_timer_start(&guard->timer, &Fire, 0, 0);
  }
  return done();
}

bool WatcherRun::WaitForLine(const std::string& line, DWORD timeoutMs) {
  const bool done = window.PumpUntil([&] { return log.Has(spdlog::level::info, line); }, timeoutMs);
  window.Pump(0);
  return done;
}

std::size_t CountLinesStarting(const LogCapture& log, spdlog::level::level_enum level, const std::string& prefix) {
  std::size_t count = 0;
  for (const auto& record : log.Records()) {
    count += record.level == level && record.text.rfind(prefix, 0) == 0;
  }
  return count;
}

void WithoutWinsock(const std::function<void()>& action) {
  int cleanups = 0;
  while (::WSACleanup() == 0) ++cleanups;
  action();
  WSADATA data;
  for (int i = 0; i < cleanups; ++i) ::WSAStartup(MAKEWORD(2, 2), &data);
}

}  // namespace halyx::testing
