// Receiver of the result of one LatencyBenchmark.
//
// Thread: the loop thread.
#pragma once

#include <cstdint>
#include <string>

namespace halyx {

class BenchmarkTaskDelegate {
 public:
  // The result of one probe run: average round trip in milliseconds and the
  // share of probes left unanswered (0 to 1). The receiver may destroy the
  // calling LatencyBenchmark from inside this call.
  virtual void OnBenchmarkResult(const std::string& name, const std::string& title, int32_t lag, double dropRate) = 0;

 protected:
  ~BenchmarkTaskDelegate() = default;
};

}  // namespace halyx
