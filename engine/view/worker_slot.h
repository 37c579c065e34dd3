// A worker's place among a view's running workers (fetches, file reads):
// taken on the GUI thread when the work is started, given back by the
// worker when it ends, however it ends.
//
//   auto running = std::make_shared<std::atomic<int>>(0);
//   if (*running >= kMax) return "too many";
//   auto slot = std::make_shared<WorkerSlot>(running);  // the work copies it
//   host->RunInBackground([slot]() { ... });
//
// Thread: made on the GUI thread, destroyed on the worker's.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace halyx::engine {

class WorkerSlot {
 public:
  explicit WorkerSlot(std::shared_ptr<std::atomic<int>> count) : count_(std::move(count)) { ++*count_; }
  ~WorkerSlot() { --*count_; }
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;

 private:
  std::shared_ptr<std::atomic<int>> count_;
};

}  // namespace halyx::engine
