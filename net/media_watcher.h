// What the IoLoop needs of the connectivity test: a driver that runs one
// ConnectMediaConfig at a time on the loop thread.
//
// The IoLoop creates its media watcher once, with the loop and the result
// window, through a factory (see IoLoop), starts it from the media wake-up
// and destroys it on the loop thread when the loop stops. Start must not
// throw; a watcher that is still busy rejects the new record itself.
//
// Thread: the loop thread of its IoLoop.
#pragma once

#include <memory>

#include "net/measure_config.h"

namespace halyx {

class MediaWatcher {
 public:
  virtual ~MediaWatcher() = default;

  // Begins a run with `config`, or rejects it when a run is in progress.
  virtual void Start(std::shared_ptr<ConnectMediaConfig> config) = 0;
};

}  // namespace halyx
