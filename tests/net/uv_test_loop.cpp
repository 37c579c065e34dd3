#include "uv_test_loop.h"

#include <gtest/gtest.h>

namespace halyx::testing {

namespace {

struct Delayed {
  uv_timer_t timer{};
  std::function<void()> action;
};

void FreeDelayed(uv_handle_t* handle) { delete static_cast<Delayed*>(handle->data); }

void OnDelayed(uv_timer_t* timer) {
  auto* delayed = static_cast<Delayed*>(timer->data);
  if (delayed->action) delayed->action();
  uv_close(reinterpret_cast<uv_handle_t*>(timer), &FreeDelayed);
}

}  // namespace

UvTestLoop::UvTestLoop() { uv_loop_init(&loop_); }

UvTestLoop::~UvTestLoop() {
  uv_run(&loop_, UV_RUN_DEFAULT);
  EXPECT_EQ(uv_loop_close(&loop_), 0) << "a handle was left open";
}

void UvTestLoop::After(uint64_t delayMs, std::function<void()> action) {
  auto* delayed = new Delayed{};
  delayed->action = std::move(action);
  delayed->timer.data = delayed;
  uv_timer_init(&loop_, &delayed->timer);
  uv_timer_start(&delayed->timer, &OnDelayed, delayMs, 0);
}

bool UvTestLoop::RunUntil(const std::function<bool()>& done, uint64_t timeoutMs) {
  bool expired = false;
  auto* guard = new Delayed{};
  guard->action = [&expired] { expired = true; };
  guard->timer.data = guard;
  uv_timer_init(&loop_, &guard->timer);
  uv_timer_start(&guard->timer, &OnDelayed, timeoutMs, 0);
  while (!done() && !expired) uv_run(&loop_, UV_RUN_ONCE);
  if (!expired) {
    guard->action = nullptr;
    uv_timer_stop(&guard->timer);
    uv_close(reinterpret_cast<uv_handle_t*>(&guard->timer), &FreeDelayed);
  }
  return done();
}

}  // namespace halyx::testing
