// Timing and summary figures shared by the benchmark programs.
//
// Thread: any.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace halyx::bench {

// Microseconds on the performance counter.
inline double NowUs() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

struct Figures {
  double median;
  double p99;
};

// Median and 99th percentile of a non-empty sample.
inline Figures Summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

}  // namespace halyx::bench
