#include "net/benchmark_watcher.h"

#include <spdlog/spdlog.h>

namespace halyx {

struct BenchmarkWatcher::Lookup {
  BenchmarkWatcher* watcher;  // null once the watcher is gone
  std::string host;
  uv_getaddrinfo_t* request;
};

BenchmarkWatcher::BenchmarkWatcher(uv_loop_t* loop, HWND resultWindow)
    : loop_(loop), resultWindow_(resultWindow) {}

BenchmarkWatcher::~BenchmarkWatcher() = default;

void BenchmarkWatcher::Start(std::shared_ptr<BenchmarkGameConfig> config) {
  config_ = std::move(config);
}

void BenchmarkWatcher::OnBenchmarkResult(const std::string&, const std::string&, int32_t, double) {}

}  // namespace halyx
