// The least any libuv prober can do on this platform: one UDP socket per
// server on the client's schedule (first probes spread over the first
// interval, then one per interval), each echo timed with fresh
// high-resolution clocks and nothing else done. Run beside the client's
// figures, it separates what the client adds from what the platform costs
// per datagram (under Wine every socket operation is a round trip to the
// single-threaded wineserver).
//
//   BareProber::Figures floor = BareProber::Run(targets, 10, 100);
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
  };

  // Echoes arriving more than a second after their probe count as lost, as
  // they would for the client.
  static Figures Run(const std::vector<sockaddr_in>& targets, int probes, int spacingMs);
};

}  // namespace halyx::bench
