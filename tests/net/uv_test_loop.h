// A libuv loop run on the test's thread, for the loop-thread classes.
//
//   UvTestLoop loop;
//   ASSERT_TRUE(loop.RunUntil([&] { return done; }, 3000));
//
// The destructor runs the loop until every handle has closed and checks that
// the loop then closes cleanly, so a test fails when a class leaves a handle
// behind.
//
// Thread: the test's thread.
#pragma once

#include <cstdint>
#include <functional>

#include <uv.h>

namespace halyx::testing {

class UvTestLoop {
 public:
  UvTestLoop();
  ~UvTestLoop();
  UvTestLoop(const UvTestLoop&) = delete;
  UvTestLoop& operator=(const UvTestLoop&) = delete;

  uv_loop_t* get() { return &loop_; }

  // Runs the loop until `done` holds or `timeoutMs` of loop time passed;
  // returns `done()`.
  bool RunUntil(const std::function<bool()>& done, uint64_t timeoutMs);

  // Runs `action` on the loop after `delayMs`.
  void After(uint64_t delayMs, std::function<void()> action);

 private:
  uv_loop_t loop_{};
};

}  // namespace halyx::testing
