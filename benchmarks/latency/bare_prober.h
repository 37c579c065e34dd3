// The least any libuv prober can do on this platform: one UDP socket per
// server on the client's schedule (first probes spread over the first
// interval, then one per interval), each echo timed with fresh
// high-resolution clocks and nothing else done. A loop that falls behind
// either keeps the plan as the client does (a late probe leaves at once,
// the rest keep their planned times) or lets a repeating timer drift, which
// sends less often while it is behind and so flatters the round trips. Run beside the client's
// figures, it separates what the client adds from what the platform costs
// per datagram (under Wine every socket operation is a round trip to the
// single-threaded wineserver).
//
//   BareProber::Figures floor = BareProber::Run(targets, 10, 100);   // the client's rule
//
// Thread: any; the run has a loop of its own and returns when it is over.
#pragma once

#include <winsock2.h>

#include <vector>

namespace halyx::bench {

class BareProber {
 public:
  struct Figures {
    long long sent = 0;
    long long received = 0;
    double meanMs = 0.0;
    double lateMs = 0.0;  // mean time a probe left after its planned time
  };
  enum class Schedule { kKeepPlan, kDrift };

  // Echoes arriving more than a second after their probe count as lost, as
  // they would for the client.
  static Figures Run(const std::vector<sockaddr_in>& targets, int probes, int spacingMs,
                     Schedule schedule = Schedule::kKeepPlan);
};

}  // namespace halyx::bench
