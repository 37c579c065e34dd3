#include "engine/view/engine_host.h"

#include <windows.h>

#include <atomic>

#include <gtest/gtest.h>

namespace halyx::testing {
namespace {

// Each fetch, page load or file read runs on a worker of its own; a page
// that refreshes for weeks must not keep one thread per request until the
// engine ends. Finished workers are joined as new ones start.
TEST(EngineHostWorkers, FinishedWorkersAreJoinedAsNewOnesStart) {
  ASSERT_TRUE(engine::EngineHost::Initialize());
  engine::EngineHost* host = engine::EngineHost::Instance();
  std::atomic<int> ran{0};
  for (int i = 0; i < 200; ++i) {
    const int before = ran.load();
    host->RunInBackground([&ran] { ++ran; });
    for (int wait = 0; wait < 500 && ran.load() == before; ++wait) ::Sleep(2);
  }
  EXPECT_EQ(ran.load(), 200);
  // A worker that has run its work may still be on its way out.
  ::Sleep(50);
  host->RunInBackground([&ran] { ++ran; });
  EXPECT_LE(host->worker_count(), 2u);
  engine::EngineHost::Finalize();
  EXPECT_EQ(ran.load(), 201);
}

}  // namespace
}  // namespace halyx::testing
